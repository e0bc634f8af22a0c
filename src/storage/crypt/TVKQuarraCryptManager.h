#pragma once
// The SDK's one entry to encryption at rest. With the signed-in user's file-encryption key as
// password it encrypts and decrypts files in the encrypted data format: streaming from one file
// into another, in place, from bytes into a file and from a file into bytes; it hands out crypt
// streams for uploads, creates each user's key after sign-in and serves it to the cache databases,
// and encrypts user names with the SDK's RSA public key (the resource "rsa_public_key.der").
//
// Every operation looks the signed-in user and the key up afresh. Errors are in
// TVKCryptographyErrorDomain: -1 no key for the signed-in user (a keychain that could not be read
// is the underlying error), -2 nobody signed in, -3 encryption failed or nothing to encrypt, -4
// decryption failed or nothing to decrypt, -5 a bad path or a file that cannot be read or written.
// Format errors (HMAC mismatch ...) are the underlying errors of -3 and -4.
//
// Every member is safe to call from any thread. Handlers of the asynchronous operations run on the
// main queue.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "quarra/Json.h"
#include "storage/crypt/FCCryptorFormat.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace quarra {

class TVKCryptStream;

class TVKQuarraCryptManager {
  public:
    using Handler = std::function<void(ErrorPtr error)>;

    static TVKQuarraCryptManager& sharedInstance();

    TVKQuarraCryptManager(const TVKQuarraCryptManager&) = delete;
    TVKQuarraCryptManager& operator=(const TVKQuarraCryptManager&) = delete;

    // --- Keys
    // Creates and stores a key for the user unless one is stored. A keychain that cannot be read
    // is never taken for a missing key: then nothing is written and the read error returned. Null
    // when the user has a key afterwards.
    [[nodiscard]] ErrorPtr generateFileEncryptionKeyForUsernameIfNeeded(
        const std::string& username);
    // The signed-in user's key; -2 when nobody is signed in, -1 when there is no key.
    Result<std::string> getFileEncryptionKey() const;
    Result<std::string> getDatabaseEncryptionKey() const;
    // The SDK's one answer to "who is signed in", for these operations, the crypt streams and the
    // caches: the session's user while the stored user name is the same; nothing otherwise.
    static std::optional<std::string> currentUsername();

    // --- Streaming copies: the source is read in 32 KiB chunks on a global queue, the output
    // replaces `path` only once complete, and the source stays as it is. A source that is empty,
    // missing, a directory or the destination itself gives -5 "Invalid file path". `attributes`
    // may hold FilePosixPermissionsKey; without it a replaced file keeps its permission bits and a
    // new one gets 0600.
    void createEncryptedFileAtPath(const std::filesystem::path& path,
                                   const std::filesystem::path& sourcePath, const Json& attributes,
                                   Handler handler);
    void createDecryptedFileAtPath(const std::filesystem::path& path,
                                   const std::filesystem::path& sourcePath, const Json& attributes,
                                   Handler handler);
    void createFileAtPath(const std::filesystem::path& path,
                          const std::filesystem::path& sourcePath, const Json& attributes,
                          bool encrypt, Handler handler);

    // Replaces the plain file at `path` by its encrypted form. The encrypted copy is written
    // beside it and synced to disk before it replaces the file, so the path holds either the
    // whole plaintext or the whole message, whatever happens. A symbolic link is followed (its
    // target is encrypted); a file with more than one hard link gives -5 "Invalid file path".
    // `attributes` as for the streaming copies.
    void encryptFileAtPath(const std::filesystem::path& path, const Json& attributes,
                           Handler handler);

    // --- Bytes to a file, on the calling thread. No contents (nullopt) gives -3 / -4 "Empty
    // contents". The file is replaced atomically; the folder must exist. `attributes` may hold
    // FilePosixPermissionsKey (default 0600). Null on success.
    [[nodiscard]] ErrorPtr createEncryptedFileAtPath(const std::filesystem::path& path,
                                                     std::optional<ByteView> contents,
                                                     const Json& attributes);
    [[nodiscard]] ErrorPtr createDecryptedFileAtPath(const std::filesystem::path& path,
                                                     std::optional<ByteView> contents,
                                                     const Json& attributes);
    [[nodiscard]] ErrorPtr createFileAtPath(const std::filesystem::path& path,
                                            std::optional<ByteView> contents,
                                            const Json& attributes, bool encrypt);

    // --- A file to bytes, on the calling thread.
    Result<Bytes> decryptContentsAtPath(const std::filesystem::path& path);
    Result<Bytes> encryptContentsAtPath(const std::filesystem::path& path);
    Result<Bytes> contentsAtPath(const std::filesystem::path& path, bool encrypted);

    // --- Streams: new, unopened streams over the file, decrypting or encrypting as they are read.
    std::shared_ptr<TVKCryptStream> streamFromEncryptedFileAtPath(
        const std::filesystem::path& path);
    std::shared_ptr<TVKCryptStream> encryptionStreamForFileAtPath(
        const std::filesystem::path& path);

    // --- User names
    // The user's encrypted user name (upper-case hex), stored in the keychain at the first call;
    // nothing when it can neither be read nor computed.
    std::optional<std::string> encryptedUsername(const std::string& username);
    // `data` encrypted with the SDK's public key, in PKCS#1 v1.5 blocks of the key's size (one
    // block per key size - 11 bytes of input, one block for empty input); differs at every call.
    // Nothing for no data or without a usable key.
    std::optional<Bytes> RSAEncryptData(std::optional<ByteView> data) const;
    // The DER bytes of the SDK's public key as read at creation; nothing when the resource is
    // missing.
    const std::optional<Bytes>& rsaPublicKey() const { return rsaPublicKey_; }

  private:
    TVKQuarraCryptManager();
    ~TVKQuarraCryptManager() = default;

    void copy(std::filesystem::path path, std::filesystem::path sourcePath, const Json& attributes,
              bool encrypt, bool inPlace, Handler handler);

    struct FreeKey {
        void operator()(EVP_PKEY* key) const;
    };
    std::optional<Bytes> rsaPublicKey_;
    std::unique_ptr<EVP_PKEY, FreeKey> rsaKey_;
};

}  // namespace quarra
