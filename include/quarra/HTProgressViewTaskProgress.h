#pragma once
// A progress view that shows a task's upload or download progress: sent (or received) bytes over
// the expected count, set on the main queue whenever the count changes. A task with an unknown
// expected length (zero or negative) leaves the view as it is. Following ends when the task
// completes, or when the view goes away. Main thread only.
#include <memory>

#include "quarra/URLSessionTask.h"
#include "quarra/ui/ProgressView.h"

namespace quarra {

// Nothing happens for a completed task.
void setProgressWithUploadProgressOfTask(const std::shared_ptr<ui::ProgressView>& view,
                                         const URLSessionTaskPtr& task, bool animated);
void setProgressWithDownloadProgressOfTask(const std::shared_ptr<ui::ProgressView>& view,
                                           const URLSessionTaskPtr& task, bool animated);

// Whether the view animates the changes of the upload (download) progress it follows.
bool ht_uploadProgressAnimated(const ui::ProgressView& view);
void ht_setUploadProgressAnimated(ui::ProgressView& view, bool animated);
bool ht_downloadProgressAnimated(const ui::ProgressView& view);
void ht_setDownloadProgressAnimated(ui::ProgressView& view, bool animated);

}  // namespace quarra
