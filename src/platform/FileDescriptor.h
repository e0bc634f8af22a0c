#pragma once
// An open file descriptor with one owner: closed when the owner goes, handed on by moving.
#include <unistd.h>

#include <utility>

namespace quarra {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Closes the descriptor and reports whether close() succeeded (a write-back error shows here).
    bool close() noexcept {
        int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

}  // namespace quarra
