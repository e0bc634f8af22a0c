// Streaming files through the encrypted data format: round trips at the chunk boundaries, and the
// destination kept whole whatever fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "CryptTestSupport.h"
#include "quarra/TVKErrors.h"
#include "storage/crypt/FCDecryptor.h"
#include "storage/crypt/FCEncryptor.h"
#include "storage/crypt/TVKCryptFiles.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;
using test::pattern;
using test::readFile;
using test::TempDir;
using test::writeFile;

const std::string kPassword = "file password";

ErrorPtr copyFile(const fs::path& source, const fs::path& destination, bool encrypt,
                  bool durable = false) {
    auto fd = cryptfiles::openSource(source);
    return fd ? cryptfiles::copy(std::move(fd).value(), destination, kPassword, encrypt, durable)
              : fd.error();
}

// Entries of `folder` beyond `expected`: temporary files left behind.
std::vector<std::string> strayFiles(const fs::path& folder, const std::set<std::string>& expected) {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!expected.count(entry.path().filename().string())) {
            stray.push_back(entry.path().filename().string());
        }
    }
    return stray;
}

TEST(CryptFiles, RoundTripAtChunkBoundaries) {
    TempDir dir;
    for (std::size_t size : {0, 1, 15, 16, 17, 32767, 32768, 32769, 1 << 20}) {
        SCOPED_TRACE(size);
        std::string plain = pattern(size);
        writeFile(dir / "plain", plain);
        ASSERT_EQ(copyFile(dir / "plain", dir / "encrypted", true), nullptr);
        std::string message = readFile(dir / "encrypted");
        EXPECT_EQ(message.size(), 34 + (size / 16 + 1) * 16 + 32);
        auto decrypted = FCDecryptor::decryptData(toBytes(message), kPassword);
        ASSERT_TRUE(decrypted);
        EXPECT_TRUE(toString(*decrypted) == plain);
        ASSERT_EQ(copyFile(dir / "encrypted", dir / "decrypted", false), nullptr);
        EXPECT_TRUE(readFile(dir / "decrypted") == plain);
    }
}

TEST(CryptFiles, InvalidSourcesAreRefused) {
    TempDir dir;
    for (const fs::path& source : {fs::path(), dir / "missing", dir.path()}) {
        SCOPED_TRACE(source);
        ErrorPtr error = cryptfiles::openSource(source).error();
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(TVKCryptographyErrorDomain, -5));
        EXPECT_EQ(error->localizedDescription(), "Invalid file path");
    }
}

TEST(CryptFiles, FailedDecryptionLeavesTheDestinationAsItWas) {
    TempDir dir;
    writeFile(dir / "plain", pattern(100000));
    ASSERT_EQ(copyFile(dir / "plain", dir / "encrypted", true), nullptr);
    std::string message = readFile(dir / "encrypted");
    message[50000] ^= 1;
    writeFile(dir / "damaged", message);
    writeFile(dir / "destination", "old contents");
    writeFile(dir / "short", message.substr(0, 10));

    ErrorPtr error = copyFile(dir / "damaged", dir / "destination", false);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(kFCCryptorErrorDomain, kFCCryptorHMACMismatch));
    // A file too short for one block ends with an error, not with an empty plaintext.
    error = copyFile(dir / "short", dir / "destination", false);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(kFCCryptorErrorDomain, kFCCryptorHMACMismatch));

    EXPECT_EQ(readFile(dir / "destination"), "old contents");
    EXPECT_TRUE(
        strayFiles(dir.path(), {"plain", "encrypted", "damaged", "destination", "short"}).empty());
}

TEST(CryptFiles, WriteFailureInPlaceKeepsThePlaintext) {
    TempDir dir;
    std::string plain = pattern(1 << 20);
    writeFile(dir / "file", plain);
    // The file-size limit makes the write fail part way, like a full disk.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{512 * 1024, 512 * 1024};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

    ErrorPtr error = copyFile(dir / "file", dir / "file", true, true);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCryptographyErrorDomain, -5));
    EXPECT_EQ(error->localizedDescription(), "An error occurred saving file: File too large");
    EXPECT_TRUE(readFile(dir / "file") == plain);
    EXPECT_TRUE(strayFiles(dir.path(), {"file"}).empty());
}

TEST(CryptFiles, InPlaceEncryptionReplacesTheFileAndKeepsItsPermissions) {
    TempDir dir;
    writeFile(dir / "file", "secret notes");
    ASSERT_EQ(chmod((dir / "file").c_str(), 0640), 0);
    ASSERT_EQ(copyFile(dir / "file", dir / "file", true, true), nullptr);
    auto plain = FCDecryptor::decryptData(toBytes(readFile(dir / "file")), kPassword);
    ASSERT_TRUE(plain);
    EXPECT_EQ(toString(*plain), "secret notes");
    struct stat info;
    ASSERT_EQ(stat((dir / "file").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    // A new file is the user's alone.
    ASSERT_EQ(copyFile(dir / "file", dir / "new", false), nullptr);
    ASSERT_EQ(stat((dir / "new").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

// Waits for a file in `folder` whose name carries the partial-file marker to hold at least `size`
// bytes; returns its path. The copy in the other process writes it, and each of its writes wakes
// this wait; a missing event fails the test after the ctest timeout.
fs::path partialFileOfAtLeast(const fs::path& folder, std::uintmax_t size) {
    FileDescriptor watch(inotify_init1(IN_CLOEXEC));
    if (!watch.valid() ||
        inotify_add_watch(watch.get(), folder.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO) < 0) {
        ADD_FAILURE() << "inotify: " << strerror(errno);
        return {};
    }
    for (;;) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            std::error_code ec;
            if (files::isPartialFile(entry.path()) && fs::file_size(entry.path(), ec) >= size &&
                !ec) {
                return entry.path();
            }
        }
        alignas(inotify_event) char events[4096];
        if (read(watch.get(), events, sizeof events) < 0 && errno != EINTR) {
            ADD_FAILURE() << "inotify read: " << strerror(errno);
            return {};
        }
    }
}

TEST(CryptFiles, DecryptionKilledHalfWayLeavesNoPlaintextAfterTheNextStart) {
    TempDir dir;
    std::string plain = pattern(4 * cryptfiles::kChunkSize);
    auto message = FCEncryptor::encryptData(toBytes(plain), kFCCryptorAES256Settings, kPassword);
    ASSERT_TRUE(message);
    fs::path journal = cryptfiles::partialFileJournal();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Reads the message from the pipe, which never ends: blocks after the first half. The
        // destination is relative to this process's own working directory, not the sweeper's.
        ::close(pipeFds[1]);
        if (::chdir(dir.path().c_str()) != 0) {
            _exit(2);
        }
        ErrorPtr error = cryptfiles::copy(FileDescriptor(pipeFds[0]), "plain", kPassword,
                                          /*encrypt=*/false, false);
        _exit(error ? 1 : 0);
    }
    ::close(pipeFds[0]);
    size_t half = message->size() / 2;
    ASSERT_EQ(write(pipeFds[1], message->data(), half), static_cast<ssize_t>(half));
    fs::path partial = partialFileOfAtLeast(dir.path(), cryptfiles::kChunkSize);
    struct stat info;
    ASSERT_EQ(stat(partial.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << "partial plaintext readable by others";
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::close(pipeFds[1]);
    ASSERT_TRUE(fs::exists(partial));

    // The next start.
    cryptfiles::sweepPartialFiles();
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_FALSE(fs::exists(dir / "plain"));
    EXPECT_TRUE(fs::is_empty(journal));
}

TEST(CryptFiles, MissingDestinationFolderIsASaveError) {
    TempDir dir;
    writeFile(dir / "plain", "x");
    ErrorPtr error = copyFile(dir / "plain", dir / "no" / "such" / "file", true);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(),
              "An error occurred saving file: No such file or directory");
}

}  // namespace
}  // namespace quarra
