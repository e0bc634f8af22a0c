#pragma once
// Shows the status bar's network-activity indicator while tasks of any URL session manager run.
// It counts the managers' task notifications (resume counts a task in; suspend and completion count
// it out) and drives the indicator through four states with two delays, so that short requests
// never flash it and back-to-back requests do not make it flicker:
//   idle -> (activity) waiting to show -> (after activationDelay, still active) showing
//   showing -> (no activity) waiting to hide -> (after completionDelay) idle, or back to showing
//   when activity starts again meanwhile.
// It is off until the host enables it; the SDK itself never does.
//
// A task is counted at most once: a suspended task that then completes (or is cancelled) leaves
// the count once, so the indicator never hides while other tasks still run; a data task that
// becomes a download leaves it when the download completes.
//
// The count may change on any thread; the state machine, the delays (ui::Scheduler) and the
// indicator run on the main thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "quarra/Dispatch.h"
#include "quarra/NotificationCenter.h"

namespace quarra {

class HTNetworkActivityIndicatorManager
    : public std::enable_shared_from_this<HTNetworkActivityIndicatorManager> {
  public:
    enum State : long { Idle = 0, WaitingToShow = 1, Showing = 2, WaitingToHide = 3 };

    // One per process, made on first use.
    static HTNetworkActivityIndicatorManager& sharedManager();
    // A manager of its own, observing the task notifications from now on.
    static std::shared_ptr<HTNetworkActivityIndicatorManager> make();
    ~HTNetworkActivityIndicatorManager();
    HTNetworkActivityIndicatorManager(const HTNetworkActivityIndicatorManager&) = delete;
    HTNetworkActivityIndicatorManager& operator=(const HTNetworkActivityIndicatorManager&) = delete;

    // Main thread. Disabling returns to idle at once (which hides the indicator); enabling moves
    // nothing until the count next changes.
    bool isEnabled() const;
    void setEnabled(bool enabled);

    // Seconds; defaults 1.0 and 0.17.
    double activationDelay() const;
    void setActivationDelay(double seconds);
    double completionDelay() const;
    void setCompletionDelay(double seconds);

    // Called with the visibility in place of the application's own indicator, when set.
    using ActionBlock = std::function<void(bool networkActivityIndicatorVisible)>;
    void setNetworkingActivityActionWithBlock(ActionBlock block);

    // The count of running requests; a decrement at 0 leaves 0. Any thread: the state follows on
    // the main queue.
    long activityCount() const;
    void setActivityCount(long count);
    void incrementActivityCount();
    void decrementActivityCount();
    bool isNetworkActivityOccurring() const;

    // The indicator state last applied, and applying one (main thread).
    bool isNetworkActivityIndicatorVisible() const;
    void setNetworkActivityIndicatorVisible(bool visible);

    State currentState() const;

    // The task notification handlers: the notification's task counts in or out when its original
    // request has a URL.
    void networkRequestDidStart(const Notification& notification);
    void networkRequestDidFinish(const Notification& notification);
    // A data task that became a download stays counted, now under the download task, whose
    // completion counts it out.
    void networkRequestDidBecomeDownload(const Notification& notification);

  private:
    HTNetworkActivityIndicatorManager() = default;
    void updateCurrentStateForNetworkActivityChange();
    void scheduleStateUpdate();
    void setCurrentState(State state);
    void activationDelayTimerFired(std::uint64_t generation);
    void completionDelayTimerFired(std::uint64_t generation);

    mutable std::mutex mutex_;
    bool enabled_ = false;
    bool visible_ = false;
    double activationDelay_ = 1.0;
    double completionDelay_ = 0.17;
    long activityCount_ = 0;
    ActionBlock actionBlock_;
    State currentState_ = Idle;
    // A timer is invalidated by moving its generation on: a firing of an older one does nothing.
    std::uint64_t activationTimer_ = 0;
    std::uint64_t completionTimer_ = 0;
    // The tasks counted in now, by address (the weak reference tells a reused address apart).
    std::map<const void*, std::weak_ptr<void>> countedTasks_;
    ObserverToken observers_[4] = {0, 0, 0, 0};
};

}  // namespace quarra
