#include "platform/FileLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>

#include "quarra/Dispatch.h"
#include "platform/Files.h"

namespace quarra {

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_);  // closing drops the lock
}

ErrorPtr FileLock::acquire(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
    if (fd_ >= 0)
        return nullptr;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return posixError(errno, "cannot open " + path.string());
    const auto deadline = Clock::now() + timeout;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int code = errno;
        if ((code != EWOULDBLOCK && code != EINTR) || Clock::now() >= deadline) {
            ::close(fd);
            return posixError(code == EINTR ? EWOULDBLOCK : code, "cannot lock " + path.string());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    fd_ = fd;
    return nullptr;
}

}  // namespace quarra
