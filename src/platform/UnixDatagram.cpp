#include "platform/UnixDatagram.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace quarra {
namespace {

bool makeAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

UnixDatagramSender::Result resultOf(int error) {
    switch (error) {
        case EAGAIN:
        case ENOBUFS:
            return UnixDatagramSender::Result::Full;
        case EMSGSIZE:
            return UnixDatagramSender::Result::TooLarge;
        case ENOENT:
        case ECONNREFUSED:
        case ENOTDIR:
        case EACCES:
            return UnixDatagramSender::Result::NoReceiver;
        default:
            return UnixDatagramSender::Result::Failed;
    }
}

}  // namespace

UnixDatagramSender::UnixDatagramSender()
    : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}

UnixDatagramSender::~UnixDatagramSender() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

UnixDatagramSender::Result UnixDatagramSender::send(const std::string& path,
                                                    std::string_view datagram) {
    sockaddr_un address;
    socklen_t length;
    if (fd_ < 0 || !makeAddress(path, address, length)) {
        return Result::Failed;
    }
    while (true) {
        ssize_t sent = ::sendto(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), length);
        if (sent >= 0) {
            return Result::Sent;
        }
        if (errno != EINTR) {
            return resultOf(errno);
        }
    }
}

UnixDatagramSender::Result UnixDatagramSender::sendAsSealedFile(const std::string& path,
                                                                std::string_view contents) {
    sockaddr_un address;
    socklen_t length;
    if (fd_ < 0 || !makeAddress(path, address, length)) {
        return Result::Failed;
    }
    int file = ::memfd_create("datagram", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0) {
        return Result::Failed;
    }
    Result result = Result::Failed;
    std::size_t written = 0;
    while (written < contents.size()) {
        ssize_t n = ::write(file, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (written == contents.size() &&
        ::fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0) {
        char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_name = &address;
        message.msg_namelen = length;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &file, sizeof(int));
        ssize_t sent;
        do {
            sent = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        result = sent >= 0 ? Result::Sent : resultOf(errno);
    }
    ::close(file);
    return result;
}

}  // namespace quarra
