#pragma once
// Keyed archiving as a JSON document. Objects record their class name and their values under keys;
// decoding names the classes it allows, checks every object against them and checks the type of
// every value, so a corrupt or foreign archive gives an error, never a crash or a half-typed
// object.
//
// Document: {"$archiver": "KeyedArchiver", "$version": 1, "$root": <object>}, an object being
// {"$class": "<name>", "<key>": <value>, ...}. Strings, numbers and booleans are stored as
// themselves; bytes as {"$class": "$data", "base64": ...}; URLs as {"$class": "$url", "string":
// ...}; plain JSON containers as {"$class": "$json", "value": ...}; arrays of objects as arrays.
//
// A class takes part by deriving from Coding and offering, for decoding,
//     static constexpr const char* ArchiveClassName = "...";
//     static std::shared_ptr<T> initWithCoder(KeyedUnarchiver& coder);   // null to refuse
// Archivers and unarchivers are used by one thread at a time; the class-name map is thread-safe.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Bytes.h"
#include "quarra/Coding.h"
#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"
#include "quarra/Url.h"

namespace quarra {

class KeyedArchiver;
class KeyedUnarchiver;

// Domain of decoding errors.
inline constexpr const char* KeyedArchiveErrorDomain = "quarra.keyed_archive";
enum KeyedArchiveErrorCode : long {
    KeyedArchiveCorrupt = 1,      // not an archive, or a value of the wrong type
    KeyedArchiveClassNotAllowed,  // an object of a class the caller did not allow
    KeyedArchiveRefused,          // a class refused its values
    KeyedArchiveUnreadable,       // the file could not be read
};

// Larger archive files are refused unread: no SDK object graph comes near.
inline constexpr std::uintmax_t MaxArchiveFileSize = 64u << 20;

class KeyedArchiver {
  public:
    KeyedArchiver() = default;
    KeyedArchiver(const KeyedArchiver&) = delete;
    KeyedArchiver& operator=(const KeyedArchiver&) = delete;

    static Json archivedDocument(const Coding& root);
    static std::string archivedData(const Coding& root);
    // Writes the archive atomically, replacing `file`. Null on success.
    [[nodiscard]] static ErrorPtr archiveRootObject(const Coding& root, const std::filesystem::path& file);

    // A null object encodes nothing.
    void encodeObject(const Coding* object, const std::string& key);
    void encodeObject(const std::shared_ptr<const Coding>& object, const std::string& key) {
        encodeObject(object.get(), key);
    }
    template <class T>
    void encodeObjects(const std::vector<std::shared_ptr<T>>& objects, const std::string& key) {
        std::vector<const Coding*> raw;
        for (const auto& object : objects)
            raw.push_back(object.get());
        encodeObjectList(raw, key);
    }
    void encodeString(const std::string& value, const std::string& key);
    void encodeBool(bool value, const std::string& key);
    void encodeInt64(std::int64_t value, const std::string& key);
    void encodeUInt64(std::uint64_t value, const std::string& key);
    void encodeDouble(double value, const std::string& key);
    void encodeBytes(const Bytes& value, const std::string& key);
    void encodeUrl(const Url& value, const std::string& key);
    // Any JSON value (dictionaries of strings, lists, numbers); null encodes nothing.
    void encodeJson(const Json& value, const std::string& key);

  private:
    Json encodeNested(const Coding& object);
    void encodeObjectList(const std::vector<const Coding*>& objects, const std::string& key);

    Json* current_ = nullptr;
};

class KeyedUnarchiver {
  public:
    using Factory = std::function<std::shared_ptr<Coding>(KeyedUnarchiver&)>;
    struct AllowedClass {
        std::string name;
        Factory make;
    };
    template <class T>
    static AllowedClass allow() {
        return {T::ArchiveClassName, [](KeyedUnarchiver& coder) -> std::shared_ptr<Coding> {
                    return T::initWithCoder(coder);
                }};
    }

    // From now on, objects archived as `archivedName` decode as the class named `className`
    // (legacy names of renamed classes), for every unarchiver.
    static void setClassForClassName(const std::string& className, const std::string& archivedName);

    KeyedUnarchiver(Json document, std::vector<AllowedClass> allowed);
    KeyedUnarchiver(const KeyedUnarchiver&) = delete;
    KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

    // Like setClassForClassName, for this unarchiver only.
    void setClass(const std::string& className, const std::string& archivedName);

    // The root object (never null), when it and everything inside decoded and it is a T.
    template <class T>
    Result<std::shared_ptr<T>> decodeRoot() {
        std::shared_ptr<T> root = checkedCast<T>(decodeRootObject(), "root");
        if (error_)
            return error_;
        return root;
    }

    // One-call forms.
    template <class T>
    static Result<std::shared_ptr<T>> unarchivedObject(Json document,
                                                       std::vector<AllowedClass> allowed) {
        KeyedUnarchiver coder(std::move(document), std::move(allowed));
        return coder.decodeRoot<T>();
    }
    // Reads and parses `file` (unreadable: KeyedArchiveUnreadable; not JSON, nested deeper than
    // JsonMaxDepth or larger than MaxArchiveFileSize: KeyedArchiveCorrupt).
    static Result<Json> readDocument(const std::filesystem::path& file);

    // --- For initWithCoder: a missing key gives nothing without error; a value of another type
    // gives nothing and fails the whole decoding.
    bool containsValueForKey(const std::string& key) const;
    std::optional<std::string> decodeString(const std::string& key);
    std::optional<bool> decodeBool(const std::string& key);
    std::optional<std::int64_t> decodeInt64(const std::string& key);
    std::optional<std::uint64_t> decodeUInt64(const std::string& key);
    std::optional<double> decodeDouble(const std::string& key);
    std::optional<Bytes> decodeBytes(const std::string& key);
    std::optional<Url> decodeUrl(const std::string& key);
    std::optional<Json> decodeJson(const std::string& key);
    template <class T>
    std::shared_ptr<T> decodeObject(const std::string& key) {
        return checkedCast<T>(decodeAnyObject(key), key);
    }
    template <class T>
    std::optional<std::vector<std::shared_ptr<T>>> decodeObjects(const std::string& key) {
        auto list = decodeObjectList(key);
        if (!list)
            return std::nullopt;
        std::vector<std::shared_ptr<T>> out;
        for (auto& object : *list) {
            auto typed = checkedCast<T>(object, key);
            if (!typed)
                return std::nullopt;
            out.push_back(std::move(typed));
        }
        return out;
    }
    // A class rejects what it read (the decoding fails with KeyedArchiveRefused).
    void failWithError(ErrorPtr error);
    ErrorPtr error() const { return error_; }

  private:
    template <class T>
    std::shared_ptr<T> checkedCast(const std::shared_ptr<Coding>& object, const std::string& key) {
        if (!object)
            return nullptr;
        auto typed = std::dynamic_pointer_cast<T>(object);
        if (!typed)
            fail(KeyedArchiveCorrupt, "unexpected class of value for key \"" + key + "\"");
        return typed;
    }
    std::shared_ptr<Coding> decodeRootObject();
    std::shared_ptr<Coding> decodeAnyObject(const std::string& key);
    std::optional<std::vector<std::shared_ptr<Coding>>> decodeObjectList(const std::string& key);
    std::shared_ptr<Coding> decodeNested(const Json& value, const std::string& key);
    const Json* find(const std::string& key) const;
    const Json* wrapped(const std::string& key, const char* kind, const char* field);
    void fail(long code, const std::string& description);

    Json document_;
    std::vector<AllowedClass> allowed_;
    std::map<std::string, std::string> classNames_;
    const Json* current_ = nullptr;
    int depth_ = 0;
    ErrorPtr error_;
};

}  // namespace quarra
