#include "log/TVKQuarraLoggerInternal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <mutex>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/LDLog.h"
#include "platform/Bundle.h"
#include "platform/Keychain.h"

namespace quarra {
namespace {

struct SessionValues {
    std::optional<std::string> sessionId;
    std::uint64_t quarraId = 0;
    std::optional<std::string> username;
};

// A keychain value as of the keychain file's last change. Every change of the keychain writes a new
// file and renames it over the old one, so the value read from one file stays current while that
// file is still linked and unchanged: one fstat of a descriptor held open per log call, instead of
// a locked read and parse of the whole store.
class KeychainValue {
  public:
    using Read = std::optional<std::string> (*)(ErrorPtr* error);
    explicit KeychainValue(Read read) : read_(read) {}

    std::optional<std::string> get() {
        auto store = std::dynamic_pointer_cast<FileKeychainStore>(Keychain::standard().store());
        if (!store) {
            return read_(nullptr);  // a test's store: nothing to watch
        }
        std::shared_ptr<const Snapshot> last;
        {
            std::lock_guard lock(mutex_);
            last = last_;
        }
        // Checked outside the lock, so callers on several threads do not queue behind a system
        // call.
        if (last && last->isCurrent(store->file())) {
            return last->value;
        }
        // The file is opened before it is read: a change in between unlinks the opened file, so the
        // next call reads again rather than keeping an old value.
        auto next = std::make_shared<Snapshot>();
        next->fd = ::open(store->file().c_str(), O_RDONLY | O_CLOEXEC);
        std::optional<Stamp> stamp = next->fd >= 0 ? stampOf(next->fd) : missingStamp(errno);
        ErrorPtr error;
        next->value = read_(&error);
        // A value that could not be read is not kept: the store may read well again (a lock
        // released) without changing.
        if (stamp && !error) {
            next->stamp = *stamp;
            std::lock_guard lock(mutex_);
            last_ = next;
        }
        return next->value;
    }

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

        ~Snapshot() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        bool isCurrent(const std::filesystem::path& file) const {
            if (fd < 0) {
                struct stat info {};
                return ::stat(file.c_str(), &info) != 0 && errno == ENOENT;
            }
            return stampOf(fd) == stamp;
        }
    };

    static std::optional<Stamp> stampOf(int fd) {
        struct stat info {};
        if (::fstat(fd, &info) != 0 || info.st_nlink == 0) {
            return std::nullopt;
        }
        return Stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    }

    // A keychain not written yet holds nothing; its creation is seen by the next call.
    static std::optional<Stamp> missingStamp(int error) {
        return error == ENOENT ? std::optional<Stamp>(Stamp{}) : std::nullopt;
    }

    const Read read_;
    std::mutex mutex_;
    std::shared_ptr<const Snapshot> last_;
};

std::optional<std::string> storedSessionId() {
    static auto* value =
        new KeychainValue([](ErrorPtr* error) { return KeychainItemStore::getSessionId(error); });
    return value->get();
}

std::optional<std::string> storedUsername() {
    static auto* value =
        new KeychainValue([](ErrorPtr* error) { return KeychainItemStore::getUsername(error); });
    return value->get();
}

// Read afresh at every call: a signed-in user counts only once the SDK is initialised.
SessionValues currentSessionValues() {
    SessionValues values;
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    if (!configuration.isSDKInitialized()) {
        values.username = storedUsername();
        return values;
    }
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    auto user = auth.currentUser();
    if (!user) {
        values.username = auth.lastAttemptedLoginUsername();
        return values;
    }
    values.sessionId = storedSessionId();
    if (const auto& quarra = user->currentQuarra()) {
        values.quarraId = quarra->Id();
    }
    values.username = user->userId() != 0 ? std::to_string(user->userId()) : user->username();
    return values;
}

void append(std::string& out, const std::optional<std::string>& value) {
    out += value ? std::string_view(*value) : std::string_view("(null)");
}

void append(std::string& out, std::uint64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace

TVKQuarraLoggerInternal& TVKQuarraLoggerInternal::sharedInstance() {
    static TVKQuarraLoggerInternal* instance = new TVKQuarraLoggerInternal();
    return *instance;
}

TVKQuarraLoggerInternal::TVKQuarraLoggerInternal() {
    // The SDK's folders (the log folder among them) exist before the first line is written.
    TVKQuarraConfigurationManager::sharedInstance();
}

void TVKQuarraLoggerInternal::log(std::string text, std::uint64_t level, std::uint64_t flag,
                                  const char* file, const char* function, std::int64_t line,
                                  std::string_view bundleId) {
    try {
        auto unsignedLine = static_cast<std::uint64_t>(line);
        std::string message =
            constructLogMessage(bundleId, file, function, unsignedLine, text, flag);
        LDLog::sharedInstance().log(
            true, std::make_shared<const LDLogMessage>(std::move(message), level, flag, 0, file,
                                                       function, unsignedLine, nullptr, 0));
    } catch (...) {
        // Logging never fails the caller.
    }
}

std::string TVKQuarraLoggerInternal::constructLogMessage(
    std::string_view bundleId, std::string_view fileName, std::string_view functionName,
    std::uint64_t line, std::string_view message, std::uint64_t flag) {
    SessionValues session = currentSessionValues();
    std::string_view levelWord = dispatcherFlagToQuarraLogLevel(flag);
    std::string out;
    out.reserve(112 + bundleId.size() + fileName.size() + functionName.size() + message.size());
    out += "[bundleID:";
    out += bundleId;
    out += " sessionId:";
    append(out, session.sessionId);
    out += " quarraId:";
    append(out, session.quarraId);
    out += " username:";
    append(out, session.username);
    out += " file:";
    out += fileName;
    out += " function:";
    out += functionName;
    out += " line:";
    append(out, line);
    out += "] ";
    out += levelWord;
    out += " message: ";
    out += message;
    return out;
}

std::string_view TVKQuarraLoggerInternal::dispatcherFlagToQuarraLogLevel(std::uint64_t flag) {
    switch (flag) {
        case LDLogFlagError:
            return "ERROR";
        case LDLogFlagWarning:
            return "WARNING";
        case LDLogFlagDebug:
            return "DEBUG";
        case LDLogFlagVerbose:
            return "VERBOSE";
        default:
            return "INFO";
    }
}

void TVKQuarraLoggerInternal::startUploadProcess() {}

void TVKQuarraLoggerInternal::logDataWithCompletionHandler(
    std::function<void(std::optional<Bytes>)> handler) {
    if (!handler) {
        return;
    }
    LDLog::loggingQueue()->async([handler = std::move(handler)] { handler(std::nullopt); });
}

std::string TVKQuarraLoggerInternal::hostBundleId() {
    return Bundle::main().bundleIdentifier();
}

const std::string& TVKQuarraLoggerInternal::sdkBundleId() {
    static const std::string id = [] {
        std::string sdk = Bundle::sdk().bundleIdentifier();
        auto dot = sdk.rfind('.');
        return hostBundleId() + "." + (dot == std::string::npos ? sdk : sdk.substr(dot + 1));
    }();
    return id;
}

}  // namespace quarra
