#include "platform/Files.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

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

Result<std::string> read(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return posixError(errno, "cannot open " + path.string());
    std::string contents;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int code = errno;
            ::close(fd);
            return posixError(code, "cannot read " + path.string());
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
    AtomicFile file(path);
    if (file.error())
        return file.error();
    if (ErrorPtr error = file.write(contents))
        return error;
    return file.commit(mode);
}

bool isPartialFile(const std::filesystem::path& path) {
    return path.filename().string().find(PartialFileMarker) != std::string::npos;
}

std::size_t sweepPartialFiles(const std::filesystem::path& journal) {
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(journal, ec)) {
        auto text = read(entry.path());
        if (!text)
            continue;
        // "<pid>\n<path>"
        auto newline = text->find('\n');
        if (newline == std::string::npos)
            continue;
        long pid = std::strtol(text->c_str(), nullptr, 10);
        std::filesystem::path partial = text->substr(newline + 1);
        if (pid > 0 && pid != ::getpid() && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM))
            continue;  // still being written
        if (isPartialFile(partial) && ::unlink(partial.c_str()) == 0)
            ++removed;
        ::unlink(entry.path().c_str());
    }
    return removed;
}

std::size_t removePartialFiles(const std::filesystem::path& folder, std::string_view of) {
    const std::string prefix =
        of.empty() ? std::string() : "." + std::string(of) + PartialFileMarker;
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::string name = entry.path().filename().string();
        if (isPartialFile(entry.path()) && name.starts_with(prefix) &&
            ::unlink(entry.path().c_str()) == 0)
            ++removed;
    }
    return removed;
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

namespace {

std::string randomSuffix() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    char text[32];
    std::snprintf(text, sizeof text, "%08x%04x", device(), counter++ & 0xffff);
    return text;
}

}  // namespace

AtomicFile::AtomicFile(std::filesystem::path destination,
                       std::optional<std::filesystem::path> journal)
    : destination_(std::move(destination)) {
    const std::filesystem::path folder = destination_.parent_path();
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string suffix = randomSuffix();
        temporary_ = folder / ("." + destination_.filename().string() + PartialFileMarker + suffix);
        if (journal) {
            // Listed before it exists, so a crash at any point leaves nothing unlisted.
            journalEntry_ = *journal / suffix;
            AtomicFile entry(journalEntry_);
            ErrorPtr failure = entry.error();
            if (!failure)
                failure = entry.write(std::to_string(::getpid()) + "\n" + temporary_.string());
            if (!failure)
                failure = entry.commit(0600, /*durable=*/true);
            if (failure) {
                journalEntry_.clear();
                temporary_.clear();
                error_ = failure;
                return;
            }
        }
        fd_ = FileDescriptor(
            ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd_)
            return;
        int code = errno;
        if (!journalEntry_.empty())
            ::unlink(journalEntry_.c_str());
        journalEntry_.clear();
        if (code != EEXIST) {
            error_ = posixError(code, "cannot create " + temporary_.string());
            temporary_.clear();
            return;
        }
    }
    error_ = posixError(EEXIST, "cannot create a temporary file beside " + destination_.string());
    temporary_.clear();
}

AtomicFile::~AtomicFile() {
    discard();
}

void AtomicFile::discard() {
    fd_ = FileDescriptor();
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
    if (!journalEntry_.empty())
        ::unlink(journalEntry_.c_str());
    journalEntry_.clear();
}

ErrorPtr AtomicFile::write(std::string_view data) {
    if (!fd_)
        return error_ ? error_ : posixError(EBADF, "cannot write " + destination_.string());
    if (!files::writeAll(fd_.get(), data)) {
        ErrorPtr failure = posixError(errno, "cannot write " + destination_.string());
        discard();
        return failure;
    }
    return nullptr;
}

ErrorPtr AtomicFile::commit(std::optional<mode_t> mode, bool durable) {
    if (!fd_)
        return error_ ? error_ : posixError(EBADF, "cannot write " + destination_.string());
    if (!mode) {
        struct stat existing {};
        mode = ::stat(destination_.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0600;
    }
    // fchmod, not the open mode: the umask must neither widen nor narrow what was asked.
    bool ok = ::fchmod(fd_.get(), *mode) == 0 && (!durable || ::fsync(fd_.get()) == 0);
    int code = errno;
    if (::close(fd_.release()) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && ::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        discard();
        return posixError(code, "cannot write " + destination_.string());
    }
    temporary_.clear();
    if (durable) {
        // The rename itself is durable only once the folder is synced.
        std::filesystem::path folder = destination_.parent_path();
        FileDescriptor dir(
            ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir || ::fsync(dir.get()) != 0) {
            code = errno;
            discard();
            return posixError(code, "cannot sync the folder of " + destination_.string());
        }
    }
    discard();  // the journal entry
    return nullptr;
}

}  // namespace quarra
