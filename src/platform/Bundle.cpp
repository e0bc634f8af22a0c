#include "quarra/Bundle.h"

#include <stdlib.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>

#include "platform/EmbeddedResources.h"
#include "platform/Files.h"
#include "quarra/Result.h"

namespace quarra {
namespace {

std::string environment(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

// A JSON object from a text; an empty object when the text is no JSON object.
Json objectFromText(const std::string& text) {
    Json value = parseJson(text).valueOr(Json());
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
        Json overrides = info.empty() ? Json::object() : objectFromText(info);
        std::string folder = environment("QUARRA_SDK_RESOURCES");
        if (!folder.empty())
            return new Bundle(folder, {}, std::move(overrides));
        return new Bundle(BuiltIn{}, std::move(overrides));
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

Bundle::Bundle(BuiltIn, Json infoOverrides) : builtIn_(true) {
    load({}, {}, std::move(infoOverrides));
}

void Bundle::load(std::filesystem::path resourcePath, std::string identifier, Json infoOverrides) {
    std::lock_guard lock(mutex_);
    resourcePath_ = std::move(resourcePath);
    resourceError_ = nullptr;
    tables_.clear();
    // A host without resources of its own is fine; a folder that was named must hold them.
    Json info =
        (builtIn_ || !resourcePath_.empty()) ? objectLocked("Info.json", true) : Json::object();
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
    identifier_ = std::move(identifier);
    info_ = std::move(info);
}

Result<std::string> Bundle::readLocked(std::string_view name) const {
    if (!builtIn_) {
        if (resourcePath_.empty())
            return posixError(ENOENT, name);
        return files::read(resourcePath_ / name);
    }
    for (const EmbeddedResource& resource : embeddedResources()) {
        if (resource.name == name)
            return std::string(resource.data);
    }
    return posixError(ENOENT, name);
}

// The object in resource `name`; a missing resource is an empty object unless `required`, and the
// first thing wrong is kept as the bundle's resource error.
Json Bundle::objectLocked(std::string_view name, bool required) const {
    auto text = readLocked(name);
    ErrorPtr error;
    Json value = Json::object();
    if (!text) {
        if (required || !text.error()->is(PosixErrorDomain, ENOENT))
            error = text.error();
    } else if (auto parsed = parseJson(*text); !parsed || !parsed->is_object()) {
        error = Error::make(
            PosixErrorDomain, EINVAL,
            std::string(name) + " of " + resourcePath_.string() + " is not a JSON object");
    } else {
        value = std::move(*parsed);
    }
    if (error && !resourceError_)
        resourceError_ = std::move(error);
    return value;
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

Result<std::string> Bundle::resourceData(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return readLocked(name);
}

std::vector<std::string> Bundle::resourceNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    if (builtIn_) {
        for (const EmbeddedResource& resource : embeddedResources()) {
            if (resource.name.find('/') == std::string_view::npos)
                names.emplace_back(resource.name);
        }
        return names;
    }
    std::error_code ec;
    if (resourcePath_.empty())
        return names;
    for (const auto& entry : std::filesystem::directory_iterator(resourcePath_, ec)) {
        if (entry.is_regular_file(ec))
            names.push_back(entry.path().filename().string());
    }
    return names;
}

ErrorPtr Bundle::resourceError() const {
    std::lock_guard lock(mutex_);
    // The tables are read when first used; a broken one counts as soon as the bundle is asked.
    tableLocked("Localizable");
    return resourceError_;
}

void Bundle::addInfoValues(const Json& values) {
    if (!values.is_object())
        return;
    std::lock_guard lock(mutex_);
    info_.update(values);
}

const Json& Bundle::tableLocked(const std::string& table) const {
    auto it = tables_.find(table);
    if (it != tables_.end())
        return it->second;
    const std::string file = table + ".strings.json";
    Json merged = objectLocked(file, false);
    // "de_DE.UTF-8" -> "de": a translation overrides the base table entry by entry.
    std::string language = environment("LANG").substr(0, 2);
    bool isLanguage = language.size() == 2 &&
                      std::islower(static_cast<unsigned char>(language[0])) &&
                      std::islower(static_cast<unsigned char>(language[1]));
    if (isLanguage && language != "en")
        merged.update(objectLocked(language + "/" + file, false));
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
