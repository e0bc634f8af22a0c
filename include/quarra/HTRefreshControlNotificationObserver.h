#pragma once
// A refresh control that refreshes while a task runs: bound to a running task it begins refreshing
// and ends on the task's suspension and completion (and begins again on its resume); bound to a
// task in any other state it ends refreshing at once. Main thread only.
#include <memory>

#include "quarra/NotificationCenter.h"
#include "quarra/URLSessionTask.h"
#include "quarra/ui/RefreshControl.h"

namespace quarra {

class HTRefreshControlNotificationObserver {
  public:
    // Holds the control weakly.
    explicit HTRefreshControlNotificationObserver(
        const std::shared_ptr<ui::RefreshControl>& refreshControl);
    ~HTRefreshControlNotificationObserver();
    HTRefreshControlNotificationObserver(const HTRefreshControlNotificationObserver&) = delete;
    HTRefreshControlNotificationObserver& operator=(const HTRefreshControlNotificationObserver&) =
        delete;

    std::shared_ptr<ui::RefreshControl> refreshControl() const { return refreshControl_.lock(); }
    // A null task changes nothing.
    void setRefreshingWithStateOfTask(const URLSessionTaskPtr& task);

  private:
    void stopObserving();

    std::weak_ptr<ui::RefreshControl> refreshControl_;
    ObserverToken observers_[3] = {0, 0, 0};
};

// The control's own observer (made on first use) follows `task`.
void setRefreshingWithStateOfTask(const std::shared_ptr<ui::RefreshControl>& control,
                                  const URLSessionTaskPtr& task);

}  // namespace quarra
