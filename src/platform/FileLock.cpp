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
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return posixError(errno, "cannot open " + path.string());
    const auto deadline = Clock::now() + timeout;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return posixError(errno, "cannot lock " + path.string());
        }
        if (Clock::now() >= deadline)
            return posixError(EWOULDBLOCK, "cannot lock " + path.string());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return nullptr;
}

}  // namespace quarra
