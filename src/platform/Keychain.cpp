#include "platform/Keychain.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "quarra/Dispatch.h"

#include "platform/Base64.h"
#include "platform/Diagnostics.h"
#include "quarra/Bundle.h"
#include "platform/Directories.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "quarra/Json.h"
#include "quarra/Result.h"
#include "platform/SecretServiceKeychainStore.h"

namespace quarra {

bool isKeychainError(const ErrorPtr& error, KeychainErrorCode code) {
    return error && error->is(KeychainErrorDomain, code);
}

namespace {

std::atomic<std::uint64_t>& writeCount() {
    static std::atomic<std::uint64_t> count{0};
    return count;
}

}  // namespace

std::uint64_t keychainWriteCount() {
    return writeCount().load(std::memory_order_acquire);
}

namespace {

ErrorPtr failure(KeychainErrorCode code, std::string description, ErrorPtr underlying = nullptr) {
    return Error::make(KeychainErrorDomain, code, description, std::move(underlying));
}

Json toJson(const KeychainItem& item) {
    return {{"service", item.service},         {"account", item.account},
            {"generic", item.generic},         {"label", item.label},
            {"description", item.description}, {"accessGroup", item.accessGroup},
            {"data", base64Encode(item.data)}};
}

bool stringField(const Json& object, const char* key, std::string& out) {
    auto it = object.find(key);
    if (it == object.end())
        return true;  // absent attributes read as empty
    if (!it->is_string())
        return false;
    out = it->get<std::string>();
    return true;
}

std::optional<std::vector<KeychainItem>> parseItems(const std::string& text) {
    Json document = parseJson(text).valueOr(Json());
    if (!document.is_object())
        return std::nullopt;
    auto list = document.find("items");
    if (list == document.end() || !list->is_array())
        return std::nullopt;
    std::vector<KeychainItem> items;
    for (const Json& entry : *list) {
        if (!entry.is_object())
            return std::nullopt;
        KeychainItem item;
        std::string data;
        if (!stringField(entry, "service", item.service) ||
            !stringField(entry, "account", item.account) ||
            !stringField(entry, "generic", item.generic) ||
            !stringField(entry, "label", item.label) ||
            !stringField(entry, "description", item.description) ||
            !stringField(entry, "accessGroup", item.accessGroup) ||
            !stringField(entry, "data", data)) {
            return std::nullopt;
        }
        auto bytes = base64Decode(data);
        if (!bytes)
            return std::nullopt;
        item.data = std::move(*bytes);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

bool KeychainQuery::matches(const KeychainItem& item) const {
    return (!service || *service == item.service) && (!account || *account == item.account) &&
           (!generic || *generic == item.generic) &&
           (!accessGroup || *accessGroup == item.accessGroup) && (!where || where(item));
}

FileKeychainStore::FileKeychainStore(std::filesystem::path file,
                                     std::chrono::milliseconds lockTimeout)
    : file_(std::move(file)), lockTimeout_(lockTimeout) {}

ErrorPtr FileKeychainStore::transact(
    const std::function<bool(std::vector<KeychainItem>&)>& change) {
    std::lock_guard guard(mutex_);
    const auto folder = file_.parent_path();
    if (ErrorPtr error = files::createDirectories(folder, 0700)) {
        return failure(KeychainReadFailedError, "The keychain folder cannot be created.", error);
    }
    ::chmod(folder.c_str(), 0700);  // the folder may predate us with wider bits
    FileLock lock;
    if (ErrorPtr error = lock.acquire(file_.string() + ".lock", lockTimeout_)) {
        return failure(KeychainReadFailedError, "The keychain is locked.", error);
    }
    // Every writer holds the lock while its temporary exists: one found now is a copy of the
    // secrets that a killed process left.
    (void)files::removePartialFiles(folder, file_.filename().string());
    std::vector<KeychainItem> items;
    if (auto text = files::read(file_)) {
        auto parsed = parseItems(*text);
        if (!parsed)
            return failure(KeychainReadFailedError, "The keychain file is corrupt.");
        items = std::move(*parsed);
    } else if (text.error()->code() != ENOENT) {
        return failure(KeychainReadFailedError, "The keychain cannot be read.", text.error());
    }
    if (!change(items))
        return nullptr;
    Json list = Json::array();
    for (const auto& item : items)
        list.push_back(toJson(item));
    Json document = {{"version", 1}, {"items", std::move(list)}};
    ErrorPtr error = files::writeAtomically(file_, document.dump(1), 0600);
    // Counted also when the write failed: the file may have changed all the same.
    writeCount().fetch_add(1, std::memory_order_acq_rel);
    if (error) {
        return failure(KeychainWriteFailedError, "The keychain cannot be written.", error);
    }
    return nullptr;
}

Keychain& Keychain::standard() {
    static Keychain* instance = new Keychain(standardStore());
    return *instance;
}

namespace {

// Every call fails with the same error: a store that must not be used, and says why.
class RefusedKeychainStore : public KeychainStore {
  public:
    explicit RefusedKeychainStore(ErrorPtr error) : error_(std::move(error)) {}
    [[nodiscard]] ErrorPtr transact(
        const std::function<bool(std::vector<KeychainItem>&)>&) override {
        return error_;
    }

  private:
    const ErrorPtr error_;
};

struct DependentData {
    std::mutex mutex;
    std::vector<std::filesystem::path> folders;
};

// Never destroyed: the standard keychain may be made on any thread, also at exit.
DependentData& dependentData() {
    static DependentData* data = new DependentData();
    return *data;
}

// Something is there, or may be: a dangling link or a path that cannot be looked at counts.
bool mayBeThere(const std::filesystem::path& path) {
    std::error_code error;
    auto status = std::filesystem::symlink_status(path, error);
    return std::filesystem::exists(status) ||
           (error && error != std::errc::no_such_file_or_directory);
}

bool holdsAnything(const std::filesystem::path& folder) {
    std::error_code error;
    bool empty = std::filesystem::is_empty(folder, error);
    return error ? error != std::errc::no_such_file_or_directory : !empty;
}

}  // namespace

void Keychain::setDependentData(std::vector<std::filesystem::path> folders) {
    DependentData& data = dependentData();
    std::lock_guard lock(data.mutex);
    data.folders = std::move(folders);
}

std::shared_ptr<KeychainStore> Keychain::standardStore() {
    const std::string host = Bundle::main().bundleIdentifier();
    const auto folder = dataHomeDirectory() / "keychains";
    const auto file = folder / (host + ".json");
    const auto marker = folder / (host + ".secret-service");
    auto secretService = [&] {
        return std::make_shared<SecretServiceKeychainStore>(host, file.string() + ".lock",
                                                            std::chrono::seconds(10),
                                                            std::chrono::seconds(60), marker);
    };
    auto fileStore = [&] { return std::make_shared<FileKeychainStore>(file); };
    // The store that holds an installation's secrets stays its store: moving to the other one
    // would leave the user's file key behind, and with it every file and cache it encrypts.
    const bool marked = mayBeThere(marker);
    const char* forced = getenv("QUARRA_KEYCHAIN");
    const std::string_view choice = forced ? forced : "";
    if (choice == "file") {
        if (!marked)
            return fileStore();
        const std::string why =
            "The keyring is unavailable: QUARRA_KEYCHAIN=file, but this installation keeps its "
            "secrets in the Secret Service (" +
            marker.string() + ").";
        reportDiagnostic(DiagnosticLevel::Warning, why);
        return std::make_shared<RefusedKeychainStore>(failure(KeychainReadFailedError, why));
    }
    if (choice == "secret-service")
        return secretService();
    if (!choice.empty())
        reportDiagnostic(DiagnosticLevel::Warning,
                         "QUARRA_KEYCHAIN=" + std::string(choice) +
                             " is neither \"file\" nor \"secret-service\"");
    if (marked)
        return secretService();
    std::error_code error;
    if (std::filesystem::exists(file, error) || error)
        return fileStore();
    if (SecretServiceKeychainStore::available())
        return secretService();
    // Data encrypted with keys that are in neither store here: an installation from before the
    // marker kept them in the Secret Service, which must come back; a new file key would orphan
    // that data for good.
    std::vector<std::filesystem::path> dependents;
    {
        DependentData& data = dependentData();
        std::lock_guard lock(data.mutex);
        dependents = data.folders;
    }
    for (const auto& dependent : dependents) {
        if (holdsAnything(dependent)) {
            reportDiagnostic(DiagnosticLevel::Warning,
                             "The keychain stays with the Secret Service, which does not answer: " +
                                 dependent.string() + " holds data whose keys it may keep.");
            return secretService();
        }
    }
    return fileStore();
}

Keychain::Keychain(std::shared_ptr<KeychainStore> store) : store_(std::move(store)) {}

void Keychain::setStore(std::shared_ptr<KeychainStore> store) {
    std::lock_guard lock(mutex_);
    store_ = std::move(store);
}

std::shared_ptr<KeychainStore> Keychain::store() const {
    std::lock_guard lock(mutex_);
    return store_;
}

ErrorPtr Keychain::add(const KeychainItem& item) {
    bool duplicate = false;
    ErrorPtr error = store()->transact([&](std::vector<KeychainItem>& items) {
        for (const auto& existing : items) {
            if (existing.service == item.service && existing.account == item.account &&
                existing.accessGroup == item.accessGroup) {
                duplicate = true;
                return false;
            }
        }
        items.push_back(item);
        return true;
    });
    if (!error && duplicate) {
        return failure(KeychainDuplicateItemError,
                       "An item with the same service, account and access group exists.");
    }
    return error;
}

Result<std::optional<KeychainItem>> Keychain::copyMatching(const KeychainQuery& query) {
    auto found = copyAllMatching(query);
    if (!found)
        return found.error();
    if (found->empty())
        return std::optional<KeychainItem>();
    return std::optional<KeychainItem>(std::move(found->front()));
}

Result<std::vector<KeychainItem>> Keychain::copyAllMatching(const KeychainQuery& query) {
    std::vector<KeychainItem> found;
    ErrorPtr error = store()->transact([&](std::vector<KeychainItem>& stored) {
        for (const auto& item : stored) {
            if (query.matches(item))
                found.push_back(item);
        }
        return false;
    });
    if (error)
        return error;
    return found;
}

Result<std::size_t> Keychain::update(const KeychainQuery& query, const KeychainChanges& changes) {
    std::size_t changed = 0;
    ErrorPtr error = store()->transact([&](std::vector<KeychainItem>& items) {
        changed = 0;
        for (auto& item : items) {
            if (!query.matches(item))
                continue;
            ++changed;
            if (changes.service)
                item.service = *changes.service;
            if (changes.account)
                item.account = *changes.account;
            if (changes.generic)
                item.generic = *changes.generic;
            if (changes.label)
                item.label = *changes.label;
            if (changes.description)
                item.description = *changes.description;
            if (changes.accessGroup)
                item.accessGroup = *changes.accessGroup;
            if (changes.data)
                item.data = *changes.data;
        }
        return changed > 0;
    });
    if (error)
        return error;
    return changed;
}

Result<std::size_t> Keychain::remove(const KeychainQuery& query) {
    std::size_t removed = 0;
    ErrorPtr error = store()->transact([&](std::vector<KeychainItem>& items) {
        auto end = std::remove_if(items.begin(), items.end(),
                                  [&](const KeychainItem& item) { return query.matches(item); });
        removed = static_cast<std::size_t>(items.end() - end);
        items.erase(end, items.end());
        return removed > 0;
    });
    if (error)
        return error;
    return removed;
}

}  // namespace quarra
