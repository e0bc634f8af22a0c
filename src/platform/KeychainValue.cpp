#include "platform/KeychainValue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Keychain.h"

namespace quarra {

namespace {
// Nanoseconds for which a check of the file stands for other processes' changes.
constexpr std::int64_t kRecheckAfter = 1'000'000;
}  // namespace

Result<std::optional<std::string>> KeychainValue::get() {
    auto store = std::dynamic_pointer_cast<FileKeychainStore>(Keychain::standard().store());
    if (!store) {
        return read_();  // a test's store: nothing to watch
    }
    std::shared_ptr<const Snapshot> last;
    {
        std::lock_guard lock(mutex_);
        last = last_;
    }
    auto now = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
    std::uint64_t writes = keychainWriteCount();
    if (last && writes == checkedWrites_.load(std::memory_order_acquire) &&
        now - checkedAt_.load(std::memory_order_acquire) < kRecheckAfter) {
        return last->value;
    }
    // Checked outside the lock, so callers on several threads do not queue behind a system call.
    if (last && last->isCurrent(store->file())) {
        checkedWrites_.store(writes, std::memory_order_release);
        checkedAt_.store(now, std::memory_order_release);
        return last->value;
    }
    // The file is opened before it is read: a change in between unlinks the opened file, so the
    // next call reads again rather than keeping an old value.
    auto next = std::make_shared<Snapshot>();
    next->fd = ::open(store->file().c_str(), O_RDONLY | O_CLOEXEC);
    std::optional<Stamp> stamp = next->fd >= 0 ? stampOf(next->fd) : missingStamp(errno);
    auto read = read_();
    // A value that could not be read is not kept: the store may read well again (a lock released)
    // without changing.
    if (!read)
        return read.error();
    next->value = std::move(*read);
    if (stamp) {
        next->stamp = *stamp;
        std::lock_guard lock(mutex_);
        last_ = next;
        checkedWrites_.store(writes, std::memory_order_release);
        checkedAt_.store(now, std::memory_order_release);
    }
    return next->value;
}

KeychainValue::Snapshot::~Snapshot() {
    if (fd >= 0) {
        ::close(fd);
    }
}

bool KeychainValue::Snapshot::isCurrent(const std::filesystem::path& file) const {
    if (fd < 0) {
        struct stat info {};
        return ::stat(file.c_str(), &info) != 0 && errno == ENOENT;
    }
    return stampOf(fd) == stamp;
}

std::optional<KeychainValue::Stamp> KeychainValue::stampOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_nlink == 0) {
        return std::nullopt;
    }
    return Stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

std::optional<KeychainValue::Stamp> KeychainValue::missingStamp(int error) {
    return error == ENOENT ? std::optional<Stamp>(Stamp{}) : std::nullopt;
}

}  // namespace quarra
