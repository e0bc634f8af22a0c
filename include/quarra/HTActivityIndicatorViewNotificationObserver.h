#pragma once
// An activity indicator that spins while a task runs: bound to a task it starts on the task's
// resume and stops on its suspension and completion. Binding it to another task stops it following
// the first. Main thread only.
#include <memory>

#include "quarra/NotificationCenter.h"
#include "quarra/URLSessionTask.h"
#include "quarra/ui/ActivityIndicatorView.h"

namespace quarra {

class HTActivityIndicatorViewNotificationObserver {
  public:
    // Holds the indicator weakly.
    explicit HTActivityIndicatorViewNotificationObserver(
        const std::shared_ptr<ui::ActivityIndicatorView>& activityIndicatorView);
    ~HTActivityIndicatorViewNotificationObserver();
    HTActivityIndicatorViewNotificationObserver(
        const HTActivityIndicatorViewNotificationObserver&) = delete;
    HTActivityIndicatorViewNotificationObserver& operator=(
        const HTActivityIndicatorViewNotificationObserver&) = delete;

    std::shared_ptr<ui::ActivityIndicatorView> activityIndicatorView() const {
        return activityIndicatorView_.lock();
    }
    // A null or completed task leaves the indicator as it is (and follows no task).
    void setAnimatingWithStateOfTask(const URLSessionTaskPtr& task);

  private:
    void stopObserving();

    std::weak_ptr<ui::ActivityIndicatorView> activityIndicatorView_;
    ObserverToken observers_[3] = {0, 0, 0};
};

// The indicator's own observer (made on first use) follows `task`.
void setAnimatingWithStateOfTask(const std::shared_ptr<ui::ActivityIndicatorView>& view,
                                 const URLSessionTaskPtr& task);

}  // namespace quarra
