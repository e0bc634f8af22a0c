// The crypt manager, its keychain items and the public facade, against the real keychain store,
// real files and the main queue.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>

#include "CryptTestSupport.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "platform/Base64.h"
#include "platform/Files.h"
#include "platform/Hex.h"
#include "platform/Keychain.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKErrors.h"
#include "quarra/TVKQuarraCrypt.h"
#include "storage/crypt/FCDecryptor.h"
#include "storage/crypt/FCEncryptor.h"
#include "storage/crypt/KeychainItemStoreCrypt.h"
#include "storage/crypt/TVKCryptStream.h"
#include "support/FailingKeychainStore.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;
using test::FailingKeychainStore;
using test::readFile;
using test::signIn;
using test::signOut;
using test::TempDir;
using test::writeFile;

TVKQuarraCryptManager& manager() {
    return TVKQuarraCryptManager::sharedInstance();
}

// Runs the main loop until the handler has been called; returns its error.
class HandlerResult {
  public:
    TVKQuarraCryptManager::Handler handler() {
        return [this](ErrorPtr error) {
            onMainThread_ = isMainThread();
            error_ = std::move(error);
            called_ = true;
        };
    }
    ErrorPtr wait() {
        EXPECT_TRUE(runMainUntil([this] { return called_.load(); }, std::chrono::seconds(20)));
        EXPECT_TRUE(onMainThread_);
        return error_;
    }

  private:
    std::atomic<bool> called_{false};
    bool onMainThread_ = false;
    ErrorPtr error_;
};

bool isCryptError(const ErrorPtr& error, long code) {
    return error && error->is(TVKCryptographyErrorDomain, code);
}

std::string fileKey(const std::string& username) {
    return KeychainItemStoreCrypt::getFileEncryptionKeyForUsername(username)
        .valueOr(std::nullopt)
        .value_or("");
}

TEST(CryptKeyItems, KeyIsMadeOnceWith128RandomBytesUnderTheUsersIdentifiers) {
    const std::string root =
        TVKQuarraConfigurationManager::sharedInstance().keychainIdentifierRoot();
    EXPECT_EQ(KeychainItemStoreCrypt::fileEncryptionIdentifier(), root + ".crypt");
    EXPECT_EQ(KeychainItemStoreCrypt::fileEncryptionIdentifierForUsername("jdoe"),
              root + ".crypt.jdoe");
    EXPECT_EQ(KeychainItemStoreCrypt::encryptedUsernameIdentifier(), root + ".encrypted_username");
    EXPECT_EQ(KeychainItemStoreCrypt::encryptedUsernameIdentifierForUsername("jdoe"),
              root + ".encrypted_username.jdoe");

    EXPECT_EQ(KeychainItemStoreCrypt::getFileEncryptionKeyForUsername("jdoe"), std::nullopt);
    EXPECT_EQ(manager().generateFileEncryptionKeyForUsernameIfNeeded("jdoe"), nullptr);
    std::string key = fileKey("jdoe");
    ASSERT_EQ(key.size(), 172u);
    auto decoded = base64Decode(key);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), 128u);

    KeychainQuery query;
    query.generic = root + ".crypt.jdoe";
    auto item = Keychain::standard().copyMatching(query);
    ASSERT_TRUE(item && *item);
    EXPECT_EQ((*item)->service, root + ".crypt");
    EXPECT_EQ((*item)->account, "jdoe");

    // An existing key is never replaced; another user gets a key of their own.
    EXPECT_EQ(manager().generateFileEncryptionKeyForUsernameIfNeeded("jdoe"), nullptr);
    EXPECT_EQ(fileKey("jdoe"), key);
    EXPECT_EQ(manager().generateFileEncryptionKeyForUsernameIfNeeded("other"), nullptr);
    EXPECT_NE(fileKey("other"), key);
}

TEST(CryptKeyItems, UnreadableKeychainNeverReplacesTheKey) {
    signIn("jdoe");
    std::string key = fileKey("jdoe");
    auto flaky = std::make_shared<FailingKeychainStore>(Keychain::standard().store());
    Keychain::standard().setStore(flaky);

    flaky->failing = FailingKeychainStore::Everything;
    ErrorPtr error = manager().generateFileEncryptionKeyForUsernameIfNeeded("jdoe");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), KeychainErrorDomain);
    // Nor is "cannot read" reported as "nobody signed in" or as a missing key without its cause.
    EXPECT_TRUE(
        isKeychainError(KeychainItemStoreCrypt::getFileEncryptionKeyForUsername("jdoe").error(),
                        KeychainReadFailedError));

    flaky->failing = FailingKeychainStore::None;
    EXPECT_EQ(fileKey("jdoe"), key);
}

TEST(CryptKeyItems, ItemsSurviveARestart) {
    signIn("jdoe");
    ASSERT_TRUE(manager().encryptedUsername("jdoe"));
    std::string key = fileKey("jdoe");
    std::string name = **KeychainItemStoreCrypt::getEncryptedUsernameForUsername("jdoe");
    // A new store over the same file reads what the process before it wrote.
    auto file = std::dynamic_pointer_cast<FileKeychainStore>(Keychain::standard().store());
    ASSERT_TRUE(file);
    Keychain::standard().setStore(std::make_shared<FileKeychainStore>(file->file()));
    EXPECT_EQ(fileKey("jdoe"), key);
    EXPECT_EQ(*KeychainItemStoreCrypt::getEncryptedUsernameForUsername("jdoe"), name);
    EXPECT_EQ(manager().getFileEncryptionKey(), key);
}

TEST(CryptManager, NobodySignedInFailsEveryKeyedOperationAndCreatesNothing) {
    TempDir dir;
    writeFile(dir / "plain", "data");
    EXPECT_TRUE(isCryptError(manager().getFileEncryptionKey().error(), -2));
    EXPECT_TRUE(
        isCryptError(manager().createEncryptedFileAtPath(dir / "a", toBytes("x"), nullptr), -2));
    EXPECT_TRUE(isCryptError(manager().decryptContentsAtPath(dir / "plain").error(), -2));
    HandlerResult copy;
    manager().createEncryptedFileAtPath(dir / "b", dir / "plain", nullptr, copy.handler());
    EXPECT_TRUE(isCryptError(copy.wait(), -2));
    auto stream = manager().streamFromEncryptedFileAtPath(dir / "plain");
    EXPECT_FALSE(stream->open());
    EXPECT_TRUE(isCryptError(stream->streamError(), -2));
    EXPECT_EQ(stream->streamStatus(), TVKCryptStream::Status::Error);
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_FALSE(fs::exists(dir / "b"));
}

TEST(CryptManager, SignedInUserWithoutKeyGetsNoKeyError) {
    test::setSessionUser("jdoe");
    EXPECT_EQ(KeychainItemStore::setUsername("jdoe"), nullptr);
    EXPECT_TRUE(isCryptError(manager().getFileEncryptionKey().error(), -1));
    EXPECT_TRUE(isCryptError(manager().getDatabaseEncryptionKey().error(), -1));
}

TEST(CryptManager, BytesToFileAndBackThroughTheFacade) {
    signIn("jdoe");
    TempDir dir;
    TVKQuarraCrypt& crypt = TVKQuarraCrypt::sharedInstance();
    const Bytes contents = toBytes("thumbnail bytes");
    ASSERT_EQ(crypt.createEncryptedFileAtPath(dir / "thumb", contents, nullptr), nullptr);
    auto message = toBytes(readFile(dir / "thumb"));
    EXPECT_EQ(message.size(), 34u + 16u + 32u);
    EXPECT_TRUE(FCDecryptor::decryptData(message, *manager().getFileEncryptionKey()) == contents);
    EXPECT_EQ(crypt.decryptContentsAtPath(dir / "thumb"), contents);

    auto stream = crypt.streamFromEncryptedFileAtPath(dir / "thumb");
    ASSERT_TRUE(stream->open());
    std::uint8_t buffer[64];
    long n = stream->read(buffer, sizeof buffer);
    ASSERT_EQ(n, static_cast<long>(contents.size()));
    EXPECT_TRUE(Bytes(buffer, buffer + n) == contents);
    EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);

    // Attributes set the permissions of the new file.
    ASSERT_EQ(crypt.createEncryptedFileAtPath(dir / "shared", contents,
                                              Json{{FilePosixPermissionsKey, 0644}}),
              nullptr);
    EXPECT_EQ(fs::status(dir / "shared").permissions(), fs::perms(0644));
    EXPECT_EQ(fs::status(dir / "thumb").permissions(), fs::perms(0600));
}

TEST(CryptManager, BytesAndFileErrors) {
    signIn("jdoe");
    TempDir dir;
    ErrorPtr error = manager().createEncryptedFileAtPath(dir / "a", std::nullopt, nullptr);
    EXPECT_TRUE(isCryptError(error, -3));
    EXPECT_EQ(error->localizedDescription(), "Empty contents");
    error = manager().createDecryptedFileAtPath(dir / "a", std::nullopt, nullptr);
    EXPECT_TRUE(isCryptError(error, -4));

    error = manager().createEncryptedFileAtPath(dir / "no" / "a", toBytes("x"), nullptr);
    EXPECT_TRUE(isCryptError(error, -5));
    EXPECT_EQ(error->localizedDescription(),
              "An error occurred saving file: No such file or directory");

    error = manager().decryptContentsAtPath(dir / "missing").error();
    EXPECT_TRUE(isCryptError(error, -5));
    EXPECT_EQ(error->localizedDescription(),
              "An error occurred reading from file: No such file or directory");

    // Damaged data fails to decrypt, whether given as bytes or read from a file.
    writeFile(dir / "plain", "not a message at all");
    error = manager().decryptContentsAtPath(dir / "plain").error();
    EXPECT_TRUE(isCryptError(error, -4));
    EXPECT_EQ(error->localizedDescription(), "A data decryption error occurred");
    error = manager().createDecryptedFileAtPath(dir / "out", toBytes("short"), nullptr);
    EXPECT_TRUE(isCryptError(error, -4));
    EXPECT_FALSE(fs::exists(dir / "out"));

    // Plain files encrypt to messages of the user's key.
    auto encrypted = manager().encryptContentsAtPath(dir / "plain");
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(FCDecryptor::decryptData(*encrypted, *manager().getFileEncryptionKey()),
              toBytes("not a message at all"));
}

TEST(CryptManager, FileOfAnotherUserFailsWithTheHMACMismatchBeneath) {
    signIn("alice");
    TempDir dir;
    ASSERT_EQ(manager().createEncryptedFileAtPath(dir / "file", toBytes("alice's"), nullptr),
              nullptr);
    signIn("bob");
    ErrorPtr error = manager().decryptContentsAtPath(dir / "file").error();
    ASSERT_TRUE(isCryptError(error, -4));
    ASSERT_TRUE(error->underlyingError());
    EXPECT_TRUE(error->underlyingError()->is(kFCCryptorErrorDomain, kFCCryptorHMACMismatch));
}

TEST(CryptManager, StreamingCopyEncryptsAndDecryptsOnTheMainQueue) {
    signIn("jdoe");
    TempDir dir;
    std::string plain(100000, 'p');
    writeFile(dir / "plain", plain);
    writeFile(dir / "empty", "");

    HandlerResult encrypted;
    manager().createEncryptedFileAtPath(dir / "encrypted", dir / "plain", nullptr,
                                        encrypted.handler());
    EXPECT_EQ(encrypted.wait(), nullptr);
    HandlerResult decrypted;
    manager().createDecryptedFileAtPath(dir / "decrypted", dir / "encrypted", nullptr,
                                        decrypted.handler());
    EXPECT_EQ(decrypted.wait(), nullptr);
    EXPECT_TRUE(readFile(dir / "decrypted") == plain);
    EXPECT_TRUE(readFile(dir / "plain") == plain);

    HandlerResult empty;
    manager().createEncryptedFileAtPath(dir / "empty.enc", dir / "empty", nullptr, empty.handler());
    EXPECT_EQ(empty.wait(), nullptr);
    EXPECT_EQ(fs::file_size(dir / "empty.enc"), 82u);
    EXPECT_EQ(manager().decryptContentsAtPath(dir / "empty.enc"), Bytes());
}

TEST(CryptManager, StreamingCopyRefusesBadSources) {
    signIn("jdoe");
    TempDir dir;
    writeFile(dir / "plain", "data");
    for (const fs::path& source : {fs::path(), dir / "missing", dir.path(), dir / "plain"}) {
        SCOPED_TRACE(source);
        HandlerResult result;
        manager().createEncryptedFileAtPath(dir / "plain", source, nullptr, result.handler());
        ErrorPtr error = result.wait();
        EXPECT_TRUE(isCryptError(error, -5));
        EXPECT_EQ(error->localizedDescription(), "Invalid file path");
    }
    EXPECT_EQ(readFile(dir / "plain"), "data");
}

TEST(CryptManager, InPlaceEncryptionThroughTheFacadeReadsBackAsTheFormerContent) {
    signIn("jdoe");
    TempDir dir;
    writeFile(dir / "notes.txt", "former content");
    HandlerResult result;
    TVKQuarraCrypt::sharedInstance().encryptFileAtPath(dir / "notes.txt", nullptr,
                                                       result.handler());
    EXPECT_EQ(result.wait(), nullptr);
    EXPECT_NE(readFile(dir / "notes.txt"), "former content");
    EXPECT_EQ(TVKQuarraCrypt::sharedInstance().decryptContentsAtPath(dir / "notes.txt"),
              toBytes("former content"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    HandlerResult missing;
    manager().encryptFileAtPath(dir / "missing", nullptr, missing.handler());
    EXPECT_TRUE(isCryptError(missing.wait(), -5));
}

TEST(CryptManager, EveryWritePathGivesTheFileTheAskedForMode) {
    signIn("jdoe");
    TempDir dir;
    writeFile(dir / "plain", "data");
    enum class Path { Streaming, InPlace, Bytes };
    struct Case {
        const char* name;
        Path path;
        Json attributes;
        std::optional<int> existingMode;  // of a file already at the destination
        int mode;
    } cases[] = {
        {"streaming, asked", Path::Streaming, Json{{FilePosixPermissionsKey, 0644}}, {}, 0644},
        {"streaming, new file", Path::Streaming, nullptr, {}, 0600},
        {"streaming, asked over a file", Path::Streaming, Json{{FilePosixPermissionsKey, 0640}},
         0600, 0640},
        {"streaming, kept from the file", Path::Streaming, nullptr, 0640, 0640},
        {"in place, asked", Path::InPlace, Json{{FilePosixPermissionsKey, 0604}}, 0600, 0604},
        {"in place, kept from the file", Path::InPlace, nullptr, 0640, 0640},
        {"bytes, asked", Path::Bytes, Json{{FilePosixPermissionsKey, 0644}}, {}, 0644},
        {"bytes, not a number", Path::Bytes, Json{{FilePosixPermissionsKey, "0644"}}, {}, 0600},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path target = dir / ("out" + std::to_string(index++));
        if (c.existingMode) {
            writeFile(target, "data");
            fs::permissions(target, fs::perms(*c.existingMode));
        }
        HandlerResult result;
        switch (c.path) {
            case Path::Streaming:
                manager().createEncryptedFileAtPath(target, dir / "plain", c.attributes,
                                                    result.handler());
                ASSERT_EQ(result.wait(), nullptr);
                break;
            case Path::InPlace:
                manager().encryptFileAtPath(target, c.attributes, result.handler());
                ASSERT_EQ(result.wait(), nullptr);
                break;
            case Path::Bytes:
                ASSERT_EQ(
                    manager().createEncryptedFileAtPath(target, toBytes("data"), c.attributes),
                    nullptr);
                break;
        }
        EXPECT_EQ(fs::status(target).permissions(), fs::perms(c.mode));
        EXPECT_EQ(manager().decryptContentsAtPath(target), toBytes("data"));
    }
}

TEST(CryptManager, InPlaceEncryptionLeavesNoPlaintextUnderAnotherName) {
    signIn("jdoe");
    TempDir dir;
    writeFile(dir / "target", "through a link");
    fs::create_symlink(dir / "target", dir / "link");
    HandlerResult linked;
    manager().encryptFileAtPath(dir / "link", nullptr, linked.handler());
    EXPECT_EQ(linked.wait(), nullptr);
    // The link stays a link; the file it names is encrypted.
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(manager().decryptContentsAtPath(dir / "target"), toBytes("through a link"));

    // Replacing one name of a file with two would leave the plaintext under the other.
    writeFile(dir / "plain", "hard linked");
    fs::create_hard_link(dir / "plain", dir / "second");
    HandlerResult hardLinked;
    manager().encryptFileAtPath(dir / "second", nullptr, hardLinked.handler());
    ErrorPtr error = hardLinked.wait();
    EXPECT_TRUE(isCryptError(error, -5));
    EXPECT_EQ(error->localizedDescription(), "Invalid file path");
    EXPECT_EQ(readFile(dir / "plain"), "hard linked");
    EXPECT_EQ(fs::hard_link_count(dir / "plain"), 2u);
}

// The SDK's resource folder pointed at a key pair of the test's own, made with openssl.
class RSATest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::path resources = keys_.path() / "resources";
        fs::create_directories(resources);
        fs::copy_file(test::sourceDir() / "resources" / "Info.json", resources / "Info.json");
        privateKey_ = keys_.path() / "key.pem";
        ASSERT_EQ(run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " +
                      privateKey_.string()),
                  0);
        // The PKCS#1 form; the SDK's shipped key is the SubjectPublicKeyInfo form.
        ASSERT_EQ(run("openssl rsa -in " + privateKey_.string() +
                      " -RSAPublicKey_out -outform DER -out " +
                      (resources / "rsa_public_key.der").string()),
                  0);
        setenv("QUARRA_SDK_RESOURCES", resources.c_str(), 1);
    }

    static int run(const std::string& command) {
        return std::system((command + " 2>/dev/null").c_str());
    }

    // Each 256-byte block decrypted with `openssl pkeyutl`, joined.
    std::string decrypt(const Bytes& encrypted) {
        std::string plain;
        for (std::size_t offset = 0; offset < encrypted.size(); offset += 256) {
            writeFile(keys_ / "block", toString(Bytes(encrypted.begin() + offset,
                                                      encrypted.begin() + offset + 256)));
            EXPECT_EQ(run("openssl pkeyutl -decrypt -inkey " + privateKey_.string() +
                          " -pkeyopt rsa_padding_mode:pkcs1 -in " + (keys_ / "block").string() +
                          " -out " + (keys_ / "plain").string()),
                      0);
            plain += readFile(keys_ / "plain");
        }
        return plain;
    }

    TempDir keys_;
    fs::path privateKey_;
};

TEST_F(RSATest, BlocksDecryptWithOpensslAndDifferEveryTime) {
    struct Case {
        std::size_t inputSize, outputSize;
    };
    for (Case c : {Case{0, 256}, {1, 256}, {245, 256}, {246, 512}, {600, 768}}) {
        SCOPED_TRACE(c.inputSize);
        std::string input(c.inputSize, 'u');
        auto first = manager().RSAEncryptData(toBytes(input));
        auto second = manager().RSAEncryptData(toBytes(input));
        ASSERT_TRUE(first && second);
        EXPECT_EQ(first->size(), c.outputSize);
        EXPECT_EQ(second->size(), c.outputSize);
        EXPECT_NE(first, second);
        EXPECT_EQ(decrypt(*first), input);
    }
    EXPECT_FALSE(manager().RSAEncryptData(std::nullopt));
}

TEST_F(RSATest, EncryptedUsernameIsComputedOnceAndStored) {
    auto name = manager().encryptedUsername("jdoe@example.com");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->size(), 512u);
    EXPECT_EQ(*name, hexString(*dataFromHexString(*name)));  // upper-case hex
    EXPECT_EQ(*KeychainItemStoreCrypt::getEncryptedUsernameForUsername("jdoe@example.com"), name);
    EXPECT_EQ(manager().encryptedUsername("jdoe@example.com"), name);
    EXPECT_EQ(decrypt(*dataFromHexString(*name)), "jdoe@example.com");
}

TEST(RSAWithoutKey, MissingResourceYieldsNothingAndStoresNothing) {
    TempDir resources;
    fs::copy_file(test::sourceDir() / "resources" / "Info.json", resources / "Info.json");
    setenv("QUARRA_SDK_RESOURCES", resources.path().c_str(), 1);
    EXPECT_FALSE(manager().rsaPublicKey());
    EXPECT_FALSE(manager().RSAEncryptData(toBytes("x")));
    EXPECT_FALSE(manager().encryptedUsername("jdoe"));
    EXPECT_EQ(KeychainItemStoreCrypt::getEncryptedUsernameForUsername("jdoe"), std::nullopt);
}

TEST(RSAWithShippedKey, TheSDKsOwnKeyEncrypts) {
    ASSERT_TRUE(manager().rsaPublicKey());
    auto encrypted = manager().RSAEncryptData(toBytes("someone"));
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(encrypted->size(), 256u);
}

}  // namespace
}  // namespace quarra
