#include "auth/TVKPasscodeManager.h"

namespace quarra {

TVKPasscodeManager& TVKPasscodeManager::sharedInstance() {
    static TVKPasscodeManager* instance = new TVKPasscodeManager();
    return *instance;
}

}  // namespace quarra
