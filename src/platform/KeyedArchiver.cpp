#include "platform/KeyedArchiver.h"

#include <limits>
#include <mutex>

#include "platform/Base64.h"
#include "platform/Files.h"
#include "quarra/Result.h"

namespace quarra {
namespace {

constexpr const char* kClassKey = "$class";
constexpr const char* kArchiverName = "KeyedArchiver";
// Deeper nesting than any SDK object graph: a guard against hostile documents, not a real limit.
constexpr int kMaxDepth = 64;

std::mutex& globalMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

std::map<std::string, std::string>& globalClassNames() {
    static auto* names = new std::map<std::string, std::string>();
    return *names;
}

Json wrap(const char* kind, const char* field, Json value) {
    return {{kClassKey, kind}, {field, std::move(value)}};
}

}  // namespace

// --- Archiver

Json KeyedArchiver::archivedDocument(const Coding& root) {
    KeyedArchiver coder;
    return {{"$archiver", kArchiverName}, {"$version", 1}, {"$root", coder.encodeNested(root)}};
}

std::string KeyedArchiver::archivedData(const Coding& root) {
    return archivedDocument(root).dump();
}

ErrorPtr KeyedArchiver::archiveRootObject(const Coding& root, const std::filesystem::path& file) {
    return files::writeAtomically(file, archivedData(root), 0600);
}

Json KeyedArchiver::encodeNested(const Coding& object) {
    Json encoded = {{kClassKey, object.archiveClassName()}};
    Json* outer = current_;
    current_ = &encoded;
    object.encodeWithCoder(*this);
    current_ = outer;
    return encoded;
}

void KeyedArchiver::encodeObject(const Coding* object, const std::string& key) {
    if (object)
        (*current_)[key] = encodeNested(*object);
}

void KeyedArchiver::encodeObjectList(const std::vector<const Coding*>& objects,
                                     const std::string& key) {
    Json list = Json::array();
    for (const Coding* object : objects) {
        if (object)
            list.push_back(encodeNested(*object));
    }
    (*current_)[key] = std::move(list);
}

void KeyedArchiver::encodeString(const std::string& value, const std::string& key) {
    (*current_)[key] = value;
}
void KeyedArchiver::encodeBool(bool value, const std::string& key) {
    (*current_)[key] = value;
}
void KeyedArchiver::encodeInt64(std::int64_t value, const std::string& key) {
    (*current_)[key] = value;
}
void KeyedArchiver::encodeUInt64(std::uint64_t value, const std::string& key) {
    (*current_)[key] = value;
}
void KeyedArchiver::encodeDouble(double value, const std::string& key) {
    (*current_)[key] = value;
}
void KeyedArchiver::encodeBytes(const Bytes& value, const std::string& key) {
    (*current_)[key] = wrap("$data", "base64", base64Encode(value));
}
void KeyedArchiver::encodeUrl(const Url& value, const std::string& key) {
    (*current_)[key] = wrap("$url", "string", value.string());
}
void KeyedArchiver::encodeJson(const Json& value, const std::string& key) {
    if (value.is_null())
        return;
    (*current_)[key] = value.is_structured() ? wrap("$json", "value", value) : value;
}

// --- Unarchiver

void KeyedUnarchiver::setClassForClassName(const std::string& className,
                                           const std::string& archivedName) {
    std::lock_guard lock(globalMutex());
    globalClassNames()[archivedName] = className;
}

KeyedUnarchiver::KeyedUnarchiver(Json document, std::vector<AllowedClass> allowed)
    : document_(std::move(document)), allowed_(std::move(allowed)) {
    std::lock_guard lock(globalMutex());
    classNames_ = globalClassNames();
}

void KeyedUnarchiver::setClass(const std::string& className, const std::string& archivedName) {
    classNames_[archivedName] = className;
}

Result<Json> KeyedUnarchiver::readDocument(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::file_size(file, ec) > MaxArchiveFileSize && !ec) {
        return Error::make(KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
                           "The archive is larger than any archive the SDK writes.");
    }
    auto text = files::read(file);
    if (!text) {
        return Error::make(KeyedArchiveErrorDomain, KeyedArchiveUnreadable,
                           "The archive cannot be read.", text.error());
    }
    auto document = parseJson(*text);
    if (!document) {
        return Error::make(
            KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
            "The archive is not valid JSON: " + document.error()->localizedDescription(),
            document.error());
    }
    return std::move(*document);
}

void KeyedUnarchiver::fail(long code, const std::string& description) {
    if (!error_)
        error_ = Error::make(KeyedArchiveErrorDomain, code, description);
}

void KeyedUnarchiver::failWithError(ErrorPtr error) {
    if (!error_) {
        error_ = Error::make(KeyedArchiveErrorDomain, KeyedArchiveRefused,
                             "The archive holds values that cannot be used.", std::move(error));
    }
}

std::shared_ptr<Coding> KeyedUnarchiver::decodeRootObject() {
    if (!document_.is_object() || jsonString(document_, "$archiver") != kArchiverName ||
        !document_.contains("$root")) {
        fail(KeyedArchiveCorrupt, "The data is not a keyed archive.");
        return nullptr;
    }
    auto root = decodeNested(document_["$root"], "$root");
    if (!root)
        fail(KeyedArchiveCorrupt, "The archive has no root object.");
    return root;
}

std::shared_ptr<Coding> KeyedUnarchiver::decodeNested(const Json& value, const std::string& key) {
    if (error_)
        return nullptr;
    std::string name = value.is_object() ? jsonString(value, kClassKey) : std::string();
    if (name.empty()) {
        fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not an object.");
        return nullptr;
    }
    if (auto mapped = classNames_.find(name); mapped != classNames_.end())
        name = mapped->second;
    const AllowedClass* cls = nullptr;
    for (const auto& candidate : allowed_) {
        if (candidate.name == name)
            cls = &candidate;
    }
    if (!cls) {
        fail(KeyedArchiveClassNotAllowed,
             "The archive holds an object of class \"" + name + "\", which is not allowed here.");
        return nullptr;
    }
    if (depth_ >= kMaxDepth) {
        fail(KeyedArchiveCorrupt, "The archive nests objects too deeply.");
        return nullptr;
    }
    const Json* outer = current_;
    current_ = &value;
    ++depth_;
    std::shared_ptr<Coding> object = cls->make(*this);
    --depth_;
    current_ = outer;
    if (!object)
        failWithError(nullptr);
    return error_ ? nullptr : object;
}

const Json* KeyedUnarchiver::find(const std::string& key) const {
    if (!current_ || error_)
        return nullptr;
    auto it = current_->find(key);
    return it == current_->end() || it->is_null() ? nullptr : &*it;
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const {
    return find(key) != nullptr;
}

std::shared_ptr<Coding> KeyedUnarchiver::decodeAnyObject(const std::string& key) {
    const Json* value = find(key);
    return value ? decodeNested(*value, key) : nullptr;
}

std::optional<std::vector<std::shared_ptr<Coding>>> KeyedUnarchiver::decodeObjectList(
    const std::string& key) {
    const Json* value = find(key);
    if (!value)
        return std::nullopt;
    if (!value->is_array()) {
        fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not a list.");
        return std::nullopt;
    }
    std::vector<std::shared_ptr<Coding>> list;
    for (const Json& element : *value) {
        auto object = decodeNested(element, key);
        if (!object)
            return std::nullopt;
        list.push_back(std::move(object));
    }
    return list;
}

std::optional<std::string> KeyedUnarchiver::decodeString(const std::string& key) {
    const Json* value = find(key);
    if (!value)
        return std::nullopt;
    if (!value->is_string()) {
        fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not a string.");
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<bool> KeyedUnarchiver::decodeBool(const std::string& key) {
    const Json* value = find(key);
    if (!value)
        return std::nullopt;
    if (!value->is_boolean()) {
        fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not a boolean.");
        return std::nullopt;
    }
    return value->get<bool>();
}

std::optional<std::int64_t> KeyedUnarchiver::decodeInt64(const std::string& key) {
    const Json* value = find(key);
    if (!value)
        return std::nullopt;
    if (value->is_number_unsigned() &&
        value->get<std::uint64_t>() <=
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(value->get<std::uint64_t>());
    }
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return value->get<std::int64_t>();
    }
    fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not a signed 64-bit integer.");
    return std::nullopt;
}

std::optional<std::uint64_t> KeyedUnarchiver::decodeUInt64(const std::string& key) {
    const Json* value = find(key);
    if (!value)
        return std::nullopt;
    if (value->is_number_unsigned())
        return value->get<std::uint64_t>();
    if (value->is_number_integer() && value->get<std::int64_t>() >= 0) {
        return static_cast<std::uint64_t>(value->get<std::int64_t>());
    }
    fail(KeyedArchiveCorrupt,
         "The value for key \"" + key + "\" is not an unsigned 64-bit integer.");
    return std::nullopt;
}

std::optional<double> KeyedUnarchiver::decodeDouble(const std::string& key) {
    const Json* value = find(key);
    if (!value)
        return std::nullopt;
    if (!value->is_number()) {
        fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not a number.");
        return std::nullopt;
    }
    return value->get<double>();
}

const Json* KeyedUnarchiver::wrapped(const std::string& key, const char* kind, const char* field) {
    const Json* value = find(key);
    if (!value)
        return nullptr;
    if (value->is_object() && jsonString(*value, kClassKey) == kind && value->contains(field)) {
        return &(*value)[field];
    }
    fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not of kind " + kind + ".");
    return nullptr;
}

std::optional<Bytes> KeyedUnarchiver::decodeBytes(const std::string& key) {
    const Json* text = wrapped(key, "$data", "base64");
    if (!text)
        return std::nullopt;
    std::optional<Bytes> bytes =
        text->is_string() ? base64Decode(text->get<std::string>()) : std::nullopt;
    if (!bytes)
        fail(KeyedArchiveCorrupt, "The bytes for key \"" + key + "\" are not Base64.");
    return bytes;
}

std::optional<Url> KeyedUnarchiver::decodeUrl(const std::string& key) {
    const Json* text = wrapped(key, "$url", "string");
    if (!text)
        return std::nullopt;
    std::optional<Url> url =
        text->is_string() ? Url::parse(text->get<std::string>()) : std::nullopt;
    if (!url)
        fail(KeyedArchiveCorrupt, "The value for key \"" + key + "\" is not a URL.");
    return url;
}

std::optional<Json> KeyedUnarchiver::decodeJson(const std::string& key) {
    const Json* value = find(key);
    if (!value)
        return std::nullopt;
    if (!value->is_structured())
        return *value;
    const Json* inner = wrapped(key, "$json", "value");
    if (!inner)
        return std::nullopt;
    return *inner;
}

}  // namespace quarra
