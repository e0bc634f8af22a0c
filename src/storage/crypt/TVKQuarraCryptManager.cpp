#include "storage/crypt/TVKQuarraCryptManager.h"

#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Files.h"
#include "quarra/Bundle.h"
#include "quarra/Dispatch.h"
#include "quarra/TVKErrors.h"
#include "storage/crypt/FCDecryptor.h"
#include "storage/crypt/FCEncryptor.h"
#include "storage/crypt/KeychainItemStoreCrypt.h"
#include "storage/crypt/TVKCryptFiles.h"
#include "storage/crypt/TVKCryptStream.h"
#include "platform/Hex.h"

namespace quarra {
namespace fs = std::filesystem;

namespace {

ErrorPtr cryptError(long code, const char* description = nullptr, ErrorPtr underlying = nullptr) {
    std::string text = description ? Bundle::sdk().localizedString(description) : std::string();
    return Error::make(TVKCryptographyErrorDomain, code, std::string_view(text),
                       std::move(underlying));
}

void callOnMain(const TVKQuarraCryptManager::Handler& handler, ErrorPtr error) {
    if (handler) {
        DispatchQueue::main()->async([handler, error] { handler(error); });
    }
}

// The text of the errno behind a platform file error.
int errnoOf(const ErrorPtr& error) {
    return error && error->domain() == PosixErrorDomain ? static_cast<int>(error->code()) : EIO;
}

std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Reads an RSA public key in either DER form: SubjectPublicKeyInfo or PKCS#1 RSAPublicKey.
EVP_PKEY* decodePublicKey(const Bytes& der) {
    EVP_PKEY* key = nullptr;
    OSSL_DECODER_CTX* decoder = OSSL_DECODER_CTX_new_for_pkey(
        &key, "DER", nullptr, "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr);
    const unsigned char* data = der.data();
    std::size_t size = der.size();
    if (!decoder || OSSL_DECODER_from_data(decoder, &data, &size) != 1) {
        TVK_LOG_ERROR(
            "Unexpected error from SecKeyCreateWithData:the key is not a DER-encoded RSA "
            "public key");
        key = nullptr;
    }
    OSSL_DECODER_CTX_free(decoder);
    return key;
}

}  // namespace

void TVKQuarraCryptManager::FreeKey::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

TVKQuarraCryptManager& TVKQuarraCryptManager::sharedInstance() {
    static TVKQuarraCryptManager* instance = new TVKQuarraCryptManager();
    return *instance;
}

TVKQuarraCryptManager::TVKQuarraCryptManager() {
    // Before this process starts copies of its own: what a crashed one left may be plaintext.
    cryptfiles::sweepPartialFiles();
    if (auto der = Bundle::sdk().resourceData("rsa_public_key.der")) {
        rsaPublicKey_ = Bytes(der->begin(), der->end());
        rsaKey_.reset(decodePublicKey(*rsaPublicKey_));
    }
}

// --- Keys

std::optional<std::string> TVKQuarraCryptManager::currentUsername() {
    // The session's user, and only while the stored user name is that user's: after a restore
    // that failed at start-up the name is stored but nobody is signed in, and a session whose
    // stored name was replaced no longer belongs to the keychain's user.
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (!user) {
        return std::nullopt;
    }
    auto username = TVKQuarraConfigurationManager::sharedInstance().currentUsername();
    if (!username || username->empty() || *username != user->username()) {
        return std::nullopt;
    }
    return username;
}

ErrorPtr TVKQuarraCryptManager::generateFileEncryptionKeyForUsernameIfNeeded(
    const std::string& username) {
    // Two sign-ins at once must not both find no key and store different ones: the first key
    // could already encrypt files when the second replaced it.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    auto stored = KeychainItemStoreCrypt::getFileEncryptionKeyForUsername(username);
    if (stored && *stored)
        return nullptr;
    ErrorPtr error =
        stored ? KeychainItemStoreCrypt::setFileEncryptionKeyForUsername(username) : stored.error();
    if (error) {
        TVK_LOG_ERROR("Could not make sure of a file-encryption key: " + error->description());
    }
    return error;
}

Result<std::string> TVKQuarraCryptManager::getFileEncryptionKey() const {
    auto username = currentUsername();
    if (!username) {
        return cryptError(TVKCryptographyNotSignedInErrorCode);
    }
    auto key = KeychainItemStoreCrypt::getFileEncryptionKeyForUsername(*username);
    if (!key || !*key) {
        return cryptError(TVKCryptographyNoKeyErrorCode, nullptr, key.error());
    }
    return std::move(**key);
}

Result<std::string> TVKQuarraCryptManager::getDatabaseEncryptionKey() const {
    return getFileEncryptionKey();
}

// --- Streaming copies

void TVKQuarraCryptManager::createEncryptedFileAtPath(const fs::path& path,
                                                      const fs::path& sourcePath,
                                                      const Json& attributes, Handler handler) {
    copy(path, sourcePath, attributes, true, false, std::move(handler));
}

void TVKQuarraCryptManager::createDecryptedFileAtPath(const fs::path& path,
                                                      const fs::path& sourcePath,
                                                      const Json& attributes, Handler handler) {
    copy(path, sourcePath, attributes, false, false, std::move(handler));
}

void TVKQuarraCryptManager::createFileAtPath(const fs::path& path, const fs::path& sourcePath,
                                             const Json& attributes, bool encrypt,
                                             Handler handler) {
    copy(path, sourcePath, attributes, encrypt, false, std::move(handler));
}

void TVKQuarraCryptManager::encryptFileAtPath(const fs::path& path, const Json& attributes,
                                              Handler handler) {
    copy(path, path, attributes, true, true, std::move(handler));
}

void TVKQuarraCryptManager::copy(fs::path path, fs::path sourcePath, const Json& attributes,
                                 bool encrypt, bool inPlace, Handler handler) {
    if (inPlace) {
        // The plaintext must not survive under another name: through a symbolic link the real
        // file is encrypted (the link stays), and a file with a second hard link is refused, as
        // replacing one name would leave the plaintext under the other.
        std::error_code ec;
        fs::path real = fs::canonical(path, ec);
        struct stat info;
        if (ec || ::lstat(real.c_str(), &info) != 0 ||
            (S_ISREG(info.st_mode) && info.st_nlink > 1)) {
            return callOnMain(handler,
                              cryptError(TVKCryptographyInvalidFileErrorCode, "Invalid file path"));
        }
        path = sourcePath = real;
    }
    auto opened = cryptfiles::openSource(sourcePath);
    if (!opened) {
        return callOnMain(handler, opened.error());
    }
    auto source = std::make_shared<cryptfiles::FileDescriptor>(std::move(opened).value());
    struct stat from, to;
    if (!inPlace && ::fstat(source->get(), &from) == 0 && ::stat(path.c_str(), &to) == 0 &&
        from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
        return callOnMain(handler,
                          cryptError(TVKCryptographyInvalidFileErrorCode, "Invalid file path"));
    }
    auto key = getFileEncryptionKey();
    if (!key) {
        return callOnMain(handler, key.error());
    }
    std::optional<mode_t> mode = posixPermissions(attributes);
    DispatchQueue::global()->async([=, key = std::move(*key)] {
        // In place, the file must be on disk whole before it replaces the only copy of the data.
        ErrorPtr failure = cryptfiles::copy(std::move(*source), path, key, encrypt, inPlace, mode);
        if (failure) {
            TVK_LOG_ERROR(
                "Error creating file:" + path.string() + " from file:" + sourcePath.string() +
                " encrypting:" + std::to_string(encrypt) + " error:" + failure->description());
        } else {
            TVK_LOG_DEBUG("Finished creating file:" + path.string() + " from file:" +
                          sourcePath.string() + " encrypting:" + std::to_string(encrypt));
        }
        callOnMain(handler, failure);
    });
}

// --- Bytes to a file, a file to bytes

ErrorPtr TVKQuarraCryptManager::createEncryptedFileAtPath(const fs::path& path,
                                                          std::optional<ByteView> contents,
                                                          const Json& attributes) {
    return createFileAtPath(path, contents, attributes, true);
}

ErrorPtr TVKQuarraCryptManager::createDecryptedFileAtPath(const fs::path& path,
                                                          std::optional<ByteView> contents,
                                                          const Json& attributes) {
    return createFileAtPath(path, contents, attributes, false);
}

ErrorPtr TVKQuarraCryptManager::createFileAtPath(const fs::path& path,
                                                 std::optional<ByteView> contents,
                                                 const Json& attributes, bool encrypt) {
    long failedCode = encrypt ? TVKCryptographyEncryptionFailedErrorCode
                              : TVKCryptographyDecryptionFailedErrorCode;
    if (!contents) {
        return cryptError(failedCode, "Empty contents");
    }
    auto key = getFileEncryptionKey();
    if (!key) {
        return key.error();
    }
    auto result = encrypt ? FCEncryptor::encryptData(*contents, kFCCryptorAES256Settings, *key)
                          : FCDecryptor::decryptData(*contents, *key);
    if (!result) {
        return cryptError(
            failedCode,
            encrypt ? "A data encryption error occurred" : "A data decryption error occurred",
            result.error());
    }
    mode_t mode = posixPermissions(attributes).value_or(0600);
    // Listed in the journal while it exists (by an absolute path, for a later process): a kill
    // mid-write leaves no partial copy beside the host's file past the next launch.
    std::error_code noPath;
    const fs::path target = fs::absolute(path, noPath);
    if (noPath) {
        return cryptfiles::fileError(cryptfiles::kSaveFailed, noPath.value());
    }
    AtomicFile output(target, cryptfiles::partialFileJournal());
    ErrorPtr writeError = output.error();
    if (!writeError) {
        writeError = output.write(asText(*result));
    }
    if (!writeError) {
        writeError = output.commit(mode);
    }
    if (writeError) {
        return cryptfiles::fileError(cryptfiles::kSaveFailed, errnoOf(writeError));
    }
    return nullptr;
}

Result<Bytes> TVKQuarraCryptManager::decryptContentsAtPath(const fs::path& path) {
    return contentsAtPath(path, true);
}

Result<Bytes> TVKQuarraCryptManager::encryptContentsAtPath(const fs::path& path) {
    return contentsAtPath(path, false);
}

Result<Bytes> TVKQuarraCryptManager::contentsAtPath(const fs::path& path, bool encrypted) {
    auto key = getFileEncryptionKey();
    if (!key) {
        return key.error();
    }
    auto contents = files::read(path);
    if (!contents) {
        return cryptfiles::fileError(cryptfiles::kReadFailed, errnoOf(contents.error()));
    }
    auto result =
        encrypted ? FCDecryptor::decryptData(asBytes(*contents), *key)
                  : FCEncryptor::encryptData(asBytes(*contents), kFCCryptorAES256Settings, *key);
    if (!result) {
        return encrypted ? cryptError(TVKCryptographyDecryptionFailedErrorCode,
                                      "A data decryption error occurred", result.error())
                         : cryptError(TVKCryptographyEncryptionFailedErrorCode,
                                      "A data encryption error occurred", result.error());
    }
    return result;
}

// --- Streams

std::shared_ptr<TVKCryptStream> TVKQuarraCryptManager::streamFromEncryptedFileAtPath(
    const fs::path& path) {
    return std::make_shared<TVKCryptStream>(path, false);
}

std::shared_ptr<TVKCryptStream> TVKQuarraCryptManager::encryptionStreamForFileAtPath(
    const fs::path& path) {
    return std::make_shared<TVKCryptStream>(path, true);
}

// --- User names

std::optional<std::string> TVKQuarraCryptManager::encryptedUsername(const std::string& username) {
    auto stored = KeychainItemStoreCrypt::getEncryptedUsernameForUsername(username);
    if (!stored)
        return std::nullopt;  // unreadable: never replaced by a new one
    if (*stored)
        return std::move(*stored);
    auto encrypted = RSAEncryptData(asBytes(username));
    if (!encrypted) {
        return std::nullopt;
    }
    std::string hex = hexString(*encrypted);
    if (ErrorPtr error = KeychainItemStoreCrypt::setEncryptedUsername(hex, username)) {
        // The name stays usable; the next call encrypts it again.
        TVK_LOG_ERROR("Could not store the encrypted user name: " + error->description());
    }
    return hex;
}

std::optional<Bytes> TVKQuarraCryptManager::RSAEncryptData(std::optional<ByteView> data) const {
    if (!data || !rsaKey_) {
        return std::nullopt;
    }
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_pkey(nullptr, rsaKey_.get(), nullptr), &EVP_PKEY_CTX_free);
    const std::size_t blockSize = static_cast<std::size_t>(EVP_PKEY_get_size(rsaKey_.get()));
    const std::size_t chunkSize = blockSize - 11;  // room for PKCS#1 v1.5 padding
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 || blockSize <= 11) {
        TVK_LOG_ERROR("Unexpected error from SecKeyEncrypt status=:-1");
        return std::nullopt;
    }
    Bytes result;
    ByteView rest = *data;
    do {
        ByteView chunk = rest.first(std::min(rest.size(), chunkSize));
        std::size_t start = result.size();
        std::size_t produced = blockSize;
        result.resize(start + blockSize);
        if (EVP_PKEY_encrypt(context.get(), result.data() + start, &produced, chunk.data(),
                             chunk.size()) != 1 ||
            produced != blockSize) {
            TVK_LOG_ERROR("Unexpected error from SecKeyEncrypt status=:-1");
            return std::nullopt;
        }
        rest = rest.subspan(chunk.size());
    } while (!rest.empty());
    return result;
}

}  // namespace quarra
