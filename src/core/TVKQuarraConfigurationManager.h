#pragma once
// The SDK's identifiers and its on-disk layout under the host's application-support folder:
//     <application support>/<frameworkId>/{users,uploads,downloads,logs,cache}
// with per-user folders users/<name> (the archived user "auth_user", "thumbnails") and
// cache/<name> (the cache databases and file store). Also the start-up of the SDK.
//
// User names become folder names: a name that would leave its folder ("", ".", "..", "/" or NUL
// inside) is refused with TVKInvalidUsernameErrorCode instead of being used.
// Every member is safe to call from any thread.
#include <atomic>
#include <filesystem>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Error.h"
#include "platform/FileLock.h"
#include "platform/KeyedArchiver.h"
#include "quarra/Result.h"
#include "quarra/TVKErrors.h"

namespace quarra {

class TVKQuarra;
class TVKUserInternal;

class TVKQuarraConfigurationManager {
  public:
    static TVKQuarraConfigurationManager& sharedInstance();

    // Computes the identifiers, wipes the SDK's keychain items on the first launch after an
    // install, and creates the users, uploads, downloads and logs folders. The SDK uses
    // sharedInstance(); a separate object serves tests of a second launch.
    TVKQuarraConfigurationManager();
    TVKQuarraConfigurationManager(const TVKQuarraConfigurationManager&) = delete;
    TVKQuarraConfigurationManager& operator=(const TVKQuarraConfigurationManager&) = delete;

    // Start-up: the logging facade, the signed-in user restored, the passcode manager; then
    // isSDKInitialized() turns true.
    void initializeSDK();

    // The SDK bundle's identifier.
    const std::string& frameworkId() const { return frameworkId_; }
    // "<host bundle identifier>-<frameworkId>": the prefix of every keychain item of the SDK.
    const std::string& keychainIdentifierRoot() const { return keychainIdentifierRoot_; }
    bool isSDKInitialized() const { return initialized_; }

    // Folders; none of these creates anything.
    std::filesystem::path applicationDataDirectory() const;
    std::filesystem::path uploadsDirectory() const;
    std::filesystem::path downloadsDirectory() const;
    // "logs" under the application-data folder, or under Documents when the host's info value
    // "com.tovik.log.use_documents_dir" is true (read at every call).
    std::filesystem::path logDirectory() const;
    std::filesystem::path usersDirectory() const;
    std::filesystem::path cacheDirectory() const;

    // Per-user paths; the error for a refused name. `createIfNeeded` creates the folders named;
    // creation failures are ignored, as later file operations report them.
    Result<std::filesystem::path> subdirectory(const std::string& subdirectory,
                                               const std::string& username,
                                               bool createIfNeeded) const;
    Result<std::filesystem::path> thumbnailsDirectoryForUsername(const std::string& username,
                                                                 bool createIfNeeded) const;
    // Never creates anything.
    Result<std::filesystem::path> thumbnailURLForImageName(const std::string& imageName,
                                                           const std::string& username) const;
    Result<std::filesystem::path> cacheDirectoryForUsername(const std::string& username,
                                                            bool createIfNeeded) const;
    // cache/<user>/quarra<Id>_cache.db; the flag creates the user's cache folder, never the file.
    Result<std::filesystem::path> cacheDatabaseFileForQuarra(const TVKQuarra& quarra,
                                                             const std::string& username,
                                                             bool createIfNeeded) const;
    Result<std::filesystem::path> cacheFileStoreDirectoryForUsername(const std::string& username,
                                                                     bool createIfNeeded) const;

    // Creates a folder (with its parents) at `path` when nothing is there; returns `path`.
    std::filesystem::path createFileWithDirectoriesAtURL(const std::filesystem::path& path) const;
    void createDirectoryIfNeeded(const std::filesystem::path& path) const;

    // The names of the users folder's entries, in listing order; nothing when it is empty or
    // cannot be listed (which is logged).
    std::optional<std::vector<std::string>> usernames() const;
    // The user name stored in the keychain.
    std::optional<std::string> currentUsername() const;

    // The user archive users/<name>/auth_user.
    [[nodiscard]] ErrorPtr writeUser(const TVKUserInternal& user,
                                     const std::string& username) const;
    // Null when there is no archive; the error when it is unreadable, corrupt or of another kind.
    Result<std::shared_ptr<TVKUserInternal>> readUserForUsername(const std::string& username) const;
    // Removes the archive only (thumbnails and caches stay).
    [[nodiscard]] ErrorPtr deleteTransientInfoForUsername(const std::string& username) const;

    [[nodiscard]] ErrorPtr writeObject(const Coding& object, const std::string& fileName,
                                       const std::string& username) const;
    // The archived root object, if it is of one of `allowed`; null when there is no such file.
    Result<std::shared_ptr<Coding>> readObjectWithFileName(
        const std::string& fileName, const std::string& username,
        const std::vector<KeyedUnarchiver::AllowedClass>& allowed) const;

    // The file whose presence says the new-install wipe has been done for this install.
    std::filesystem::path installMarkerFile() const;
    // The file whose presence says a new install's wipe is decided but has not succeeded yet.
    std::filesystem::path wipePendingMarkerFile() const;

    // Whether this process runs the host's background transfers, their records and every sweep
    // of the SDK's folders. Processes of one host share the data folder, and one at a time does
    // this: the first to ask takes an advisory lock on a file in the SDK's data folder and holds
    // it for its life. Another process is told no, and may ask again (at its next transfer call)
    // to take over once that one has ended.
    bool claimTransferOwnership();

  private:
    void clearKeychainItemsIfNewInstall(bool dataDirectoryExisted);
    void initFileSystem() const;

    std::string frameworkId_;
    std::string keychainIdentifierRoot_;
    std::atomic<bool> initialized_{false};
    std::mutex ownershipMutex_;
    FileLock ownershipLock_;
};

}  // namespace quarra
