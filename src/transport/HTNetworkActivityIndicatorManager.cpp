#include "quarra/HTNetworkActivityIndicatorManager.h"

#include <chrono>

#include "quarra/URLSessionTask.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Scheduler.h"
#include "transport/HTURLSessionManagerTaskDelegate.h"

namespace quarra {
namespace {

// The notification's task, when it has a request with a URL to count.
std::shared_ptr<URLSessionTask> countableTask(const Notification& notification) {
    // The transport's task notifications carry the task as their object.
    auto task = std::static_pointer_cast<URLSessionTask>(notification.sender);
    if (!task || task->originalRequest().url.empty())
        return nullptr;
    return task;
}

Clock::duration afterSeconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(value > 0 ? value : 0));
}

}  // namespace

HTNetworkActivityIndicatorManager& HTNetworkActivityIndicatorManager::sharedManager() {
    static auto* manager = new std::shared_ptr<HTNetworkActivityIndicatorManager>(make());
    return **manager;
}

std::shared_ptr<HTNetworkActivityIndicatorManager> HTNetworkActivityIndicatorManager::make() {
    std::shared_ptr<HTNetworkActivityIndicatorManager> manager(
        new HTNetworkActivityIndicatorManager());
    std::weak_ptr<HTNetworkActivityIndicatorManager> weak = manager;
    auto& center = NotificationCenter::defaultCenter();
    auto observe = [&](const char* name,
                       void (HTNetworkActivityIndicatorManager::*handler)(const Notification&)) {
        return center.addObserver(name, [weak, handler](const Notification& notification) {
            if (auto self = weak.lock())
                ((*self).*handler)(notification);
        });
    };
    manager->observers_[0] = observe(HTNetworkingTaskDidResumeNotification,
                                     &HTNetworkActivityIndicatorManager::networkRequestDidStart);
    manager->observers_[1] = observe(HTNetworkingTaskDidSuspendNotification,
                                     &HTNetworkActivityIndicatorManager::networkRequestDidFinish);
    manager->observers_[2] = observe(HTNetworkingTaskDidCompleteNotification,
                                     &HTNetworkActivityIndicatorManager::networkRequestDidFinish);
    manager->observers_[3] =
        observe(HTNetworkingTaskDidBecomeDownloadNotification,
                &HTNetworkActivityIndicatorManager::networkRequestDidBecomeDownload);
    return manager;
}

HTNetworkActivityIndicatorManager::~HTNetworkActivityIndicatorManager() {
    for (ObserverToken token : observers_)
        NotificationCenter::defaultCenter().removeObserver(token);
    // Pending timers hold the manager weakly: they do nothing now.
}

bool HTNetworkActivityIndicatorManager::isEnabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void HTNetworkActivityIndicatorManager::setEnabled(bool enabled) {
    {
        std::lock_guard lock(mutex_);
        enabled_ = enabled;
    }
    if (!enabled)
        setCurrentState(Idle);
}

double HTNetworkActivityIndicatorManager::activationDelay() const {
    std::lock_guard lock(mutex_);
    return activationDelay_;
}

void HTNetworkActivityIndicatorManager::setActivationDelay(double seconds) {
    std::lock_guard lock(mutex_);
    activationDelay_ = seconds;
}

double HTNetworkActivityIndicatorManager::completionDelay() const {
    std::lock_guard lock(mutex_);
    return completionDelay_;
}

void HTNetworkActivityIndicatorManager::setCompletionDelay(double seconds) {
    std::lock_guard lock(mutex_);
    completionDelay_ = seconds;
}

void HTNetworkActivityIndicatorManager::setNetworkingActivityActionWithBlock(ActionBlock block) {
    std::lock_guard lock(mutex_);
    actionBlock_ = std::move(block);
}

long HTNetworkActivityIndicatorManager::activityCount() const {
    std::lock_guard lock(mutex_);
    return activityCount_;
}

void HTNetworkActivityIndicatorManager::setActivityCount(long count) {
    {
        std::lock_guard lock(mutex_);
        activityCount_ = count < 0 ? 0 : count;
    }
    scheduleStateUpdate();
}

void HTNetworkActivityIndicatorManager::incrementActivityCount() {
    {
        std::lock_guard lock(mutex_);
        ++activityCount_;
    }
    scheduleStateUpdate();
}

void HTNetworkActivityIndicatorManager::decrementActivityCount() {
    {
        std::lock_guard lock(mutex_);
        if (activityCount_ > 0)
            --activityCount_;
    }
    scheduleStateUpdate();
}

bool HTNetworkActivityIndicatorManager::isNetworkActivityOccurring() const {
    std::lock_guard lock(mutex_);
    return activityCount_ > 0;
}

bool HTNetworkActivityIndicatorManager::isNetworkActivityIndicatorVisible() const {
    std::lock_guard lock(mutex_);
    return visible_;
}

void HTNetworkActivityIndicatorManager::setNetworkActivityIndicatorVisible(bool visible) {
    ActionBlock action;
    {
        std::lock_guard lock(mutex_);
        if (visible_ == visible)
            return;
        visible_ = visible;
        action = actionBlock_;
    }
    if (action)
        action(visible);
    else
        ui::Application::shared().setNetworkActivityIndicatorVisible(visible);
}

HTNetworkActivityIndicatorManager::State HTNetworkActivityIndicatorManager::currentState() const {
    std::lock_guard lock(mutex_);
    return currentState_;
}

void HTNetworkActivityIndicatorManager::networkRequestDidStart(const Notification& notification) {
    auto task = countableTask(notification);
    if (!task)
        return;
    {
        std::lock_guard lock(mutex_);
        auto [it, inserted] = countedTasks_.try_emplace(task.get(), task);
        if (!inserted) {
            if (!it->second.expired())
                return;  // counted in already
            it->second = task;
        }
    }
    incrementActivityCount();
}

void HTNetworkActivityIndicatorManager::networkRequestDidFinish(const Notification& notification) {
    auto task = countableTask(notification);
    if (!task)
        return;
    {
        std::lock_guard lock(mutex_);
        auto it = countedTasks_.find(task.get());
        // Suspended earlier and now completing, or never counted: out already.
        if (it == countedTasks_.end() || it->second.lock() != task)
            return;
        countedTasks_.erase(it);
    }
    decrementActivityCount();
}

void HTNetworkActivityIndicatorManager::networkRequestDidBecomeDownload(
    const Notification& notification) {
    auto dataTask = std::static_pointer_cast<URLSessionTask>(notification.sender);
    const auto* download =
        notification.value<URLSessionTaskPtr>(HTNetworkingTaskBecameDownloadTaskKey);
    if (!dataTask || !download || !*download)
        return;
    {
        std::lock_guard lock(mutex_);
        auto it = countedTasks_.find(dataTask.get());
        if (it == countedTasks_.end() || it->second.lock() != dataTask)
            return;
        countedTasks_.erase(it);
        auto [at, inserted] = countedTasks_.try_emplace(download->get(), *download);
        if (inserted || at->second.expired()) {
            at->second = *download;
            return;
        }
    }
    decrementActivityCount();  // the download was counted in on its own already
}

void HTNetworkActivityIndicatorManager::scheduleStateUpdate() {
    std::weak_ptr<HTNetworkActivityIndicatorManager> weak = weak_from_this();
    DispatchQueue::main()->async([weak] {
        if (auto self = weak.lock())
            self->updateCurrentStateForNetworkActivityChange();
    });
}

void HTNetworkActivityIndicatorManager::updateCurrentStateForNetworkActivityChange() {
    State state;
    bool occurring;
    {
        std::lock_guard lock(mutex_);
        if (!enabled_)
            return;
        state = currentState_;
        occurring = activityCount_ > 0;
    }
    switch (state) {
        case Idle:
            if (occurring)
                setCurrentState(WaitingToShow);
            break;
        case WaitingToShow:
            break;  // the activation timer decides
        case Showing:
            if (!occurring)
                setCurrentState(WaitingToHide);
            break;
        case WaitingToHide:
            if (occurring)
                setCurrentState(Showing);
            break;
    }
}

void HTNetworkActivityIndicatorManager::setCurrentState(State state) {
    std::weak_ptr<HTNetworkActivityIndicatorManager> weak = weak_from_this();
    std::uint64_t generation = 0;
    double delay = 0;
    {
        std::lock_guard lock(mutex_);
        if (currentState_ == state)
            return;
        currentState_ = state;
        switch (state) {
            case Idle:
                ++activationTimer_;
                ++completionTimer_;
                break;
            case WaitingToShow:
                generation = ++activationTimer_;
                delay = activationDelay_;
                break;
            case Showing:
                ++completionTimer_;
                break;
            case WaitingToHide:
                generation = ++completionTimer_;
                delay = completionDelay_;
                break;
        }
    }
    switch (state) {
        case Idle:
            setNetworkActivityIndicatorVisible(false);
            break;
        case WaitingToShow:
            ui::Scheduler::shared().after(afterSeconds(delay), [weak, generation] {
                if (auto self = weak.lock())
                    self->activationDelayTimerFired(generation);
            });
            break;
        case Showing:
            setNetworkActivityIndicatorVisible(true);
            break;
        case WaitingToHide:
            ui::Scheduler::shared().after(afterSeconds(delay), [weak, generation] {
                if (auto self = weak.lock())
                    self->completionDelayTimerFired(generation);
            });
            break;
    }
}

void HTNetworkActivityIndicatorManager::activationDelayTimerFired(std::uint64_t generation) {
    bool occurring;
    {
        std::lock_guard lock(mutex_);
        if (generation != activationTimer_)
            return;
        occurring = activityCount_ > 0;
    }
    setCurrentState(occurring ? Showing : Idle);
}

void HTNetworkActivityIndicatorManager::completionDelayTimerFired(std::uint64_t generation) {
    {
        std::lock_guard lock(mutex_);
        if (generation != completionTimer_)
            return;
    }
    setCurrentState(Idle);
}

}  // namespace quarra
