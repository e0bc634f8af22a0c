#include "platform/Keychain.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "quarra/Dispatch.h"

#include "platform/Base64.h"
#include "quarra/Bundle.h"
#include "platform/Directories.h"
#include "platform/FileLock.h"
#include "quarra/Files.h"
#include "quarra/Json.h"
#include "platform/SecretServiceKeychainStore.h"

namespace quarra {

ErrorPtr KeychainResult::failure() const {
    if (ok())
        return nullptr;
    return error ? error
                 : Error::make(KeychainErrorDomain, static_cast<long>(status),
                               "The keychain refused the operation.");
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

KeychainResult failure(KeychainStatus status, std::string description,
                       ErrorPtr underlying = nullptr) {
    return {status, Error::make(KeychainErrorDomain, static_cast<long>(status), description,
                                std::move(underlying))};
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
    Json document = parseJson(text).value_or(Json());
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

KeychainResult FileKeychainStore::transact(
    const std::function<bool(std::vector<KeychainItem>&)>& change) {
    std::lock_guard guard(mutex_);
    const auto folder = file_.parent_path();
    if (ErrorPtr error = files::createDirectories(folder, 0700)) {
        return failure(KeychainStatus::ReadFailed, "The keychain folder cannot be created.", error);
    }
    ::chmod(folder.c_str(), 0700);  // the folder may predate us with wider bits
    FileLock lock;
    if (ErrorPtr error = lock.acquire(file_.string() + ".lock", lockTimeout_)) {
        return failure(KeychainStatus::ReadFailed, "The keychain is locked.", error);
    }
    std::vector<KeychainItem> items;
    ErrorPtr readError;
    if (auto text = files::read(file_, &readError)) {
        auto parsed = parseItems(*text);
        if (!parsed)
            return failure(KeychainStatus::ReadFailed, "The keychain file is corrupt.");
        items = std::move(*parsed);
    } else if (readError->code() != ENOENT) {
        return failure(KeychainStatus::ReadFailed, "The keychain cannot be read.", readError);
    }
    if (!change(items))
        return {};
    Json list = Json::array();
    for (const auto& item : items)
        list.push_back(toJson(item));
    Json document = {{"version", 1}, {"items", std::move(list)}};
    ErrorPtr error = files::writeAtomically(file_, document.dump(1), 0600);
    // Counted also when the write failed: the file may have changed all the same.
    writeCount().fetch_add(1, std::memory_order_acq_rel);
    if (error) {
        return failure(KeychainStatus::WriteFailed, "The keychain cannot be written.", error);
    }
    return {};
}

Keychain& Keychain::standard() {
    static Keychain* instance = new Keychain(standardStore());
    return *instance;
}

std::shared_ptr<KeychainStore> Keychain::standardStore() {
    const std::string host = Bundle::main().bundleIdentifier();
    const auto file = dataHomeDirectory() / "keychains" / (host + ".json");
    const char* forced = getenv("QUARRA_KEYCHAIN");
    std::string_view choice = forced ? forced : "";
    if (!choice.empty() && choice != "file" && choice != "secret-service") {
        fprintf(stderr, "QUARRA_KEYCHAIN=%s is neither \"file\" nor \"secret-service\"\n", forced);
        choice = "";
    }
    if (choice == "secret-service" || (choice.empty() && SecretServiceKeychainStore::available())) {
        return std::make_shared<SecretServiceKeychainStore>(host, file.string() + ".lock");
    }
    return std::make_shared<FileKeychainStore>(file);
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

KeychainResult Keychain::add(const KeychainItem& item) {
    bool duplicate = false;
    KeychainResult result = store()->transact([&](std::vector<KeychainItem>& items) {
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
    if (result.ok() && duplicate)
        result.status = KeychainStatus::DuplicateItem;
    return result;
}

KeychainResult Keychain::copyMatching(const KeychainQuery& query, KeychainItem* item) {
    std::vector<KeychainItem> found;
    KeychainResult result = copyAllMatching(query, &found);
    if (result.ok() && item)
        *item = std::move(found.front());
    return result;
}

KeychainResult Keychain::copyAllMatching(const KeychainQuery& query,
                                         std::vector<KeychainItem>* items) {
    std::vector<KeychainItem> found;
    KeychainResult result = store()->transact([&](std::vector<KeychainItem>& stored) {
        for (const auto& item : stored) {
            if (query.matches(item))
                found.push_back(item);
        }
        return false;
    });
    if (result.ok() && found.empty())
        result.status = KeychainStatus::ItemNotFound;
    if (items)
        *items = std::move(found);
    return result;
}

KeychainResult Keychain::update(const KeychainQuery& query, const KeychainChanges& changes) {
    bool any = false;
    KeychainResult result = store()->transact([&](std::vector<KeychainItem>& items) {
        for (auto& item : items) {
            if (!query.matches(item))
                continue;
            any = true;
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
        return any;
    });
    if (result.ok() && !any)
        result.status = KeychainStatus::ItemNotFound;
    return result;
}

KeychainResult Keychain::remove(const KeychainQuery& query) {
    bool any = false;
    KeychainResult result = store()->transact([&](std::vector<KeychainItem>& items) {
        auto end = std::remove_if(items.begin(), items.end(),
                                  [&](const KeychainItem& item) { return query.matches(item); });
        any = end != items.end();
        items.erase(end, items.end());
        return any;
    });
    if (result.ok() && !any)
        result.status = KeychainStatus::ItemNotFound;
    return result;
}

}  // namespace quarra
