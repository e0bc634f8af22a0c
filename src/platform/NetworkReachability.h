#pragma once
// Whether the network can be reached, as flags in the mobile platform's bit layout, and a watcher
// that reports when they change. On Linux the network counts as reachable when a default route sits
// on an interface that is up; a provider behind one door supplies the flags so that tests (and
// machines without a default route) replace it. Every member is safe to call from any thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quarra {

using NetworkReachabilityFlags = std::uint32_t;

inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsTransientConnection = 1 << 0;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsReachable = 1 << 1;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsConnectionRequired = 1 << 2;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsConnectionOnTraffic = 1 << 3;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsInterventionRequired = 1 << 4;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsConnectionOnDemand = 1 << 5;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsIsLocalAddress = 1 << 16;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsIsDirect = 1 << 17;
inline constexpr NetworkReachabilityFlags NetworkReachabilityFlagsIsWWAN = 1 << 18;

// The source of the flags.
class NetworkReachabilityProvider {
  public:
    using Observer = std::function<void(NetworkReachabilityFlags)>;
    using ObserverId = std::uint64_t;

    virtual ~NetworkReachabilityProvider() = default;

    // The flags now; nothing when they cannot be read.
    virtual std::optional<NetworkReachabilityFlags> currentFlags() = 0;
    // `observer` is called, on any thread, with the new flags each time they change. It must return
    // quickly and must not call back into the provider.
    virtual ObserverId addObserver(Observer observer) = 0;
    // After this returns the observer is not called again.
    virtual void removeObserver(ObserverId id) = 0;

    // The provider every new NetworkReachability uses: the one set here, else the environment
    // switch QUARRA_REACHABILITY=reachable|unreachable (fixed flags), else the netlink route
    // watcher.
    static std::shared_ptr<NetworkReachabilityProvider> current();
    // Replaces the provider for targets made from now on; null goes back to the default.
    static void setCurrent(std::shared_ptr<NetworkReachabilityProvider> provider);
};

// A provider whose flags are set by hand; what tests and the environment switch use.
class FixedNetworkReachabilityProvider : public NetworkReachabilityProvider {
  public:
    explicit FixedNetworkReachabilityProvider(std::optional<NetworkReachabilityFlags> flags)
        : flags_(flags) {}

    std::optional<NetworkReachabilityFlags> currentFlags() override;
    ObserverId addObserver(Observer observer) override;
    void removeObserver(ObserverId id) override;

    // Stores the flags and tells every observer, also when they did not change.
    void setFlags(NetworkReachabilityFlags flags);
    int observerCount() const;

  private:
    mutable std::mutex mutex_;
    std::optional<NetworkReachabilityFlags> flags_;
    ObserverId nextId_ = 1;
    std::map<ObserverId, Observer> observers_;
};

// One watched target: the network in general, a host name or an address. Linux gives no cheaper
// answer for one host than for the whole network without resolving it, so every target reports the
// general flags; the target's name is kept for diagnostics.
class NetworkReachability {
  public:
    using Callback = std::function<void(NetworkReachabilityFlags)>;

    explicit NetworkReachability(std::string target,
                                 std::shared_ptr<NetworkReachabilityProvider> provider =
                                     NetworkReachabilityProvider::current());
    ~NetworkReachability();
    NetworkReachability(const NetworkReachability&) = delete;
    NetworkReachability& operator=(const NetworkReachability&) = delete;

    const std::string& target() const { return target_; }
    std::optional<NetworkReachabilityFlags> flags() const { return provider_->currentFlags(); }

    // Calls `callback` (on any thread) with the flags whenever they change, until unschedule().
    // Scheduling again replaces the earlier callback.
    void schedule(Callback callback);
    void unschedule();

  private:
    const std::string target_;
    const std::shared_ptr<NetworkReachabilityProvider> provider_;
    std::mutex mutex_;
    std::optional<NetworkReachabilityProvider::ObserverId> observer_;
};

}  // namespace quarra
