#include <gtest/gtest.h>
#include <net/if.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "quarra/Bundle.h"
#include "quarra/NotificationCenter.h"
#include "quarra/RunLoop.h"
#include "support/TestSupport.h"
#include "transport/HTNetworkReachabilityManager.h"

using namespace quarra;

namespace {

// A provider whose flags cannot be read.
class BlindProvider : public FixedNetworkReachabilityProvider {
  public:
    BlindProvider() : FixedNetworkReachabilityProvider(std::nullopt) {}
};

struct Recorder {
    std::vector<std::string> events;
    ObserverToken token = 0;

    explicit Recorder(HTNetworkReachabilityManager& monitor) {
        monitor.setReachabilityStatusChangeBlock([this](HTNetworkReachabilityStatus status) {
            events.push_back("block " + std::to_string(status));
        });
        token = NotificationCenter::defaultCenter().addObserver(
            HTNetworkingReachabilityDidChangeNotification, [this](const Notification& note) {
                auto* status = note.value<HTNetworkReachabilityStatus>(
                    HTNetworkingReachabilityNotificationStatusItem);
                events.push_back("note " + (status ? std::to_string(*status) : "?"));
            });
    }
    ~Recorder() { NotificationCenter::defaultCenter().removeObserver(token); }
};

// Whether /proc says a default route sits on an interface that is up: the kernel's answer read
// another way than the monitor reads it.
bool procShowsDefaultRoute() {
    auto isUp = [](const std::string& interface) {
        std::ifstream flags("/sys/class/net/" + interface + "/flags");
        unsigned value = 0;
        return flags >> std::hex >> value && (value & IFF_UP);
    };
    std::ifstream v4("/proc/net/route");
    std::string line;
    std::getline(v4, line);
    while (std::getline(v4, line)) {
        std::istringstream fields(line);
        std::string interface, destination, gateway, flags, refcnt, use, metric, mask;
        fields >> interface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask;
        if (destination == "00000000" && mask == "00000000" &&
            (std::stoul(flags, nullptr, 16) & 1) && isUp(interface)) {
            return true;
        }
    }
    std::ifstream v6("/proc/net/ipv6_route");
    while (std::getline(v6, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, next, metric, refcnt, use, flags,
            interface;
        fields >> destination >> prefix >> source >> sourcePrefix >> next >> metric >> refcnt >>
            use >> flags >> interface;
        unsigned long bits = std::stoul(flags, nullptr, 16);
        if (destination == std::string(32, '0') && prefix == "00" && (bits & 0x1) &&
            !(bits & 0x200) && isUp(interface)) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(ReachabilityTest, StatusFromFlags) {
    const std::pair<NetworkReachabilityFlags, HTNetworkReachabilityStatus> cases[] = {
        {0x0, HTNetworkReachabilityStatusNotReachable},
        {0x2, HTNetworkReachabilityStatusReachableViaWiFi},
        {0x6, HTNetworkReachabilityStatusNotReachable},
        {0xE, HTNetworkReachabilityStatusReachableViaWiFi},
        {0xE | 0x40000, HTNetworkReachabilityStatusReachableViaWWAN},
        {0x1E, HTNetworkReachabilityStatusNotReachable},
        {0x26, HTNetworkReachabilityStatusReachableViaWiFi},
        {0x40002, HTNetworkReachabilityStatusReachableViaWWAN},
        {0x40000, HTNetworkReachabilityStatusNotReachable},
    };
    for (auto [flags, status] : cases) {
        EXPECT_EQ(HTNetworkReachabilityStatusForFlags(flags), status) << std::hex << flags;
    }
}

TEST(ReachabilityTest, UnstartedMonitorKnowsNothingAndSaysSoInTheHostsWords) {
    auto monitor = HTNetworkReachabilityManager::managerWithReachability(nullptr);
    monitor->startMonitoring();  // without a target nothing is ever delivered
    EXPECT_EQ(monitor->networkReachabilityStatus(), HTNetworkReachabilityStatusUnknown);
    EXPECT_FALSE(monitor->isReachable());
    EXPECT_EQ(monitor->localizedNetworkReachabilityStatusString(), "Unknown");
    EXPECT_EQ(HTStringFromNetworkReachabilityStatus(HTNetworkReachabilityStatus(7)), "Unknown");
    EXPECT_EQ(HTStringFromNetworkReachabilityStatus(HTNetworkReachabilityStatusReachableViaWWAN),
              "Reachable via WWAN");

    test::TempDir resources;
    test::writeFile(resources / "HTTPTransport.strings.json", R"({"Unknown": "Unbekannt"})");
    Bundle::setMainBundle("com.example.host", Json::object(), resources.path());
    EXPECT_EQ(monitor->localizedNetworkReachabilityStatusString(), "Unbekannt");
    EXPECT_EQ(HTStringFromNetworkReachabilityStatus(HTNetworkReachabilityStatusNotReachable),
              "Not Reachable");
}

TEST(ReachabilityTest, DeliversTheFirstStatusAndEveryChangeBlockFirst) {
    auto provider =
        std::make_shared<FixedNetworkReachabilityProvider>(NetworkReachabilityFlagsReachable);
    auto monitor = HTNetworkReachabilityManager::managerWithReachability(
        std::make_shared<NetworkReachability>("::", provider));
    Recorder recorder(*monitor);

    monitor->startMonitoring();
    monitor->startMonitoring();
    EXPECT_EQ(provider->observerCount(), 1);
    // Each start queries once.
    ASSERT_TRUE(runMainUntil([&] { return recorder.events.size() >= 4; }));
    EXPECT_TRUE(monitor->isReachableViaWiFi());

    provider->setFlags(0);
    provider->setFlags(0);  // an unchanged status is delivered as well
    provider->setFlags(NetworkReachabilityFlagsReachable | NetworkReachabilityFlagsIsWWAN);
    ASSERT_TRUE(runMainUntil([&] { return recorder.events.size() >= 10; }));
    EXPECT_TRUE(monitor->isReachableViaWWAN());
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"block 2", "note 2", "block 2", "note 2", "block 0",
                                        "note 0", "block 0", "note 0", "block 1", "note 1"}));

    monitor->stopMonitoring();
    EXPECT_EQ(provider->observerCount(), 0);
    provider->setFlags(0);
    RunLoop::main().runPending();
    EXPECT_EQ(monitor->networkReachabilityStatus(), HTNetworkReachabilityStatusReachableViaWWAN);
}

TEST(ReachabilityTest, FirstQueryOvertakenByAChangeIsDropped) {
    // The first query reads "reachable", then the network goes before its answer is delivered.
    class SlowProvider : public FixedNetworkReachabilityProvider {
      public:
        SlowProvider() : FixedNetworkReachabilityProvider(NetworkReachabilityFlagsReachable) {}
        std::optional<NetworkReachabilityFlags> currentFlags() override {
            auto flags = FixedNetworkReachabilityProvider::currentFlags();
            setFlags(0);
            return flags;
        }
    };
    auto provider = std::make_shared<SlowProvider>();
    auto monitor = HTNetworkReachabilityManager::managerWithReachability(
        std::make_shared<NetworkReachability>("::", provider));
    Recorder recorder(*monitor);
    monitor->startMonitoring();
    ASSERT_TRUE(runMainUntil([&] { return !recorder.events.empty(); }));
    RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"block 0", "note 0"}));
}

TEST(ReachabilityTest, UnreadableFlagsStillGiveAFirstStatus) {
    NetworkReachabilityProvider::setCurrent(std::make_shared<BlindProvider>());
    auto monitor = HTNetworkReachabilityManager::manager();
    monitor->startMonitoring();
    ASSERT_TRUE(runMainUntil([&] {
        return monitor->networkReachabilityStatus() != HTNetworkReachabilityStatusUnknown;
    }));
    EXPECT_TRUE(monitor->isReachable());
}

TEST(ReachabilityTest, MonitorGoneBeforeItsDeliveryIsNotTouched) {
    auto provider = std::make_shared<FixedNetworkReachabilityProvider>(0);
    NetworkReachabilityProvider::setCurrent(provider);
    int notes = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(
        HTNetworkingReachabilityDidChangeNotification, [&](const Notification&) { ++notes; });
    {
        auto monitor = HTNetworkReachabilityManager::managerForDomain("quarra.example.com");
        EXPECT_EQ(monitor->networkReachability()->target(), "quarra.example.com");
        monitor->startMonitoring();
    }
    EXPECT_EQ(provider->observerCount(), 0);
    EXPECT_TRUE(runMainUntil([&] { return notes == 1; }));
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST(ReachabilityTest, EnvironmentSwitchFixesTheStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (auto [value, status] :
         {std::pair{"unreachable", HTNetworkReachabilityStatusNotReachable},
          std::pair{"reachable", HTNetworkReachabilityStatusReachableViaWiFi}}) {
        // The switch is read once per process, so each value runs in a child.
        ASSERT_EXIT(
            {
                setenv("QUARRA_REACHABILITY", value, 1);
                auto monitor = HTNetworkReachabilityManager::sharedManager();
                monitor->startMonitoring();
                bool done = runMainUntil([&] {
                    return monitor->networkReachabilityStatus() !=
                           HTNetworkReachabilityStatusUnknown;
                });
                _exit(done && monitor->networkReachabilityStatus() == status ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << value;
    }
}

TEST(ReachabilityTest, RouteWatcherAgreesWithTheKernelsRouteTable) {
    unsetenv("QUARRA_REACHABILITY");
    NetworkReachabilityProvider::setCurrent(nullptr);
    auto monitor = HTNetworkReachabilityManager::sharedManager();
    EXPECT_EQ(HTNetworkReachabilityManager::sharedManager(), monitor);
    monitor->startMonitoring();
    ASSERT_TRUE(runMainUntil([&] {
        return monitor->networkReachabilityStatus() != HTNetworkReachabilityStatusUnknown;
    }));
    EXPECT_EQ(monitor->isReachable(), procShowsDefaultRoute());
}
