#include "quarra/TVKQuarraCrypt.h"

#include "storage/crypt/TVKCryptStream.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {

TVKQuarraCrypt& TVKQuarraCrypt::sharedInstance() {
    static TVKQuarraCrypt* instance = new TVKQuarraCrypt();
    return *instance;
}

void TVKQuarraCrypt::encryptFileAtPath(const std::filesystem::path& path, const Json& attributes,
                                       Handler handler) {
    TVKQuarraCryptManager::sharedInstance().encryptFileAtPath(path, attributes, std::move(handler));
}

ErrorPtr TVKQuarraCrypt::createEncryptedFileAtPath(const std::filesystem::path& path,
                                                   std::optional<ByteView> contents,
                                                   const Json& attributes) {
    return TVKQuarraCryptManager::sharedInstance().createEncryptedFileAtPath(path, contents,
                                                                             attributes);
}

InputStreamPtr TVKQuarraCrypt::streamFromEncryptedFileAtPath(const std::filesystem::path& path) {
    return TVKQuarraCryptManager::sharedInstance().streamFromEncryptedFileAtPath(path);
}

Result<Bytes> TVKQuarraCrypt::decryptContentsAtPath(const std::filesystem::path& path) {
    return TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(path);
}

}  // namespace quarra
