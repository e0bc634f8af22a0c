#include "platform/Diagnostics.h"
#include "platform/NetworkReachability.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/FileDescriptor.h"

namespace quarra {
namespace {

void addOutputInterfaces(const rtmsg* route, size_t length, std::set<int>& interfaces) {
    for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_OIF) {
            interfaces.insert(*static_cast<const int*>(RTA_DATA(attribute)));
        } else if (attribute->rta_type == RTA_MULTIPATH) {
            auto* hop = static_cast<const rtnexthop*>(RTA_DATA(attribute));
            size_t left = RTA_PAYLOAD(attribute);
            while (RTNH_OK(hop, left)) {
                interfaces.insert(hop->rtnh_ifindex);
                left -= RTNH_ALIGN(hop->rtnh_len);
                hop = RTNH_NEXT(hop);
            }
        }
    }
}

// The interfaces that carry a default route of the main table; nothing when the routes can't be
// read.
std::optional<std::set<int>> defaultRouteInterfaces() {
    FileDescriptor fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0)
        return std::nullopt;
    struct {
        nlmsghdr header;
        rtmsg route;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = AF_UNSPEC;
    if (send(fd.get(), &request, request.header.nlmsg_len, 0) < 0)
        return std::nullopt;

    std::set<int> interfaces;
    std::vector<char> buffer(32768);
    for (;;) {
        ssize_t received = recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return std::nullopt;
        size_t left = static_cast<size_t>(received);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(message, left);
             message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_type == NLMSG_DONE)
                return interfaces;
            if (message->nlmsg_type == NLMSG_ERROR)
                return std::nullopt;
            if (message->nlmsg_type != RTM_NEWROUTE)
                continue;
            auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
            if (route->rtm_dst_len == 0 && route->rtm_table == RT_TABLE_MAIN &&
                route->rtm_type == RTN_UNICAST) {
                addOutputInterfaces(route, RTM_PAYLOAD(message), interfaces);
            }
        }
    }
}

std::optional<NetworkReachabilityFlags> routeFlags() {
    auto interfaces = defaultRouteInterfaces();
    if (!interfaces)
        return std::nullopt;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    bool wired = false;
    bool modem = false;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if ((entry->ifa_flags & IFF_UP) && interfaces->count(if_nametoindex(entry->ifa_name))) {
            // A modem is the nearest thing Linux has to the cellular connection the status tells
            // apart; any other interface counts as the non-cellular kind.
            (std::string_view(entry->ifa_name).starts_with("wwan") ? modem : wired) = true;
        }
    }
    NetworkReachabilityFlags flags = 0;
    if (wired || modem)
        flags |= NetworkReachabilityFlagsReachable;
    if (modem && !wired)
        flags |= NetworkReachabilityFlagsIsWWAN;
    freeifaddrs(list);
    return flags;
}

// Watches the kernel's link and route messages on a thread of its own and re-reads the flags after
// each burst of them. One per process, started with its first observer and never stopped.
class NetlinkRouteProvider : public NetworkReachabilityProvider {
  public:
    std::optional<NetworkReachabilityFlags> currentFlags() override { return routeFlags(); }

    ObserverId addObserver(Observer observer) override {
        std::lock_guard lock(mutex_);
        if (!started_) {
            started_ = true;
            last_ = routeFlags();
            std::thread([this] { watch(); }).detach();
        }
        observers_[nextId_] = std::move(observer);
        return nextId_++;
    }

    void removeObserver(ObserverId id) override {
        std::lock_guard lock(mutex_);
        observers_.erase(id);
    }

  private:
    void watch() {
        FileDescriptor fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (fd.get() < 0 ||
            bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            reportDiagnostic(
                DiagnosticLevel::Error,
                std::string("NetworkReachability: cannot watch routes: ") + std::strerror(errno));
            return;
        }
        std::vector<char> buffer(32768);
        for (;;) {
            ssize_t received = recv(fd.get(), buffer.data(), buffer.size(), 0);
            if (received < 0 && errno != ENOBUFS && errno != EINTR) {
                return;
            }
            // Drain the burst before re-reading: one route change brings several messages.
            pollfd pending{fd.get(), POLLIN, 0};
            while (poll(&pending, 1, 50) > 0) {
                if (recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT) < 0 &&
                    errno != ENOBUFS) {
                    break;
                }
            }
            auto flags = routeFlags();
            std::lock_guard lock(mutex_);
            if (!flags || flags == last_)
                continue;
            last_ = flags;
            for (auto& [id, observer] : observers_)
                observer(*flags);
        }
    }

    std::mutex mutex_;
    bool started_ = false;
    std::optional<NetworkReachabilityFlags> last_;
    ObserverId nextId_ = 1;
    std::map<ObserverId, Observer> observers_;
};

std::mutex& providerMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<NetworkReachabilityProvider>& overrideProvider() {
    static auto* provider = new std::shared_ptr<NetworkReachabilityProvider>;
    return *provider;
}

std::shared_ptr<NetworkReachabilityProvider> defaultProvider() {
    static auto* provider = new std::shared_ptr<NetworkReachabilityProvider>([] {
        std::string_view value =
            std::getenv("QUARRA_REACHABILITY") ? std::getenv("QUARRA_REACHABILITY") : "";
        if (value == "reachable") {
            return std::shared_ptr<NetworkReachabilityProvider>(
                std::make_shared<FixedNetworkReachabilityProvider>(
                    NetworkReachabilityFlagsReachable));
        }
        if (value == "unreachable") {
            return std::shared_ptr<NetworkReachabilityProvider>(
                std::make_shared<FixedNetworkReachabilityProvider>(0));
        }
        if (!value.empty()) {
            reportDiagnostic(DiagnosticLevel::Warning,
                             "NetworkReachability: QUARRA_REACHABILITY=" + std::string(value) +
                                 " is neither reachable nor unreachable; watching routes");
        }
        return std::shared_ptr<NetworkReachabilityProvider>(
            std::make_shared<NetlinkRouteProvider>());
    }());
    return *provider;
}

}  // namespace

std::shared_ptr<NetworkReachabilityProvider> NetworkReachabilityProvider::current() {
    std::lock_guard lock(providerMutex());
    return overrideProvider() ? overrideProvider() : defaultProvider();
}

void NetworkReachabilityProvider::setCurrent(
    std::shared_ptr<NetworkReachabilityProvider> provider) {
    std::lock_guard lock(providerMutex());
    overrideProvider() = std::move(provider);
}

std::optional<NetworkReachabilityFlags> FixedNetworkReachabilityProvider::currentFlags() {
    std::lock_guard lock(mutex_);
    return flags_;
}

NetworkReachabilityProvider::ObserverId FixedNetworkReachabilityProvider::addObserver(
    Observer observer) {
    std::lock_guard lock(mutex_);
    observers_[nextId_] = std::move(observer);
    return nextId_++;
}

void FixedNetworkReachabilityProvider::removeObserver(ObserverId id) {
    std::lock_guard lock(mutex_);
    observers_.erase(id);
}

void FixedNetworkReachabilityProvider::setFlags(NetworkReachabilityFlags flags) {
    std::lock_guard lock(mutex_);
    flags_ = flags;
    for (auto& [id, observer] : observers_)
        observer(flags);
}

int FixedNetworkReachabilityProvider::observerCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(observers_.size());
}

NetworkReachability::NetworkReachability(std::string target,
                                         std::shared_ptr<NetworkReachabilityProvider> provider)
    : target_(std::move(target)), provider_(std::move(provider)) {}

NetworkReachability::~NetworkReachability() {
    unschedule();
}

void NetworkReachability::schedule(Callback callback) {
    std::lock_guard lock(mutex_);
    if (observer_)
        provider_->removeObserver(*observer_);
    observer_ = provider_->addObserver(std::move(callback));
}

void NetworkReachability::unschedule() {
    std::lock_guard lock(mutex_);
    if (observer_)
        provider_->removeObserver(*observer_);
    observer_.reset();
}

}  // namespace quarra
