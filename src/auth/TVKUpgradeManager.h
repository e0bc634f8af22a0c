#pragma once
// Migrates what earlier SDK versions left on the device before the SDK starts. The migration
// tasks come with the upgrade feature; until then there is nothing to run.
namespace quarra {

class TVKUpgradeManager {
  public:
    static TVKUpgradeManager& sharedInstance();

    TVKUpgradeManager(const TVKUpgradeManager&) = delete;
    TVKUpgradeManager& operator=(const TVKUpgradeManager&) = delete;

    // Runs every pending task to completion before returning.
    void performUpgradeTasksIfNecessary();

  private:
    TVKUpgradeManager() = default;
};

}  // namespace quarra
