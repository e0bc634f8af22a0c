#pragma once
// Encryption at rest for the host: encrypt its own files with the signed-in user's key, write
// encrypted files from bytes, read them back, and stream them decrypted. Every call is the crypt
// manager's, unchanged: the same results, errors (TVKCryptographyErrorDomain -1 to -5 and the
// format's errors beneath them) and threads. Files it writes are readable by the rest of the SDK.
// Safe to call from any thread.
#include "quarra/TVKCryptStream.h"
#include "quarra/TVKQuarraCryptManager.h"

namespace quarra {

class TVKQuarraCrypt {
  public:
    static TVKQuarraCrypt& sharedInstance() {
        static TVKQuarraCrypt* instance = new TVKQuarraCrypt();
        return *instance;
    }
    TVKQuarraCrypt(const TVKQuarraCrypt&) = delete;
    TVKQuarraCrypt& operator=(const TVKQuarraCrypt&) = delete;

    // Replaces the plain file at `path` by its encrypted form; `handler` runs on the main queue.
    void encryptFileAtPath(const std::filesystem::path& path, const Json& attributes,
                           TVKQuarraCryptManager::Handler handler) {
        TVKQuarraCryptManager::sharedInstance().encryptFileAtPath(path, attributes,
                                                                  std::move(handler));
    }
    [[nodiscard]] ErrorPtr createEncryptedFileAtPath(const std::filesystem::path& path,
                                                     std::optional<ByteView> contents,
                                                     const Json& attributes) {
        return TVKQuarraCryptManager::sharedInstance().createEncryptedFileAtPath(path, contents,
                                                                                 attributes);
    }
    // A new, unopened stream that decrypts the file as it is read.
    std::shared_ptr<TVKCryptStream> streamFromEncryptedFileAtPath(
        const std::filesystem::path& path) {
        return TVKQuarraCryptManager::sharedInstance().streamFromEncryptedFileAtPath(path);
    }
    Result<Bytes> decryptContentsAtPath(const std::filesystem::path& path) {
        return TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(path);
    }

  private:
    TVKQuarraCrypt() = default;
};

}  // namespace quarra
