#include "platform/LoopbackRedirectListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace quarra {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDomain = "com.tovik.platform.loopback";
// A request head larger than this is no browser's redirect.
constexpr size_t kMaxHead = 16 * 1024;
// How long one connection may take to send its whole request head.
constexpr auto kRequestLimit = std::chrono::seconds(10);
// Connections served at once; a newcomer beyond them pushes out the oldest, so a crowd of idle
// clients cannot keep the browser out.
constexpr size_t kMaxConnections = 16;

ErrorPtr systemError(const char* what, int code = errno) {
    return Error::make(kDomain, code, std::string(what) + ": " + std::strerror(code));
}

void closeAll(const std::vector<int>& fds) {
    for (int fd : fds)
        ::close(fd);
}

// Never blocks: a peer that reads nothing loses its page, not the listener's thread.
void sendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

void reply(int fd, int status, const char* reason, const std::string& body) {
    sendAll(fd, "HTTP/1.1 " + std::to_string(status) + " " + reason +
                    "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

std::string htmlEscaped(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

// Only digits, hex digits, "x" and dots: what an IPv4 address in a URL may be written with.
bool isIPv4Text(const std::string& host) {
    return !host.empty() &&
           host.find_first_not_of("0123456789abcdefABCDEFxX.") == std::string::npos;
}

// A listening socket on the loopback address of `family`; `port` 0 takes a free one.
Result<int> bindLoopback(int family, int port) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return systemError("socket");
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage storage{};
    socklen_t length;
    if (family == AF_INET6) {
        // ::1 alone: 127.0.0.1 may be another socket's.
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        address->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *address;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) < 0 || ::listen(fd, 16) < 0) {
        ErrorPtr error = systemError("bind");
        ::close(fd);
        return error;
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) < 0)
        return -1;
    if (storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

// No IPv6 on this host: "localhost" is 127.0.0.1 alone.
bool noIPv6(const ErrorPtr& error) {
    return error->code() == EADDRNOTAVAIL || error->code() == EAFNOSUPPORT;
}

}  // namespace

struct LoopbackRedirectListener::Connection {
    int fd;
    std::string head;
    Clock::time_point deadline;
};

LoopbackRedirectListener::Reply::~Reply() {
    failed("The sign-in did not finish.");
}

void LoopbackRedirectListener::Reply::succeeded() {
    // The sign-in goes on in the application (tokens are still to be fetched, and may not be): the
    // page claims nothing it does not know.
    send(200, "Return to the application",
         "You can close this window and return to the application.");
}

void LoopbackRedirectListener::Reply::failed(const std::string& reason) {
    send(400, "Sign-in failed",
         "The sign-in failed: " + reason +
             " You can close this window and return to the "
             "application.");
}

void LoopbackRedirectListener::Reply::send(int status, const std::string& title,
                                           const std::string& text) {
    std::lock_guard lock(mutex_);
    if (connection_ < 0)
        return;
    reply(connection_, status, status == 200 ? "OK" : "Bad Request",
          "<!DOCTYPE html><html><head><title>" + title + "</title></head><body><p>" +
              htmlEscaped(text) + "</p></body></html>");
    ::close(connection_);
    connection_ = -1;
}

const char* const LoopbackRedirectListener::ErrorDomain = kDomain;

LoopbackRedirectListener::Loopback LoopbackRedirectListener::loopbackOf(const std::string& host) {
    if (strcasecmp(host.c_str(), "localhost") == 0)
        return Loopback::Both;
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    in6_addr v6{};
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6) ? Loopback::IPv6 : Loopback::None;
    // The forms a browser's URL parser reads as an IPv4 address, as inet_aton reads them.
    in_addr v4{};
    if (bare == host && isIPv4Text(host) && inet_aton(host.c_str(), &v4) == 1 &&
        ntohl(v4.s_addr) == INADDR_LOOPBACK) {
        return Loopback::IPv4;
    }
    return Loopback::None;
}

Result<std::shared_ptr<LoopbackRedirectListener>> LoopbackRedirectListener::listen(
    const std::string& host, int port) {
    std::vector<int> sockets;
    const Loopback loopback = loopbackOf(host);
    // The host as a URL writes it.
    std::string authority =
        loopback == Loopback::IPv6 && host.front() != '[' ? "[" + host + "]" : host;
    if (loopback == Loopback::IPv4 || loopback == Loopback::IPv6) {
        auto bound = bindLoopback(loopback == Loopback::IPv6 ? AF_INET6 : AF_INET, port);
        if (!bound)
            return bound.error();
        sockets.push_back(*bound);
    } else if (loopback == Loopback::Both) {
        // A free port must be free on both addresses: a few tries, in case the one that 127.0.0.1
        // got is taken on ::1.
        for (int attempt = 0; sockets.empty(); ++attempt) {
            auto v4 = bindLoopback(AF_INET, port);
            if (!v4)
                return v4.error();
            auto v6 = bindLoopback(AF_INET6, boundPort(*v4));
            if (v6) {
                sockets = {*v4, *v6};
            } else if (noIPv6(v6.error())) {
                sockets = {*v4};
            } else {
                ::close(*v4);
                if (port != 0 || attempt == 8)
                    return v6.error();
            }
        }
    } else {
        return Error::make(kDomain, EINVAL, "Not a loopback host: " + host);
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0) {
        ErrorPtr error = systemError("pipe");
        closeAll(sockets);
        return error;
    }
    int boundTo = boundPort(sockets.front());
    return std::shared_ptr<LoopbackRedirectListener>(new LoopbackRedirectListener(
        std::move(sockets), std::move(authority), boundTo, wake[0], wake[1]));
}

LoopbackRedirectListener::LoopbackRedirectListener(std::vector<int> sockets, std::string authority,
                                                   int port, int wakeRead, int wakeWrite)
    : sockets_(std::move(sockets)),
      authority_(std::move(authority)),
      port_(port),
      wakeRead_(wakeRead),
      wakeWrite_(wakeWrite) {}

LoopbackRedirectListener::~LoopbackRedirectListener() {
    close();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
    closeAll(sockets_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void LoopbackRedirectListener::start(std::string path, Completion completion) {
    {
        std::lock_guard lock(mutex_);
        completion_ = std::move(completion);
    }
    if (closed_) {
        finish();
        return;
    }
    // The thread holds the listener only weakly through `this`: the destructor joins it.
    thread_ = std::thread([this, path = std::move(path)] { serve(path); });
}

void LoopbackRedirectListener::close() {
    if (closed_.exchange(true))
        return;
    char byte = 1;
    while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
}

void LoopbackRedirectListener::serve(const std::string& path) {
    std::vector<Connection> open;
    auto drop = [&open](size_t index) {
        ::close(open[index].fd);
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(index));
    };
    while (!closed_) {
        std::vector<pollfd> fds;
        fds.push_back({wakeRead_, POLLIN, 0});
        for (int socket : sockets_)
            fds.push_back({socket, POLLIN, 0});
        for (const Connection& connection : open)
            fds.push_back({connection.fd, POLLIN, 0});
        int timeout = -1;
        if (!open.empty()) {
            auto first = std::min_element(open.begin(), open.end(), [](auto& a, auto& b) {
                             return a.deadline < b.deadline;
                         })->deadline;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents || closed_)
            break;
        const Clock::time_point now = Clock::now();
        // Reads first, newest connection first, so that dropping one leaves the indices of those
        // still to be read as they were.
        for (size_t i = open.size(); i-- > 0;) {
            if (!fds[1 + sockets_.size() + i].revents)
                continue;
            char buffer[2048];
            ssize_t n = ::recv(open[i].fd, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                drop(i);
                continue;
            }
            std::string& head = open[i].head;
            head.append(buffer, static_cast<size_t>(n));
            if (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead)
                continue;
            // "GET <target> HTTP/1.1"
            size_t methodEnd = head.find(' ');
            size_t targetEnd =
                methodEnd == std::string::npos ? methodEnd : head.find(' ', methodEnd + 1);
            if (targetEnd == std::string::npos || head.compare(0, methodEnd, "GET") != 0 ||
                head[methodEnd + 1] != '/') {
                reply(open[i].fd, 400, "Bad Request", "");
                drop(i);
                continue;
            }
            std::string target = head.substr(methodEnd + 1, targetEnd - methodEnd - 1);
            std::optional<Url> url;
            if (target.substr(0, target.find_first_of("?#")) == path)
                url = Url::parse("http://" + authority_ + ":" + std::to_string(port_) + target);
            if (!url) {
                reply(open[i].fd, 404, "Not Found", "");
                drop(i);
                continue;
            }
            auto answer = std::make_shared<Reply>(open[i].fd);
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
            deliver(*url, answer);
        }
        for (size_t i = open.size(); i-- > 0;) {
            if (open[i].deadline <= now)
                drop(i);
        }
        for (size_t s = 0; s < sockets_.size(); ++s) {
            if (!fds[1 + s].revents)
                continue;
            int fd = ::accept4(sockets_[s], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                continue;
            if (open.size() >= kMaxConnections)
                drop(0);
            open.push_back({fd, std::string(), now + kRequestLimit});
        }
    }
    for (const Connection& connection : open)
        ::close(connection.fd);
    finish();
}

void LoopbackRedirectListener::deliver(const Url& redirect, const std::shared_ptr<Reply>& reply) {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        completion = completion_;
    }
    if (completion)
        completion(redirect, reply);
}

void LoopbackRedirectListener::finish() {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        completion = std::move(completion_);
        completion_ = nullptr;
    }
    if (completion)
        completion(std::nullopt, nullptr);
}

}  // namespace quarra
