#include "quarra/HTActivityIndicatorViewNotificationObserver.h"

#include "transport/HTTaskStateObservation.h"

namespace quarra {
namespace {
const char observerKey = 0;
}

HTActivityIndicatorViewNotificationObserver::HTActivityIndicatorViewNotificationObserver(
    const std::shared_ptr<ui::ActivityIndicatorView>& activityIndicatorView)
    : activityIndicatorView_(activityIndicatorView) {}

HTActivityIndicatorViewNotificationObserver::~HTActivityIndicatorViewNotificationObserver() {
    stopObserving();
}

void HTActivityIndicatorViewNotificationObserver::stopObserving() {
    HTStopObservingTaskTransitions(observers_);
}

void HTActivityIndicatorViewNotificationObserver::setAnimatingWithStateOfTask(
    const URLSessionTaskPtr& task) {
    stopObserving();
    if (!task || task->state() == URLSessionTaskState::Completed)
        return;
    auto view = activityIndicatorView_.lock();
    if (view) {
        if (task->state() == URLSessionTaskState::Running)
            view->startAnimating();
        else
            view->stopAnimating();
    }
    std::weak_ptr<ui::ActivityIndicatorView> weak = activityIndicatorView_;
    HTObserveTaskTransitions(
        task,
        [weak] {
            if (auto view = weak.lock())
                view->startAnimating();
        },
        [weak] {
            if (auto view = weak.lock())
                view->stopAnimating();
        },
        observers_);
}

void setAnimatingWithStateOfTask(const std::shared_ptr<ui::ActivityIndicatorView>& view,
                                 const URLSessionTaskPtr& task) {
    auto observer = view->associatedObject<HTActivityIndicatorViewNotificationObserver>(
        &observerKey,
        [&] { return std::make_shared<HTActivityIndicatorViewNotificationObserver>(view); });
    observer->setAnimatingWithStateOfTask(task);
}

}  // namespace quarra
