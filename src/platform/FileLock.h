#pragma once
// An exclusive advisory lock (flock(2)) on a lock file, held for the object's lifetime: serialises
// read-modify-write cycles of several processes on one store.
#include <chrono>
#include <filesystem>

#include "quarra/Error.h"

namespace quarra {

class FileLock {
  public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    bool held() const { return fd_ >= 0; }

    // Creates the file (mode 0600) when missing and waits up to `timeout` for the lock (a zero
    // timeout tries once). Null once held, also when it already was; a PosixErrorDomain error
    // (EWOULDBLOCK after the time-out) otherwise, after which it may be tried again.
    [[nodiscard]] ErrorPtr acquire(const std::filesystem::path& path,
                                   std::chrono::milliseconds timeout);

  private:
    int fd_ = -1;
};

}  // namespace quarra
