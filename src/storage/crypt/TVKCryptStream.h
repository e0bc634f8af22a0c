#pragma once
// An input stream over a file that hands out its contents decrypted (or encrypted) as it is read,
// so an encrypted file can be uploaded without a plaintext copy on disk. The stream is bound to
// the user signed in when it is opened: that user's file-encryption key is the password, and once
// another user (or nobody) is signed in, reads fail with TVKCryptographyErrorDomain -2.
//
// The reader sees exactly the plaintext (or the whole encrypted message) in pieces of at most the
// length asked for; 0 means the end, -1 a failure (error() says which). When decrypting, a failure
// at the end (a damaged or truncated file) comes as -1 after data already handed out: discard what
// was read. One reader at a time; close() may be called from another thread. Like every stream
// here it produces no events, so it can be scheduled on a run loop but is read by polling, and it
// lends no buffer (getBuffer answers false).
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/InputStream.h"
#include "storage/crypt/FCMessageCodec.h"
#include "storage/crypt/TVKCryptFiles.h"

namespace quarra {

class TVKCryptStream : public InputStream {
  public:
    // The platform's stream states, by value.
    enum class Status {
        NotOpen = 0,
        Opening = 1,
        Open = 2,
        Reading = 3,
        Writing = 4,
        AtEnd = 5,
        Closed = 6,
        Error = 7
    };

    // Nothing is opened or read yet.
    TVKCryptStream(std::filesystem::path path, bool encrypt);

    // Binds the signed-in user and opens the file. False with -2 when nobody is signed in, or with
    // the read error when the file cannot be opened.
    bool open() override;
    long read(std::uint8_t* buffer, std::size_t length) override;
    // Closes the file and drops the cryptor; later reads return -1.
    void close() override;
    ErrorPtr error() const override;

    ErrorPtr streamError() const { return error(); }
    // Error while a failure is recorded; AtEnd only once the last byte has been handed out.
    Status streamStatus() const;
    // False only once the file, the cryptor and the bytes waiting to be handed out are exhausted.
    bool hasBytesAvailable() const;
    bool isEncrypting() const { return encrypt_; }

  private:
    long fail(ErrorPtr error);
    bool produce(std::size_t length);

    const std::filesystem::path path_;
    const bool encrypt_;
    mutable std::mutex mutex_;
    cryptfiles::FileDescriptor file_;
    std::optional<FCMessageCodec> cryptor_;
    Bytes chunk_;
    Bytes processed_;  // output not yet handed out, from processedOffset_ on
    std::size_t processedOffset_ = 0;
    std::optional<std::string> ourUsername_;
    ErrorPtr ourError_;
    bool opened_ = false;
    bool closed_ = false;
    bool finished_ = false;
};

}  // namespace quarra
