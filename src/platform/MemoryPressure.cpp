#include "quarra/MemoryPressure.h"

#include "platform/NotificationCenter.h"

namespace quarra {

void postMemoryWarning() {
    NotificationCenter::defaultCenter().post(
        Notification{ApplicationDidReceiveMemoryWarningNotification, nullptr, {}});
}

}  // namespace quarra
