#include "auth/TVKUpgradeManager.h"

namespace quarra {

TVKUpgradeManager& TVKUpgradeManager::sharedInstance() {
    static TVKUpgradeManager* instance = new TVKUpgradeManager();
    return *instance;
}

void TVKUpgradeManager::performUpgradeTasksIfNecessary() {}

}  // namespace quarra
