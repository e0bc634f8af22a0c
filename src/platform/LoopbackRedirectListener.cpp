#include "platform/LoopbackRedirectListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarra {
namespace {

constexpr const char* kDomain = "com.tovik.platform.loopback";
// A request head larger than this is no browser's redirect.
constexpr size_t kMaxHead = 16 * 1024;
// How long one connection may take to send its request head; a silent peer must not hold the
// redirect up for good.
constexpr int kHeadTimeoutMs = 10'000;

ErrorPtr systemError(const char* what) {
    int code = errno;
    return Error::make(kDomain, code, std::string(what) + ": " + std::strerror(code));
}

void sendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
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

}  // namespace

Result<std::shared_ptr<LoopbackRedirectListener>> LoopbackRedirectListener::listen(int port) {
    auto fail = [](const char* what, int fd) -> ErrorPtr {
        ErrorPtr error = systemError(what);
        if (fd >= 0)
            ::close(fd);
        return error;
    };
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket", -1);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        return fail("bind", fd);
    if (::listen(fd, 8) < 0)
        return fail("listen", fd);
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0)
        return fail("getsockname", fd);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0)
        return fail("pipe", fd);
    return std::shared_ptr<LoopbackRedirectListener>(
        new LoopbackRedirectListener(fd, ntohs(address.sin_port), wake[0], wake[1]));
}

LoopbackRedirectListener::LoopbackRedirectListener(int socket, int port, int wakeRead,
                                                   int wakeWrite)
    : socket_(socket), port_(port), wakeRead_(wakeRead), wakeWrite_(wakeWrite) {}

LoopbackRedirectListener::~LoopbackRedirectListener() {
    close();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
    ::close(socket_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void LoopbackRedirectListener::start(std::string path, Completion completion) {
    {
        std::lock_guard lock(mutex_);
        completion_ = std::move(completion);
    }
    if (closed_) {
        finish(std::nullopt);
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

void LoopbackRedirectListener::serve(std::string path) {
    while (!closed_) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents || closed_)
            break;
        int connection = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        std::optional<std::string> target = answer(connection, path);
        ::close(connection);
        if (target) {
            auto url = Url::parse("http://127.0.0.1:" + std::to_string(port_) + *target);
            if (url) {
                finish(url);
                return;
            }
        }
    }
    finish(std::nullopt);
}

std::optional<std::string> LoopbackRedirectListener::answer(int connection,
                                                            const std::string& path) {
    std::string head;
    char buffer[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead) {
        pollfd fds[2] = {{connection, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int ready = ::poll(fds, 2, kHeadTimeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || fds[1].revents)
            return std::nullopt;
        ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        head.append(buffer, static_cast<size_t>(n));
    }
    // "GET <target> HTTP/1.1"
    size_t methodEnd = head.find(' ');
    size_t targetEnd = methodEnd == std::string::npos ? methodEnd : head.find(' ', methodEnd + 1);
    if (targetEnd == std::string::npos || head.compare(0, methodEnd, "GET") != 0) {
        reply(connection, 400, "Bad Request", "");
        return std::nullopt;
    }
    std::string target = head.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    std::string targetPath = target.substr(0, target.find_first_of("?#"));
    if (targetPath != path) {
        reply(connection, 404, "Not Found", "");
        return std::nullopt;
    }
    reply(connection, 200, "OK",
          "<!DOCTYPE html><html><head><title>Signed in</title></head><body><p>The sign-in is "
          "complete. You can close this window and return to the application.</p></body></html>");
    return target;
}

void LoopbackRedirectListener::finish(const std::optional<Url>& redirect) {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        completion = std::move(completion_);
        completion_ = nullptr;
    }
    if (completion)
        completion(redirect);
}

}  // namespace quarra
