#include "platform/Diagnostics.h"
#include "transport/HTNetworkReachabilityManager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include "quarra/Dispatch.h"
#include "quarra/NotificationCenter.h"
#include "transport/HTLocalizedString.h"

namespace quarra {
namespace {

std::string describeAddress(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    } else if (address && address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

}  // namespace

std::string HTStringFromNetworkReachabilityStatus(HTNetworkReachabilityStatus status) {
    switch (status) {
        case HTNetworkReachabilityStatusNotReachable:
            return HTLocalizedString("Not Reachable");
        case HTNetworkReachabilityStatusReachableViaWWAN:
            return HTLocalizedString("Reachable via WWAN");
        case HTNetworkReachabilityStatusReachableViaWiFi:
            return HTLocalizedString("Reachable via WiFi");
        default:
            return HTLocalizedString("Unknown");
    }
}

HTNetworkReachabilityStatus HTNetworkReachabilityStatusForFlags(NetworkReachabilityFlags flags) {
    bool automatic = flags & (NetworkReachabilityFlagsConnectionOnDemand |
                              NetworkReachabilityFlagsConnectionOnTraffic);
    bool withoutUser = automatic && !(flags & NetworkReachabilityFlagsInterventionRequired);
    bool reachable = (flags & NetworkReachabilityFlagsReachable) &&
                     (!(flags & NetworkReachabilityFlagsConnectionRequired) || withoutUser);
    if (!reachable)
        return HTNetworkReachabilityStatusNotReachable;
    return (flags & NetworkReachabilityFlagsIsWWAN) ? HTNetworkReachabilityStatusReachableViaWWAN
                                                    : HTNetworkReachabilityStatusReachableViaWiFi;
}

std::shared_ptr<HTNetworkReachabilityManager> HTNetworkReachabilityManager::sharedManager() {
    static auto* instance = new std::shared_ptr<HTNetworkReachabilityManager>(manager());
    return *instance;
}

std::shared_ptr<HTNetworkReachabilityManager> HTNetworkReachabilityManager::manager() {
    // The all-zero IPv6 address: the network in general.
    return managerWithReachability(std::make_shared<NetworkReachability>("::"));
}

std::shared_ptr<HTNetworkReachabilityManager> HTNetworkReachabilityManager::managerForDomain(
    const std::string& domain) {
    return managerWithReachability(std::make_shared<NetworkReachability>(domain));
}

std::shared_ptr<HTNetworkReachabilityManager> HTNetworkReachabilityManager::managerForAddress(
    const sockaddr* address) {
    return managerWithReachability(std::make_shared<NetworkReachability>(describeAddress(address)));
}

std::shared_ptr<HTNetworkReachabilityManager> HTNetworkReachabilityManager::managerWithReachability(
    std::shared_ptr<NetworkReachability> reachability) {
    return std::make_shared<HTNetworkReachabilityManager>(Private{}, std::move(reachability));
}

HTNetworkReachabilityManager::HTNetworkReachabilityManager(
    Private, std::shared_ptr<NetworkReachability> reachability)
    : reachability_(std::move(reachability)) {}

HTNetworkReachabilityManager::~HTNetworkReachabilityManager() {
    stopMonitoring();
}

bool HTNetworkReachabilityManager::isReachable() const {
    auto status = networkReachabilityStatus();
    return status == HTNetworkReachabilityStatusReachableViaWWAN ||
           status == HTNetworkReachabilityStatusReachableViaWiFi;
}

bool HTNetworkReachabilityManager::isReachableViaWWAN() const {
    return networkReachabilityStatus() == HTNetworkReachabilityStatusReachableViaWWAN;
}

bool HTNetworkReachabilityManager::isReachableViaWiFi() const {
    return networkReachabilityStatus() == HTNetworkReachabilityStatusReachableViaWiFi;
}

std::string HTNetworkReachabilityManager::localizedNetworkReachabilityStatusString() const {
    return HTStringFromNetworkReachabilityStatus(networkReachabilityStatus());
}

void HTNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
    std::lock_guard lock(blockMutex_);
    block_ = std::move(block);
}

void HTNetworkReachabilityManager::receive(HTNetworkReachabilityStatus status) {
    status_.store(status);
    StatusBlock block;
    {
        std::lock_guard lock(blockMutex_);
        block = block_;
    }
    if (block)
        block(status);
}

void HTNetworkReachabilityManager::startMonitoring() {
    stopMonitoring();
    if (!reachability_)
        return;

    // Deliveries hold the monitor weakly: one that is gone when its delivery runs is not updated.
    // A change that arrives while the first query runs makes that query's answer stale, so the
    // answer is dropped in favour of the change rather than delivered after it.
    auto changes = std::make_shared<std::atomic<unsigned long>>(0);
    auto deliver = [self = weak_from_this(), changes](NetworkReachabilityFlags flags,
                                                      std::optional<unsigned long> queriedAt) {
        auto status = HTNetworkReachabilityStatusForFlags(flags);
        DispatchQueue::main()->async([self, changes, status, queriedAt] {
            if (queriedAt && *queriedAt != changes->load())
                return;
            if (auto monitor = self.lock())
                monitor->receive(status);
            NotificationCenter::defaultCenter().post(
                HTNetworkingReachabilityDidChangeNotification, nullptr,
                {{HTNetworkingReachabilityNotificationStatusItem, status}});
        });
    };
    reachability_->schedule([deliver, changes](NetworkReachabilityFlags flags) {
        ++*changes;
        deliver(flags, std::nullopt);
    });
    DispatchQueue::global(QueuePriority::Background)
        ->async([target = reachability_, deliver, changes] {
            unsigned long queriedAt = changes->load();
            auto flags = target->flags();
            if (!flags) {
                // Not knowing is no proof of being offline: let requests go and fail on their own
                // rather than hold them back for ever.
                reportDiagnostic(DiagnosticLevel::Error,
                                 "HTNetworkReachabilityManager: cannot read the reachability of " +
                                     target->target() + "; assuming it is reachable");
            }
            deliver(flags.value_or(NetworkReachabilityFlagsReachable), queriedAt);
        });
}

void HTNetworkReachabilityManager::stopMonitoring() {
    if (reachability_)
        reachability_->unschedule();
}

}  // namespace quarra
