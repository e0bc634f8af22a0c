#include "core/TVKQuarraConfigurationManager.h"

#include <stdio.h>

#include <cctype>
#include <cerrno>

#include "auth/KeychainItemStore.h"
#include "auth/TVKPasscodeManager.h"
#include "quarra/TVKQuarra.h"
#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUserInternal.h"
#include "quarra/TVKErrors.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "platform/Directories.h"
#include "platform/Files.h"
#include "platform/Keychain.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUserArchiveFileName = "auth_user";

// A name used as one path component must stay inside its folder.
ErrorPtr checkPathComponent(const std::string& name, const char* what) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
        return Error::make(TVKQuarraErrorDomain, TVKInvalidUsernameErrorCode,
                           std::string("The ") + what + " \"" + name +
                               "\" cannot be used as a folder or file name.");
    }
    return nullptr;
}

// What the host's info value reads as: a boolean, a number, or a text such as "YES" or "true".
bool infoValueIsTrue(const Json& value) {
    if (value.is_boolean())
        return value.get<bool>();
    if (value.is_number())
        return value.get<double>() != 0;
    if (!value.is_string())
        return false;
    const auto& text = value.get_ref<const std::string&>();
    auto first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos)
        return false;
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[first])));
    return c == 'y' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace

TVKQuarraConfigurationManager& TVKQuarraConfigurationManager::sharedInstance() {
    static TVKQuarraConfigurationManager* instance = new TVKQuarraConfigurationManager();
    return *instance;
}

TVKQuarraConfigurationManager::TVKQuarraConfigurationManager()
    : frameworkId_(Bundle::sdk().bundleIdentifier()),
      keychainIdentifierRoot_(Bundle::main().bundleIdentifier() + "-" + frameworkId_) {
    // The users' files are encrypted with keys in the keychain, which must not start afresh while
    // they are there.
    Keychain::setDependentData({usersDirectory()});
    std::error_code ec;
    bool existed = fs::exists(applicationDataDirectory(), ec);
    initFileSystem();
    clearKeychainItemsIfNewInstall(existed);
}

void TVKQuarraConfigurationManager::initFileSystem() const {
    for (const auto& folder :
         {usersDirectory(), uploadsDirectory(), downloadsDirectory(), logDirectory()}) {
        createDirectoryIfNeeded(folder);
    }
}

// The keychain outlives an uninstall, so a new install must not inherit the SDK's old secrets. It
// is keyed on a marker written once the folders exist: a folder that cannot be created must never
// wipe at every launch (which would destroy the users' file keys), and an install whose folders
// predate the marker is an upgrade, not a new install.
//
// The "installed" marker is written only once the wipe has succeeded. Until then a "wipe pending"
// marker carries the decision across launches: a wipe refused by a locked keyring is retried at the
// next launch instead of leaving an old install's secrets behind, even though the folders made by
// this launch would otherwise read as an upgrade. Nothing is logged: the logger is not up yet.
void TVKQuarraConfigurationManager::clearKeychainItemsIfNewInstall(bool dataDirectoryExisted) {
    std::error_code ec;
    if (!fs::is_directory(applicationDataDirectory(), ec) || fs::exists(installMarkerFile(), ec)) {
        return;
    }
    const bool wipePending = fs::exists(wipePendingMarkerFile(), ec);
    if (dataDirectoryExisted && !wipePending) {
        // An upgrade; a marker that cannot be written is simply tried again next launch.
        [[maybe_unused]] ErrorPtr notMarked = files::writeAtomically(installMarkerFile(), "");
        return;
    }
    // Without a pending marker on disk a failure below could not be told from an upgrade.
    if (!wipePending && files::writeAtomically(wipePendingMarkerFile(), ""))
        return;
    if (KeychainItemStore::resetKeychainForNewInstall(frameworkId_, keychainIdentifierRoot_))
        return;
    if (files::writeAtomically(installMarkerFile(), ""))
        return;
    fs::remove(wipePendingMarkerFile(), ec);
}

void TVKQuarraConfigurationManager::initializeSDK() {
    TVKQuarraLoggerInternal::sharedInstance();
    // Evaluating the message also creates the session manager.
    TVK_LOG_DEBUG("Set authDNS to: " + TVKQuarraAuthManager::sharedInstance().authDNS());
    TVKQuarraAuthManager::sharedInstance().initAuthenticationState();
    TVKPasscodeManager::sharedInstance();
    initialized_ = true;
}

bool TVKQuarraConfigurationManager::claimTransferOwnership() {
    std::lock_guard lock(ownershipMutex_);
    if (ownershipLock_.held())
        return true;
    // A folder that cannot be made leaves the lock unheld: this process then touches nothing.
    (void)files::createDirectories(applicationDataDirectory(), 0700);
    return !ownershipLock_.acquire(applicationDataDirectory() / ".transfers-owner.lock",
                                   std::chrono::milliseconds(0));
}

fs::path TVKQuarraConfigurationManager::applicationDataDirectory() const {
    return applicationSupportDirectory() / frameworkId_;
}
fs::path TVKQuarraConfigurationManager::uploadsDirectory() const {
    return applicationDataDirectory() / "uploads";
}
fs::path TVKQuarraConfigurationManager::downloadsDirectory() const {
    return applicationDataDirectory() / "downloads";
}
fs::path TVKQuarraConfigurationManager::usersDirectory() const {
    return applicationDataDirectory() / "users";
}
fs::path TVKQuarraConfigurationManager::cacheDirectory() const {
    return applicationDataDirectory() / "cache";
}
fs::path TVKQuarraConfigurationManager::installMarkerFile() const {
    return applicationDataDirectory() / ".installed";
}
fs::path TVKQuarraConfigurationManager::wipePendingMarkerFile() const {
    return applicationDataDirectory() / ".keychain-wipe-pending";
}

fs::path TVKQuarraConfigurationManager::logDirectory() const {
    bool useDocuments = infoValueIsTrue(
        Bundle::main().objectForInfoDictionaryKey("com.tovik.log.use_documents_dir"));
    return (useDocuments ? documentsDirectory() : applicationDataDirectory()) / "logs";
}

Result<fs::path> TVKQuarraConfigurationManager::subdirectory(const std::string& subdirectory,
                                                             const std::string& username,
                                                             bool createIfNeeded) const {
    ErrorPtr refused = checkPathComponent(username, "user name");
    if (!refused)
        refused = checkPathComponent(subdirectory, "folder name");
    if (refused)
        return refused;
    fs::path path = usersDirectory() / username / subdirectory;
    if (createIfNeeded)
        createDirectoryIfNeeded(path);
    return path;
}

Result<fs::path> TVKQuarraConfigurationManager::thumbnailsDirectoryForUsername(
    const std::string& username, bool createIfNeeded) const {
    return subdirectory("thumbnails", username, createIfNeeded);
}

Result<fs::path> TVKQuarraConfigurationManager::thumbnailURLForImageName(
    const std::string& imageName, const std::string& username) const {
    auto folder = thumbnailsDirectoryForUsername(username, false);
    if (!folder)
        return folder;
    if (ErrorPtr refused = checkPathComponent(imageName, "image name"))
        return refused;
    return *folder / imageName;
}

Result<fs::path> TVKQuarraConfigurationManager::cacheDirectoryForUsername(
    const std::string& username, bool createIfNeeded) const {
    if (ErrorPtr refused = checkPathComponent(username, "user name"))
        return refused;
    fs::path path = cacheDirectory() / username;
    if (createIfNeeded)
        createDirectoryIfNeeded(path);
    return path;
}

Result<fs::path> TVKQuarraConfigurationManager::cacheDatabaseFileForQuarra(
    const TVKQuarra& quarra, const std::string& username, bool createIfNeeded) const {
    auto folder = cacheDirectoryForUsername(username, createIfNeeded);
    if (!folder)
        return folder;
    return *folder / ("quarra" + std::to_string(quarra.Id()) + "_cache.db");
}

Result<fs::path> TVKQuarraConfigurationManager::cacheFileStoreDirectoryForUsername(
    const std::string& username, bool createIfNeeded) const {
    auto folder = cacheDirectoryForUsername(username, createIfNeeded);
    if (!folder)
        return folder;
    fs::path path = *folder / "cache_file_store";
    if (createIfNeeded)
        createDirectoryIfNeeded(path);
    return path;
}

fs::path TVKQuarraConfigurationManager::createFileWithDirectoriesAtURL(const fs::path& path) const {
    std::error_code ec;
    // The callers want the path either way; whoever opens a file in it meets the failure. (Not
    // logged: this runs while the configuration, which the logger needs, is being made.)
    if (!fs::exists(fs::symlink_status(path, ec)))
        (void)files::createDirectories(path);
    return path;
}

void TVKQuarraConfigurationManager::createDirectoryIfNeeded(const fs::path& path) const {
    createFileWithDirectoriesAtURL(path);
}

std::optional<std::vector<std::string>> TVKQuarraConfigurationManager::usernames() const {
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(usersDirectory(), ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        TVK_LOG_ERROR("Unexpected error reading contents of users directory:" + ec.message());
        return std::nullopt;
    }
    if (names.empty())
        return std::nullopt;
    return names;
}

std::optional<std::string> TVKQuarraConfigurationManager::currentUsername() const {
    // A keychain that cannot be read names nobody: callers that must tell the two apart read
    // KeychainItemStore::getUsername() themselves.
    return KeychainItemStore::getUsername().valueOr(std::nullopt);
}

ErrorPtr TVKQuarraConfigurationManager::writeObject(const Coding& object,
                                                    const std::string& fileName,
                                                    const std::string& username) const {
    ErrorPtr failure = checkPathComponent(username, "user name");
    if (!failure)
        failure = checkPathComponent(fileName, "file name");
    if (!failure) {
        fs::path userFolder = usersDirectory() / username;
        failure = files::createDirectories(userFolder);
        if (!failure)
            failure = KeyedArchiver::archiveRootObject(object, userFolder / fileName);
    }
    return failure;
}

Result<std::shared_ptr<Coding>> TVKQuarraConfigurationManager::readObjectWithFileName(
    const std::string& fileName, const std::string& username,
    const std::vector<KeyedUnarchiver::AllowedClass>& allowed) const {
    ErrorPtr refused = checkPathComponent(username, "user name");
    if (!refused)
        refused = checkPathComponent(fileName, "file name");
    if (refused)
        return refused;
    fs::path file = usersDirectory() / username / fileName;
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        TVK_LOG_WARNING("WARNING: attempting to read data that does not exist on disk");
        return std::shared_ptr<Coding>();
    }
    auto document = KeyedUnarchiver::readDocument(file);
    if (!document)
        return document.error();
    KeyedUnarchiver coder(std::move(*document), allowed);
    return coder.decodeRoot<Coding>();
}

ErrorPtr TVKQuarraConfigurationManager::writeUser(const TVKUserInternal& user,
                                                  const std::string& username) const {
    return writeObject(user, kUserArchiveFileName, username);
}

Result<std::shared_ptr<TVKUserInternal>> TVKQuarraConfigurationManager::readUserForUsername(
    const std::string& username) const {
    KeyedUnarchiver::setClassForClassName(TVKQuarra::ArchiveClassName,
                                          TVKQuarra::LegacyArchiveClassName);
    auto object =
        readObjectWithFileName(kUserArchiveFileName, username, TVKUserInternal::archiveClasses());
    if (!object)
        return object.error();
    auto user = std::dynamic_pointer_cast<TVKUserInternal>(*object);
    if (*object && !user) {
        return Error::make(KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
                           "The user archive holds no user.");
    }
    return user;
}

ErrorPtr TVKQuarraConfigurationManager::deleteTransientInfoForUsername(
    const std::string& username) const {
    ErrorPtr failure = checkPathComponent(username, "user name");
    if (!failure) {
        fs::path file = usersDirectory() / username / kUserArchiveFileName;
        if (::remove(file.c_str()) != 0)
            failure = posixError(errno, "cannot remove " + file.string());
    }
    return failure;
}

}  // namespace quarra
