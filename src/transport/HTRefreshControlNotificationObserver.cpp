#include "quarra/HTRefreshControlNotificationObserver.h"

#include "transport/HTTaskStateObservation.h"

namespace quarra {
namespace {
const char refreshObserverKey = 0;
}

HTRefreshControlNotificationObserver::HTRefreshControlNotificationObserver(
    const std::shared_ptr<ui::RefreshControl>& refreshControl)
    : refreshControl_(refreshControl) {}

HTRefreshControlNotificationObserver::~HTRefreshControlNotificationObserver() {
    stopObserving();
}

void HTRefreshControlNotificationObserver::stopObserving() {
    HTStopObservingTaskTransitions(observers_);
}

void HTRefreshControlNotificationObserver::setRefreshingWithStateOfTask(
    const URLSessionTaskPtr& task) {
    stopObserving();
    if (!task)
        return;
    auto control = refreshControl_.lock();
    if (task->state() != URLSessionTaskState::Running) {
        if (control)
            control->endRefreshing();
        return;
    }
    if (control)
        control->beginRefreshing();
    std::weak_ptr<ui::RefreshControl> weak = refreshControl_;
    HTObserveTaskTransitions(
        task,
        [weak] {
            if (auto control = weak.lock())
                control->beginRefreshing();
        },
        [weak] {
            if (auto control = weak.lock())
                control->endRefreshing();
        },
        observers_);
}

void setRefreshingWithStateOfTask(const std::shared_ptr<ui::RefreshControl>& control,
                                  const URLSessionTaskPtr& task) {
    auto observer = control->associatedObject<HTRefreshControlNotificationObserver>(
        &refreshObserverKey,
        [&] { return std::make_shared<HTRefreshControlNotificationObserver>(control); });
    observer->setRefreshingWithStateOfTask(task);
}

}  // namespace quarra
