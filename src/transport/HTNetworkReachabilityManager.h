#pragma once
// Watches whether the network can be reached and reports every status it receives to one change
// block and as a notification, always on the main queue. The latest status may be read from any
// thread.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/NetworkReachability.h"

struct sockaddr;

namespace quarra {

enum HTNetworkReachabilityStatus : long {
    HTNetworkReachabilityStatusUnknown = -1,
    HTNetworkReachabilityStatusNotReachable = 0,
    HTNetworkReachabilityStatusReachableViaWWAN = 1,
    HTNetworkReachabilityStatusReachableViaWiFi = 2,
};

// Posted on the main queue with every status received; the user info holds the status
// (an HTNetworkReachabilityStatus) under HTNetworkingReachabilityNotificationStatusItem.
inline constexpr const char* HTNetworkingReachabilityDidChangeNotification =
    "com.tovik.transport.networking.reachability.change";
inline constexpr const char* HTNetworkingReachabilityNotificationStatusItem =
    "HTNetworkingReachabilityNotificationStatusItem";

// "Not Reachable", "Reachable via WWAN", "Reachable via WiFi", else "Unknown"; translated through
// the host's "HTTPTransport" string table.
std::string HTStringFromNetworkReachabilityStatus(HTNetworkReachabilityStatus status);
HTNetworkReachabilityStatus HTNetworkReachabilityStatusForFlags(NetworkReachabilityFlags flags);

class HTNetworkReachabilityManager
    : public std::enable_shared_from_this<HTNetworkReachabilityManager> {
    struct Private {};

  public:
    using StatusBlock = std::function<void(HTNetworkReachabilityStatus)>;

    // The process-wide monitor, made by manager() on first use.
    static std::shared_ptr<HTNetworkReachabilityManager> sharedManager();
    // The network in general.
    static std::shared_ptr<HTNetworkReachabilityManager> manager();
    static std::shared_ptr<HTNetworkReachabilityManager> managerForDomain(
        const std::string& domain);
    static std::shared_ptr<HTNetworkReachabilityManager> managerForAddress(const sockaddr* address);
    // A monitor of `reachability`; without one it never reports and its status stays unknown.
    static std::shared_ptr<HTNetworkReachabilityManager> managerWithReachability(
        std::shared_ptr<NetworkReachability> reachability);

    HTNetworkReachabilityManager(Private, std::shared_ptr<NetworkReachability> reachability);
    ~HTNetworkReachabilityManager();
    HTNetworkReachabilityManager(const HTNetworkReachabilityManager&) = delete;
    HTNetworkReachabilityManager& operator=(const HTNetworkReachabilityManager&) = delete;

    const std::shared_ptr<NetworkReachability>& networkReachability() const {
        return reachability_;
    }
    // Unknown until the first status arrives.
    HTNetworkReachabilityStatus networkReachabilityStatus() const { return status_.load(); }
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    std::string localizedNetworkReachabilityStatusString() const;

    // Called on the main queue with each status received, before the notification is posted.
    void setReachabilityStatusChangeBlock(StatusBlock block);

    // (Re)starts delivery. The current status is read at once on a background queue and always
    // delivered, so whoever waits for a first status is never left waiting.
    void startMonitoring();
    // Stops delivery; the last status stays readable. Deliveries already queued still arrive.
    void stopMonitoring();

  private:
    void receive(HTNetworkReachabilityStatus status);

    const std::shared_ptr<NetworkReachability> reachability_;
    std::atomic<HTNetworkReachabilityStatus> status_{HTNetworkReachabilityStatusUnknown};
    std::mutex blockMutex_;
    StatusBlock block_;
};

}  // namespace quarra
