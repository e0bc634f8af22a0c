#include "platform/SecretServiceKeychainStore.h"

#include <libsecret/secret.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <map>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/FileLock.h"
#include "platform/Files.h"

namespace quarra {
namespace {

constexpr const char* kSecretsBusName = "org.freedesktop.secrets";

// The attributes of every item; "keychain" scopes a host's items, "sequence" keeps the order in
// which items were added (the service answers searches in no particular order).
const SecretSchema kSchema = {
    "net.skelwyn.Keychain",
    SECRET_SCHEMA_NONE,
    {
        {"keychain", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"accessGroup", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"generic", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"label", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"description", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"sequence", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object)
            g_object_unref(object);
    }
};
template <class T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct TableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Table = std::unique_ptr<GHashTable, TableUnref>;

struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using Value = std::unique_ptr<SecretValue, ValueUnref>;

ErrorPtr keyringFailure(KeychainErrorCode code, std::string description, GError* gerror = nullptr) {
    GErrorPtr owned(gerror);
    ErrorPtr underlying =
        gerror ? Error::make("quarra.secret-service", gerror->code, std::string(gerror->message))
               : nullptr;
    return Error::make(KeychainErrorDomain, code, description, std::move(underlying));
}

Table newTable() {
    return Table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
}

void put(GHashTable* table, const char* key, const std::string& value) {
    g_hash_table_insert(table, g_strdup(key), g_strdup(value.c_str()));
}

std::string get(GHashTable* table, const char* key) {
    auto value = static_cast<const char*>(g_hash_table_lookup(table, key));
    return value ? value : "";
}

// Without an address GLib would try to launch a bus of its own.
bool sessionBusNamed() {
    const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    return (address && *address) ||
           (runtime && *runtime &&
            std::filesystem::exists(std::filesystem::path(runtime) / "bus", ec));
}

ErrorPtr unavailable(const char* why, GError* gerror = nullptr) {
    return keyringFailure(KeychainReadFailedError,
                          std::string("The keyring is unavailable: ") + why, gerror);
}

// The session bus singleton that libsecret shares. GLib would end the whole process when the bus
// goes away; a host must outlive its desktop session's keyring, so that is turned off.
GDBusConnection* sessionBus(GError** error) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
    if (bus)
        g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

// The one unlock prompt of the process. A prompt can stay open as long as its user likes, and
// cancelling one is not dependable, so callers wait for it up to their time-out and then give up
// on it: it goes on in the background, and later callers wait on the same prompt instead of
// opening another.
class UnlockPrompt {
  public:
    // True once the collection is unlocked; false when the prompt was refused or is still open
    // after `timeout`.
    static bool unlock(SecretService* service, SecretCollection* collection,
                       std::chrono::milliseconds timeout) {
        // Never destroyed: a keychain read on another thread may still wait on it at exit.
        static std::mutex mutex;
        static std::shared_ptr<UnlockPrompt>& open = *new std::shared_ptr<UnlockPrompt>();
        std::shared_ptr<UnlockPrompt> prompt;
        {
            std::lock_guard lock(mutex);
            if (!open) {
                open = std::make_shared<UnlockPrompt>();
                std::thread([prompt = open,
                             service = GRef<SecretService>(SECRET_SERVICE(g_object_ref(service))),
                             collection = GRef<SecretCollection>(
                                 SECRET_COLLECTION(g_object_ref(collection)))] {
                    GList* objects = g_list_append(nullptr, collection.get());
                    GError* error = nullptr;
                    gint count = secret_service_unlock_sync(service.get(), objects, nullptr,
                                                            nullptr, &error);
                    g_list_free(objects);
                    g_clear_error(&error);
                    {
                        std::lock_guard lock(mutex);
                        open.reset();
                    }
                    std::lock_guard lock(prompt->mutex_);
                    prompt->done_ = true;
                    prompt->unlocked_ = count > 0;
                    prompt->cv_.notify_all();
                }).detach();
            }
            prompt = open;
        }
        std::unique_lock lock(prompt->mutex_);
        return prompt->cv_.wait_for(lock, timeout, [&] { return prompt->done_; }) &&
               prompt->unlocked_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    bool unlocked_ = false;
};

struct Stored {
    KeychainItem item;
    GRef<SecretItem> secretItem;
    std::uint64_t sequence = 0;
};

using Identity = std::tuple<std::string, std::string, std::string>;
Identity identityOf(const KeychainItem& item) {
    return {item.service, item.account, item.accessGroup};
}

std::uint64_t parseSequence(const std::string& text) {
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// What the service holds of one keychain, with the objects to change it through.
struct Snapshot {
    GRef<SecretCollection> collection;
    std::map<Identity, Stored> stored;
    std::vector<Stored> stale;  // older copies of an item, deleted at the next write
};

struct ReadFailure {
    ErrorPtr error;
    // Worth one more try over a fresh connection: not an answer of the person's.
    bool retry = true;
};

ReadFailure readKeyring(const std::string& keychainName, std::chrono::milliseconds unlockTimeout,
                        Snapshot& snapshot) {
    GError* error = nullptr;
    GRef<GDBusConnection> bus(sessionBus(&error));
    if (!bus)
        return {unavailable("the session bus cannot be reached.", error)};
    GRef<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error));
    if (!service)
        return {unavailable("the Secret Service does not answer.", error)};
    snapshot.collection.reset(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error));
    if (!snapshot.collection) {
        return {keyringFailure(KeychainReadFailedError, "The keyring has no default collection.",
                               error)};
    }
    // Refused, dismissed, failed or unanswered: the collection stays locked and nothing in it can
    // be read, which is no answer to whether an item exists.
    if (secret_collection_get_locked(snapshot.collection.get()) &&
        !UnlockPrompt::unlock(service.get(), snapshot.collection.get(), unlockTimeout)) {
        return {keyringFailure(KeychainReadFailedError, "The keyring is locked."), false};
    }

    Table attributes = newTable();
    put(attributes.get(), "keychain", keychainName);
    GList* found = secret_service_search_sync(
        service.get(), &kSchema, attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
        &error);
    if (error)
        return {keyringFailure(KeychainReadFailedError, "The keyring cannot be searched.", error)};
    std::vector<GRef<SecretItem>> items;
    for (GList* node = found; node; node = node->next)
        items.emplace_back(static_cast<SecretItem*>(node->data));  // takes the list's reference
    g_list_free(found);
    for (auto& secretItem : items) {
        if (secret_item_get_locked(secretItem.get()))
            return {keyringFailure(KeychainReadFailedError, "The keyring is locked.")};
        Value value(secret_item_get_secret(secretItem.get()));
        if (!value)
            return {keyringFailure(KeychainReadFailedError, "A keyring secret cannot be loaded.")};
        Table itemAttributes(secret_item_get_attributes(secretItem.get()));
        Stored entry;
        entry.item.service = get(itemAttributes.get(), "service");
        entry.item.account = get(itemAttributes.get(), "account");
        entry.item.accessGroup = get(itemAttributes.get(), "accessGroup");
        entry.item.generic = get(itemAttributes.get(), "generic");
        entry.item.label = get(itemAttributes.get(), "label");
        entry.item.description = get(itemAttributes.get(), "description");
        entry.sequence = parseSequence(get(itemAttributes.get(), "sequence"));
        gsize length = 0;
        auto bytes = reinterpret_cast<const std::uint8_t*>(secret_value_get(value.get(), &length));
        entry.item.data.assign(bytes, bytes + length);
        entry.secretItem = std::move(secretItem);
        // Two items with one identity (left by a crash between writing and deleting): the later
        // one is the newer write.
        Identity identity = identityOf(entry.item);
        auto it = snapshot.stored.find(identity);
        if (it == snapshot.stored.end()) {
            snapshot.stored.emplace(identity, std::move(entry));
        } else if (it->second.sequence < entry.sequence) {
            snapshot.stale.push_back(std::exchange(it->second, std::move(entry)));
        } else {
            snapshot.stale.push_back(std::move(entry));
        }
    }
    return {};
}

// Hands the items to `change` and writes back what it changed: new and changed items before removed
// ones are deleted, so a failure half-way never loses an item that was meant to stay. `marker` is
// recorded (once, `marked`) before anything the service holds is used.
ErrorPtr writeBack(Snapshot& snapshot, const std::string& keychainName,
                   const std::filesystem::path& marker, bool& marked,
                   const std::function<bool(std::vector<KeychainItem>&)>& change) {
    GError* error = nullptr;
    std::map<Identity, Stored>& stored = snapshot.stored;
    std::vector<Stored>& stale = snapshot.stale;
    std::vector<const Stored*> ordered;
    for (const auto& [identity, entry] : stored)
        ordered.push_back(&entry);
    std::sort(ordered.begin(), ordered.end(),
              [](const Stored* a, const Stored* b) { return a->sequence < b->sequence; });
    std::vector<KeychainItem> items;
    std::uint64_t nextSequence = 1;
    for (const Stored* entry : ordered) {
        items.push_back(entry->item);
        nextSequence = std::max(nextSequence, entry->sequence + 1);
    }
    // Recorded once the service has answered, and before anything it holds is used or anything
    // is written to it.
    if (!marker.empty() && !marked) {
        std::error_code ec;
        if (!std::filesystem::exists(marker, ec)) {
            if (ErrorPtr failure = files::writeAtomically(marker, "secret-service\n", 0600)) {
                return Error::make(KeychainErrorDomain, KeychainReadFailedError,
                                   "The keychain's place cannot be recorded.", failure);
            }
        }
        marked = true;
    }
    if (!change(items))
        return {};

    std::map<Identity, const KeychainItem*> kept;
    for (const KeychainItem& item : items) {
        Identity identity = identityOf(item);
        kept[identity] = &item;
        auto it = stored.find(identity);
        if (it != stored.end() && it->second.item == item)
            continue;
        Table attributes = newTable();
        put(attributes.get(), "keychain", keychainName);
        put(attributes.get(), "service", item.service);
        put(attributes.get(), "account", item.account);
        put(attributes.get(), "accessGroup", item.accessGroup);
        put(attributes.get(), "generic", item.generic);
        put(attributes.get(), "label", item.label);
        put(attributes.get(), "description", item.description);
        const std::string& shown = item.label.empty() ? item.service : item.label;
        Value value(secret_value_new(reinterpret_cast<const gchar*>(item.data.data()),
                                     static_cast<gssize>(item.data.size()),
                                     "application/octet-stream"));
        bool written;
        if (it != stored.end()) {
            SecretItem* secretItem = it->second.secretItem.get();
            put(attributes.get(), "sequence", std::to_string(it->second.sequence));
            written = secret_item_set_secret_sync(secretItem, value.get(), nullptr, &error) &&
                      secret_item_set_attributes_sync(secretItem, &kSchema, attributes.get(),
                                                      nullptr, &error) &&
                      secret_item_set_label_sync(secretItem, shown.c_str(), nullptr, &error);
        } else {
            put(attributes.get(), "sequence", std::to_string(nextSequence++));
            GRef<SecretItem> created(secret_item_create_sync(
                snapshot.collection.get(), &kSchema, attributes.get(), shown.c_str(), value.get(),
                SECRET_ITEM_CREATE_NONE, nullptr, &error));
            written = created != nullptr;
        }
        if (!written)
            return keyringFailure(KeychainWriteFailedError, "The keyring cannot be written.",
                                  error);
    }
    for (auto& [identity, entry] : stored) {
        if (!kept.count(identity))
            stale.push_back(std::move(entry));
    }
    for (const Stored& entry : stale) {
        if (!secret_item_delete_sync(entry.secretItem.get(), nullptr, &error))
            return keyringFailure(KeychainWriteFailedError, "The keyring cannot be written.",
                                  error);
    }
    return {};
}

}  // namespace

SecretServiceKeychainStore::SecretServiceKeychainStore(std::string keychainName,
                                                       std::filesystem::path lockFile,
                                                       std::chrono::milliseconds lockTimeout,
                                                       std::chrono::milliseconds unlockTimeout,
                                                       std::filesystem::path marker)
    : keychainName_(std::move(keychainName)),
      lockFile_(std::move(lockFile)),
      lockTimeout_(lockTimeout),
      unlockTimeout_(unlockTimeout),
      marker_(std::move(marker)) {}

bool SecretServiceKeychainStore::available() {
    if (!sessionBusNamed())
        return false;
    GError* error = nullptr;
    GRef<GDBusConnection> bus(sessionBus(&error));
    if (!bus) {
        g_error_free(error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", kSecretsBusName), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (!reply) {
        g_error_free(error);
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

ErrorPtr SecretServiceKeychainStore::transact(
    const std::function<bool(std::vector<KeychainItem>&)>& change) {
    std::lock_guard guard(mutex_);
    if (ErrorPtr error = files::createDirectories(lockFile_.parent_path(), 0700)) {
        return Error::make(KeychainErrorDomain, KeychainReadFailedError,
                           "The keychain folder cannot be created.", error);
    }
    FileLock lock;
    if (ErrorPtr error = lock.acquire(lockFile_, lockTimeout_)) {
        return Error::make(KeychainErrorDomain, KeychainReadFailedError, "The keychain is locked.",
                           error);
    }

    if (!sessionBusNamed())
        return unavailable("there is no session bus.");
    // The service's connection is cached process-wide and outlives a keyring daemon that was
    // restarted: a call that fails drops it, and a read is tried once more over a fresh one. A
    // prompt the person refused or left open is not asked again.
    Snapshot snapshot;
    ReadFailure failure = readKeyring(keychainName_, unlockTimeout_, snapshot);
    if (failure.error) {
        secret_service_disconnect();
        if (!failure.retry)
            return failure.error;
        snapshot = Snapshot();
        failure = readKeyring(keychainName_, unlockTimeout_, snapshot);
        if (failure.error) {
            secret_service_disconnect();
            return failure.error;
        }
    }
    ErrorPtr written = writeBack(snapshot, keychainName_, marker_, marked_, change);
    if (written)
        secret_service_disconnect();
    return written;
}

}  // namespace quarra
