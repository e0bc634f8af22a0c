#pragma once
// A process-wide hook told, synchronously on the calling thread, when resume() finds a task not
// running and when suspend() finds a task not suspended. The library's HTTP layer turns these into
// its task notifications, so the hook stays out of the task's public face: a host that replaced it
// would silence them. Set once, before tasks are made.
#include <functional>

#include "quarra/URLSessionTask.h"

namespace quarra {

enum class URLSessionTaskTransition { Resume, Suspend };
using URLSessionTaskTransitionHook =
    std::function<void(const URLSessionTaskPtr&, URLSessionTaskTransition)>;
void setURLSessionTaskTransitionHook(URLSessionTaskTransitionHook hook);

}  // namespace quarra
