#pragma once
// A value derived from the keychain, kept as of the keychain file's last change. Every change of
// the keychain writes a new file and renames it over the old one, so the value read from one file
// stays current while that file is still linked and unchanged: one fstat of a descriptor held open,
// instead of a locked read and parse of the whole store. Changes made by this process are seen at
// the next read; changes made by other processes at the first read a millisecond after the last
// check (so a burst of reads, a log call each, costs one system call, not one each). Safe to call
// from any thread.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/Error.h"
#include "quarra/Result.h"

namespace quarra {

class KeychainValue {
  public:
    // Reads the value from the keychain: nullopt when it holds none, an error when the keychain
    // could not be read.
    using Read = Result<std::optional<std::string>> (*)();
    explicit KeychainValue(Read read) : read_(read) {}
    KeychainValue(const KeychainValue&) = delete;
    KeychainValue& operator=(const KeychainValue&) = delete;

    // The value as the keychain holds it now; nullopt when it holds none, an error when the
    // keychain could not be read.
    Result<std::optional<std::string>> get();

  private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};

        bool operator==(const Stamp& o) const {
            return device == o.device && inode == o.inode && size == o.size &&
                   modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
        }
    };

    // The file as it was read, held open; -1 when there was none.
    struct Snapshot {
        int fd = -1;
        Stamp stamp;
        std::optional<std::string> value;

        Snapshot() = default;
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;
        ~Snapshot();
        bool isCurrent(const std::filesystem::path& file) const;
    };

    static std::optional<Stamp> stampOf(int fd);
    // A keychain not written yet holds nothing; its creation is seen by the next call.
    static std::optional<Stamp> missingStamp(int error);

    const Read read_;
    std::mutex mutex_;
    std::shared_ptr<const Snapshot> last_;
    // When `last_` was last found current, and the process's keychain write count then.
    std::atomic<std::int64_t> checkedAt_{0};
    std::atomic<std::uint64_t> checkedWrites_{0};
};

}  // namespace quarra
