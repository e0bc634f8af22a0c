#include "quarra/Bundle.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <cctype>
#include <stdexcept>

#include "platform/Files.h"
#include "quarra/Result.h"

namespace quarra {
namespace {

std::string environment(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

// A JSON object from a file or text; an empty object when missing or malformed, since a broken
// resource must not stop the host.
Json objectFromText(const Result<std::string>& text) {
    if (!text)
        return Json::object();
    Json value = parseJson(*text).valueOr(Json());
    return value.is_object() ? std::move(value) : Json::object();
}

std::string executableName() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("host") : exe.filename().string();
}

void checkIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find('/') != std::string::npos || identifier.find('\0') != std::string::npos) {
        throw std::invalid_argument("bundle identifier is not a valid folder name: " + identifier);
    }
}

// The SDK's own resources: QUARRA_SDK_RESOURCES when set; for an installed shared library, the
// resources installed beside it (so an installed tree still works after being moved); otherwise
// where the library was built to find them.
std::string sdkResources() {
    std::string path = environment("QUARRA_SDK_RESOURCES");
    if (!path.empty())
        return path;
#ifdef QUARRA_SDK_RESOURCES_FROM_LIBRARY
    Dl_info library{};
    if (dladdr(reinterpret_cast<void*>(&sdkResources), &library) && library.dli_fname) {
        std::error_code ec;
        auto beside = std::filesystem::path(library.dli_fname).parent_path() /
                      QUARRA_SDK_RESOURCES_FROM_LIBRARY;
        if (std::filesystem::is_directory(beside, ec))
            return beside.lexically_normal().string();
    }
#endif
    return QUARRA_SDK_RESOURCES;
}

}  // namespace

Bundle& Bundle::main() {
    static Bundle* instance = [] {
        std::string info = environment("QUARRA_HOST_INFO");
        Json overrides = info.empty() ? Json::object() : objectFromText(info);
        return new Bundle(environment("QUARRA_HOST_RESOURCES"),
                          environment("QUARRA_HOST_BUNDLE_ID"), std::move(overrides));
    }();
    return *instance;
}

Bundle& Bundle::sdk() {
    static Bundle* instance = [] {
        std::string info = environment("QUARRA_SDK_INFO");
        return new Bundle(sdkResources(), {}, info.empty() ? Json::object() : objectFromText(info));
    }();
    return *instance;
}

void Bundle::setMainBundle(std::string identifier, Json info, std::filesystem::path resourcePath) {
    checkIdentifier(identifier);
    main().load(std::move(resourcePath), std::move(identifier), std::move(info));
}

Bundle::Bundle(std::filesystem::path resourcePath, std::string identifier, Json infoOverrides) {
    load(std::move(resourcePath), std::move(identifier), std::move(infoOverrides));
}

void Bundle::load(std::filesystem::path resourcePath, std::string identifier, Json infoOverrides) {
    Json info = resourcePath.empty() ? Json::object()
                                     : objectFromText(files::read(resourcePath / "Info.json"));
    if (infoOverrides.is_object())
        info.update(infoOverrides);
    if (!identifier.empty())
        info[BundleIdentifierKey] = identifier;
    identifier = jsonString(info, BundleIdentifierKey);
    if (identifier.empty()) {
        identifier = "local." + executableName();
        info[BundleIdentifierKey] = identifier;
    }
    checkIdentifier(identifier);
    if (!info.contains(BundleExecutableKey))
        info[BundleExecutableKey] = executableName();

    std::lock_guard lock(mutex_);
    resourcePath_ = std::move(resourcePath);
    identifier_ = std::move(identifier);
    info_ = std::move(info);
    tables_.clear();
}

std::string Bundle::bundleIdentifier() const {
    std::lock_guard lock(mutex_);
    return identifier_;
}

Json Bundle::infoDictionary() const {
    std::lock_guard lock(mutex_);
    return info_;
}

Json Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = info_.find(key);
    return it == info_.end() ? Json() : *it;
}

std::filesystem::path Bundle::resourcePath() const {
    std::lock_guard lock(mutex_);
    return resourcePath_;
}

const Json& Bundle::tableLocked(const std::string& table) const {
    auto it = tables_.find(table);
    if (it != tables_.end())
        return it->second;
    Json merged = Json::object();
    if (!resourcePath_.empty()) {
        const std::string file = table + ".strings.json";
        merged = objectFromText(files::read(resourcePath_ / file));
        // "de_DE.UTF-8" -> "de": a translation overrides the base table entry by entry.
        std::string language = environment("LANG").substr(0, 2);
        bool isLanguage = language.size() == 2 &&
                          std::islower(static_cast<unsigned char>(language[0])) &&
                          std::islower(static_cast<unsigned char>(language[1]));
        if (isLanguage && language != "en") {
            merged.update(objectFromText(files::read(resourcePath_ / language / file)));
        }
    }
    return tables_.emplace(table, std::move(merged)).first->second;
}

std::string Bundle::localizedString(const std::string& key, std::string_view value,
                                    const std::string& table) const {
    std::lock_guard lock(mutex_);
    std::string text = jsonString(tableLocked(table), key);
    if (!text.empty())
        return text;
    return value.empty() ? key : std::string(value);
}

}  // namespace quarra
