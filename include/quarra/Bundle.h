#pragma once
// Bundles: the host program (Bundle::main()) and the SDK (Bundle::sdk()), each with an identifier,
// an info dictionary and a resource folder holding its string tables.
//
// The host names itself once, before the SDK starts:
//     Bundle::setMainBundle("com.example.notes", {{"com.tovik.PasscodeEnabled", true}});
// or, without code, through the environment (read at the first use of Bundle::main()):
//     QUARRA_HOST_BUNDLE_ID   the bundle identifier
//     QUARRA_HOST_RESOURCES   a folder with Info.json and the string tables
//     QUARRA_HOST_INFO        a JSON object whose keys are laid over Info.json
// Without either, the identifier is "local." followed by the executable's name.
//
// String tables are JSON objects in "<resources>/<table>.strings.json" (a translation for the
// language of $LANG may sit in "<resources>/<language>/<table>.strings.json"), mapping the English
// text to the text to show. Every member is safe to call from any thread.
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"

namespace quarra {

// Info dictionary keys every bundle answers.
inline constexpr const char* BundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* BundleExecutableKey = "CFBundleExecutable";
inline constexpr const char* BundleShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* BundleVersionKey = "CFBundleVersion";

class Bundle {
  public:
    static Bundle& main();
    // The SDK's own bundle: the resources compiled into the library, or the folder the environment
    // variable QUARRA_SDK_RESOURCES names instead (all of them: a file missing there is missing).
    // QUARRA_SDK_INFO, a JSON object, is laid over its Info.json, e.g. to point
    // "com.tovik.QuarraUrl" at a local test server.
    static Bundle& sdk();

    // Names the host. `identifier` must be usable as a folder name (no "/", not "." or "..");
    // std::invalid_argument otherwise. `info` keys are laid over the resource folder's Info.json.
    static void setMainBundle(std::string identifier, Json info = Json::object(),
                              std::filesystem::path resourcePath = {});

    explicit Bundle(std::filesystem::path resourcePath, std::string identifier = {},
                    Json infoOverrides = Json::object());
    Bundle(const Bundle&) = delete;
    Bundle& operator=(const Bundle&) = delete;

    std::string bundleIdentifier() const;
    // Always an object.
    Json infoDictionary() const;
    // The value under `key`, null when missing.
    Json objectForInfoDictionaryKey(std::string_view key) const;
    // Empty for resources compiled into the library.
    std::filesystem::path resourcePath() const;
    // The resource `name` ("rsa_public_key.der"); an error of PosixErrorDomain with ENOENT when
    // there is none, another when it could not be read.
    Result<std::string> resourceData(std::string_view name) const;
    // The names of the resources at the top of the bundle.
    std::vector<std::string> resourceNames() const;
    // Why the bundle's resources cannot be used (a folder without a readable Info.json, an
    // Info.json or string table that is not a JSON object); null when they can.
    ErrorPtr resourceError() const;
    // Lays `values` over the info dictionary, as QUARRA_SDK_INFO does. Values read before are not
    // read again, so this belongs before anything else uses the bundle.
    void addInfoValues(const Json& values);

    // The text for `key` in `table`; when the table has none, `value` unless it is empty, else
    // `key`.
    std::string localizedString(const std::string& key, std::string_view value = {},
                                const std::string& table = "Localizable") const;

  private:
    struct BuiltIn {};
    Bundle(BuiltIn, Json infoOverrides);
    void load(std::filesystem::path resourcePath, std::string identifier, Json infoOverrides);
    Result<std::string> readLocked(std::string_view name) const;
    Json objectLocked(std::string_view name, bool required) const;
    const Json& tableLocked(const std::string& table) const;

    mutable std::mutex mutex_;
    // Resources come from the library itself, not from a folder.
    bool builtIn_ = false;
    std::filesystem::path resourcePath_;
    mutable ErrorPtr resourceError_;
    std::string identifier_;
    Json info_;
    mutable std::map<std::string, Json> tables_;
};

}  // namespace quarra
