#include "storage/crypt/TVKCryptFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/TVKErrors.h"
#include "platform/Bundle.h"
#include "storage/crypt/FCMessageCodec.h"

namespace quarra::cryptfiles {
namespace {

// Writes all of `data`, retrying short writes and interrupted calls; false with errno.
bool writeAll(int fd, ByteView data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// A temporary file beside its destination, removed unless it was renamed into place.
class TemporaryFile {
  public:
    TemporaryFile(const std::filesystem::path& destination, std::optional<mode_t> mode) {
        std::string pattern =
            (destination.parent_path() / ("." + destination.filename().string() + ".XXXXXX"))
                .string();
        fd_ = FileDescriptor(::mkstemp(pattern.data()));
        if (fd_) {
            path_ = pattern;
            // Asked-for bits win; otherwise replacing a file keeps its permissions and a new one
            // stays private to the user.
            struct stat existing;
            if (mode) {
                ::fchmod(fd_.get(), *mode);
            } else if (::stat(destination.c_str(), &existing) == 0) {
                ::fchmod(fd_.get(), existing.st_mode & 07777);
            }
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }

    int fd() const { return fd_.get(); }
    explicit operator bool() const { return bool(fd_); }

    // Closes the file (reporting errors a close can carry) and renames it over `destination`;
    // false with errno.
    bool commit(const std::filesystem::path& destination, bool durable) {
        if (durable && ::fsync(fd_.get()) != 0) {
            return false;
        }
        if (::close(fd_.release()) != 0 || ::rename(path_.c_str(), destination.c_str()) != 0) {
            return false;
        }
        path_.clear();
        if (durable) {
            // The new contents are complete either way; syncing the folder makes the rename
            // survive a crash, and its failure cannot be undone, so it is not reported.
            std::filesystem::path folder = destination.parent_path();
            FileDescriptor dir(
                ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dir) {
                ::fsync(dir.get());
            }
        }
        return true;
    }

  private:
    FileDescriptor fd_;
    std::string path_;
};

}  // namespace

ErrorPtr fileError(std::string_view what, int code) {
    std::string text = Bundle::sdk().localizedString(std::string(what));
    return Error::make(TVKCryptographyErrorDomain, -5, text + ": " + strerror(code));
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int FileDescriptor::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

FileDescriptor openSource(const std::filesystem::path& path, ErrorPtr* error) {
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (error) {
            *error = Error::make(TVKCryptographyErrorDomain, -5,
                                 Bundle::sdk().localizedString("Invalid file path"));
        }
        return FileDescriptor();
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd && error) {
        *error = fileError(kReadFailed, errno);
    }
    return fd;
}

long readSome(int fd, std::uint8_t* buffer, std::size_t length) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, length);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

ErrorPtr copy(FileDescriptor source, const std::filesystem::path& destination,
              std::string_view password, bool encrypt, bool durable, std::optional<mode_t> mode) {
    ErrorPtr error;
    auto codec = FCMessageCodec::make(encrypt, password, &error);
    if (!codec) {
        return error;
    }
    TemporaryFile output(destination, mode);
    if (!output) {
        return fileError(kSaveFailed, errno);
    }
    Bytes chunk(kChunkSize);
    Bytes out;
    out.reserve(kChunkSize + 128);
    for (;;) {
        long count = readSome(source.get(), chunk.data(), chunk.size());
        if (count < 0) {
            return fileError(kReadFailed, errno);
        }
        out.clear();
        error = count > 0
                    ? codec->update(ByteView(chunk).first(static_cast<std::size_t>(count)), out)
                    : codec->finish(out);
        if (error) {
            return error;
        }
        if (!writeAll(output.fd(), out)) {
            return fileError(kSaveFailed, errno);
        }
        if (count == 0) {
            break;
        }
    }
    if (!output.commit(destination, durable)) {
        return fileError(kSaveFailed, errno);
    }
    return nullptr;
}

}  // namespace quarra::cryptfiles
