#pragma once
// Encryption at rest for the host: encrypt its own files with the signed-in user's key, write
// encrypted files from bytes, read them back, and stream them decrypted. Every call is the crypt
// manager's, unchanged: the same results, errors (TVKCryptographyErrorDomain -1 to -5 and the
// format's errors beneath them) and threads. Files it writes are readable by the rest of the SDK.
// Safe to call from any thread.
#include <filesystem>
#include <functional>
#include <optional>
#include <span>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/InputStream.h"
#include "quarra/Json.h"
#include "quarra/Result.h"

namespace quarra {

class TVKQuarraCrypt {
  public:
    // The outcome of an encryption; null error on success.
    using Handler = std::function<void(ErrorPtr error)>;

    static TVKQuarraCrypt& sharedInstance();
    TVKQuarraCrypt(const TVKQuarraCrypt&) = delete;
    TVKQuarraCrypt& operator=(const TVKQuarraCrypt&) = delete;

    // Replaces the plain file at `path` by its encrypted form; `handler` runs on the main queue.
    void encryptFileAtPath(const std::filesystem::path& path, const Json& attributes,
                           Handler handler);
    [[nodiscard]] ErrorPtr createEncryptedFileAtPath(
        const std::filesystem::path& path, std::optional<std::span<const std::uint8_t>> contents,
        const Json& attributes);
    // A new, unopened stream that decrypts the file as it is read. It is bound to the user signed
    // in when it is opened; reads fail once another user (or nobody) is signed in.
    InputStreamPtr streamFromEncryptedFileAtPath(const std::filesystem::path& path);
    Result<Bytes> decryptContentsAtPath(const std::filesystem::path& path);

  private:
    TVKQuarraCrypt() = default;
};

}  // namespace quarra
