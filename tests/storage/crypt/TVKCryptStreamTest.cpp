// The crypt stream read as an upload body reads it: in pieces, until 0 or -1.
#include <gtest/gtest.h>

#include "CryptTestSupport.h"
#include "quarra/TVKErrors.h"
#include "quarra/RunLoop.h"
#include "storage/crypt/FCDecryptor.h"
#include "storage/crypt/TVKCryptStream.h"
#include "support/TestSupport.h"
#include "transport/HTStreamingMultipartFormData.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;
using test::pattern;
using test::readFile;
using test::signIn;
using test::signOut;
using test::TempDir;
using test::writeFile;
using Status = TVKCryptStream::Status;

TVKQuarraCryptManager& cryptManager() {
    return TVKQuarraCryptManager::sharedInstance();
}

// Reads the stream to its end in pieces of `length`; -1 ends the reading too.
std::string readAll(TVKCryptStream& stream, std::size_t length, long* last = nullptr) {
    std::string out;
    std::vector<std::uint8_t> buffer(length);
    long n;
    while ((n = stream.read(buffer.data(), length)) > 0) {
        EXPECT_LE(static_cast<std::size_t>(n), length);
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    if (last) {
        *last = n;
    }
    return out;
}

void encryptFile(const fs::path& path, const std::string& contents) {
    ASSERT_EQ(cryptManager().createEncryptedFileAtPath(path, toBytes(contents), nullptr), nullptr);
}

TEST(CryptStream, DecryptsFilesOfEveryBoundarySizeInAnyReadLength) {
    signIn("jdoe");
    TempDir dir;
    for (std::size_t size : {0, 1, 15, 16, 17, 32767, 32768, 32769, 1 << 20}) {
        std::string plain = pattern(size);
        encryptFile(dir / "file", plain);
        for (std::size_t length : {16, 1000, 32768, 100000}) {
            // Every read checks who is signed in; tiny reads of the large file only cost time.
            if (length == 16 && size > 32769)
                continue;
            SCOPED_TRACE("size " + std::to_string(size) + " read " + std::to_string(length));
            auto stream = cryptManager().streamFromEncryptedFileAtPath(dir / "file");
            EXPECT_EQ(stream->streamStatus(), Status::NotOpen);
            ASSERT_TRUE(stream->open());
            long last = 0;
            EXPECT_TRUE(readAll(*stream, length, &last) == plain);
            EXPECT_EQ(last, 0);
            EXPECT_EQ(stream->streamStatus(), Status::AtEnd);
            EXPECT_FALSE(stream->hasBytesAvailable());
            std::uint8_t byte;
            EXPECT_EQ(stream->read(&byte, 1), 0);  // and again, at once
            EXPECT_EQ(stream->streamError(), nullptr);
        }
    }
}

TEST(CryptStream, EncryptingStreamHandsOutTheWholeMessageBeforeItsEnd) {
    signIn("jdoe");
    TempDir dir;
    writeFile(dir / "one", "x");
    auto stream = cryptManager().encryptionStreamForFileAtPath(dir / "one");
    // Scheduled on the main run loop it is still read by polling, and it lends no buffer.
    stream->scheduleInRunLoop(RunLoop::main(), RunLoopDefaultMode);
    ASSERT_TRUE(stream->open());
    std::uint8_t* lent = nullptr;
    std::size_t lentLength = 7;
    EXPECT_FALSE(stream->getBuffer(&lent, &lentLength));
    EXPECT_EQ(lent, nullptr);
    EXPECT_EQ(lentLength, 7u);
    std::string message;
    std::uint8_t buffer[16];
    long n;
    while ((n = stream->read(buffer, sizeof buffer)) > 0) {
        message.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
        // Open until the last of the 82 bytes is out, then at its end.
        EXPECT_EQ(stream->streamStatus(), message.size() < 82 ? Status::Open : Status::AtEnd);
    }
    EXPECT_EQ(n, 0);
    stream->removeFromRunLoop(RunLoop::main(), RunLoopDefaultMode);
    ASSERT_EQ(message.size(), 82u);
    EXPECT_EQ(FCDecryptor::decryptData(toBytes(message), *cryptManager().getFileEncryptionKey()),
              toBytes("x"));
}

TEST(CryptStream, SigningOutBetweenReadsFailsTheNextRead) {
    signIn("jdoe");
    TempDir dir;
    encryptFile(dir / "file", pattern(100000));
    auto stream = cryptManager().streamFromEncryptedFileAtPath(dir / "file");
    ASSERT_TRUE(stream->open());
    std::uint8_t buffer[1000];
    EXPECT_EQ(stream->read(buffer, sizeof buffer), 1000);
    signOut();
    EXPECT_EQ(stream->read(buffer, sizeof buffer), -1);
    ASSERT_TRUE(stream->streamError());
    EXPECT_TRUE(stream->streamError()->is(TVKCryptographyErrorDomain, -2));
    EXPECT_EQ(stream->streamStatus(), Status::Error);
    // Another user signing in does not revive it.
    signIn("other");
    EXPECT_EQ(stream->read(buffer, sizeof buffer), -1);
}

TEST(CryptStream, DamagedOrShortFilesEndWithAnErrorNeverWithTheEnd) {
    signIn("jdoe");
    TempDir dir;
    encryptFile(dir / "file", pattern(100000));
    std::string message = readFile(dir / "file");
    message[60000] ^= 1;
    writeFile(dir / "damaged", message);
    writeFile(dir / "short", message.substr(0, 10));
    for (const char* name : {"damaged", "short"}) {
        SCOPED_TRACE(name);
        auto stream = cryptManager().streamFromEncryptedFileAtPath(dir / name);
        ASSERT_TRUE(stream->open());
        long last = 0;
        readAll(*stream, 4096, &last);
        EXPECT_EQ(last, -1);
        ASSERT_TRUE(stream->streamError());
        EXPECT_TRUE(stream->streamError()->is(kFCCryptorErrorDomain, kFCCryptorHMACMismatch));
        EXPECT_EQ(stream->streamStatus(), Status::Error);
    }
}

TEST(CryptStream, ReadsAfterCloseOrWithoutOpenFail) {
    signIn("jdoe");
    TempDir dir;
    encryptFile(dir / "file", "content");
    std::uint8_t buffer[64];

    auto unopened = cryptManager().streamFromEncryptedFileAtPath(dir / "file");
    EXPECT_EQ(unopened->read(buffer, sizeof buffer), -1);

    auto stream = cryptManager().streamFromEncryptedFileAtPath(dir / "file");
    ASSERT_TRUE(stream->open());
    stream->close();
    EXPECT_EQ(stream->read(buffer, sizeof buffer), -1);
    EXPECT_EQ(stream->streamStatus(), Status::Closed);

    auto missing = cryptManager().streamFromEncryptedFileAtPath(dir / "missing");
    EXPECT_FALSE(missing->open());
    EXPECT_TRUE(missing->streamError()->is(TVKCryptographyErrorDomain, -5));
}

TEST(CryptStream, UploadBodyCarriesThePlaintextOfAnEncryptedFile) {
    signIn("jdoe");
    TempDir dir;
    std::string plain = pattern(70000);
    encryptFile(dir / "file", plain);
    HTStreamingMultipartFormData form(UrlRequest(), 4, "BOUNDARY");
    form.appendPartWithInputStream(cryptManager().streamFromEncryptedFileAtPath(dir / "file"), "file",
                                   "file.bin", static_cast<std::int64_t>(plain.size()),
                                   "application/octet-stream");
    const auto& body = form.bodyStream();
    body->setInitialAndFinalBoundaries();
    ASSERT_TRUE(body->open());
    std::string text;
    std::uint8_t buffer[5000];
    long n;
    while ((n = body->read(buffer, sizeof buffer)) > 0) {
        text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    EXPECT_EQ(n, 0);
    EXPECT_NE(text.find("\r\n\r\n" + plain + "\r\n--BOUNDARY--"), std::string::npos);
}

}  // namespace
}  // namespace quarra
