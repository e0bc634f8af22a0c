#pragma once
// The host tells the SDK that memory runs low (the system's low-memory signal, a cgroup pressure
// event, ...) by posting this notification; caches of decoded data drop what they hold. Observers
// run on the posting thread before postMemoryWarning() returns.
namespace quarra {

inline constexpr const char* ApplicationDidReceiveMemoryWarningNotification =
    "ApplicationDidReceiveMemoryWarningNotification";

// Posts the notification on the default centre, without a sender.
void postMemoryWarning();

}  // namespace quarra
