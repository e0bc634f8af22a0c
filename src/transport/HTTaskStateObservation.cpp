#include "transport/HTTaskStateObservation.h"

#include "quarra/Dispatch.h"
#include "transport/HTURLSessionManagerTaskDelegate.h"

namespace quarra {

void HTObserveTaskTransitions(const URLSessionTaskPtr& task, std::function<void()> onResume,
                              std::function<void()> onEnd, ObserverToken (&tokens)[3]) {
    auto onMain = [](std::function<void()> block) {
        return [block = std::move(block)](const Notification&) {
            DispatchQueue::main()->async(block);
        };
    };
    auto& center = NotificationCenter::defaultCenter();
    tokens[0] = center.addObserver(HTNetworkingTaskDidResumeNotification, task.get(), nullptr,
                                   onMain(std::move(onResume)));
    tokens[1] = center.addObserver(HTNetworkingTaskDidSuspendNotification, task.get(), nullptr,
                                   onMain(onEnd));
    tokens[2] = center.addObserver(HTNetworkingTaskDidCompleteNotification, task.get(), nullptr,
                                   onMain(std::move(onEnd)));
}

void HTStopObservingTaskTransitions(ObserverToken (&tokens)[3]) {
    for (ObserverToken& token : tokens) {
        if (token)
            NotificationCenter::defaultCenter().removeObserver(token);
        token = 0;
    }
}

}  // namespace quarra
