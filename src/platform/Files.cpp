#include "platform/Files.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace quarra {

ErrorPtr posixError(int code, std::string_view what) {
    return Error::make(PosixErrorDomain, code, std::string(what) + ": " + strerror(code));
}

std::optional<mode_t> posixPermissions(const Json& attributes) {
    if (!attributes.is_object()) {
        return std::nullopt;
    }
    auto it = attributes.find(FilePosixPermissionsKey);
    if (it == attributes.end() || !it->is_number_integer()) {
        return std::nullopt;
    }
    return static_cast<mode_t>(it->get<std::int64_t>() & 07777);
}

namespace files {
namespace {

// Writes all of `data`, retrying short writes and interrupted calls.
bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::optional<std::string> read(const std::filesystem::path& path, ErrorPtr* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = posixError(errno, "cannot open " + path.string());
        return std::nullopt;
    }
    std::string contents;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int code = errno;
            ::close(fd);
            if (error)
                *error = posixError(code, "cannot read " + path.string());
            return std::nullopt;
        }
        if (n == 0)
            break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return contents;
}

ErrorPtr writeAtomically(const std::filesystem::path& path, std::string_view contents,
                         mode_t mode) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path temp =
        path.string() + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return posixError(errno, "cannot create " + temp.string());
    // The umask must not widen or narrow what the caller asked for (a keychain file stays 0600).
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    int code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return posixError(code, "cannot write " + path.string());
    }
    // The rename itself is durable only once the folder is synced.
    int dir = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return nullptr;
}

ErrorPtr createDirectories(const std::filesystem::path& path, mode_t mode) {
    std::filesystem::path partial;
    for (const auto& part : path) {
        partial /= part;
        if (partial.empty() || partial == partial.root_path())
            continue;
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            return posixError(errno, "cannot create folder " + partial.string());
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return posixError(errno, "cannot create folder " + path.string());
    if (!S_ISDIR(st.st_mode))
        return posixError(ENOTDIR, "cannot create folder " + path.string());
    return nullptr;
}

}  // namespace files
}  // namespace quarra
