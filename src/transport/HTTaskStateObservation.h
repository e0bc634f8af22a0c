#pragma once
// What the views that follow a task share: observing one task's resume, suspend and complete
// notifications with a block that runs on the main queue.
#include <functional>

#include "quarra/NotificationCenter.h"
#include "quarra/URLSessionTask.h"

namespace quarra {

// Registers `onResume` for the task's resume notification and `onEnd` for its suspend and
// complete notifications; each runs on the main queue, after the notification. The tokens go to
// `tokens` (resume, suspend, complete).
void HTObserveTaskTransitions(const URLSessionTaskPtr& task, std::function<void()> onResume,
                              std::function<void()> onEnd, ObserverToken (&tokens)[3]);
// Ends the three registrations (tokens of 0 are skipped) and zeroes the tokens.
void HTStopObservingTaskTransitions(ObserverToken (&tokens)[3]);

}  // namespace quarra
