#include "storage/crypt/TVKCryptStream.h"

#include <errno.h>
#include <fcntl.h>

#include <cstring>

#include "quarra/TVKErrors.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "storage/crypt/KeychainItemStoreCrypt.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {

TVKCryptStream::TVKCryptStream(std::filesystem::path path, bool encrypt)
    : path_(std::move(path)), encrypt_(encrypt) {}

bool TVKCryptStream::open() {
    std::lock_guard lock(mutex_);
    if (opened_ || closed_) {
        return opened_ && !ourError_;
    }
    opened_ = true;
    ourUsername_ = TVKQuarraCryptManager::currentUsername();
    if (!ourUsername_) {
        ourError_ = Error::make(TVKCryptographyErrorDomain, TVKCryptographyNotSignedInErrorCode);
        return false;
    }
    file_ = cryptfiles::FileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file_) {
        ourError_ = cryptfiles::fileError(cryptfiles::kReadFailed, errno);
        return false;
    }
    return true;
}

long TVKCryptStream::fail(ErrorPtr error) {
    ourError_ = std::move(error);
    cryptor_.reset();
    processed_.clear();
    processedOffset_ = 0;
    return -1;
}

long TVKCryptStream::read(std::uint8_t* buffer, std::size_t length) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        return -1;
    }
    auto current = TVKQuarraCryptManager::currentUsername();
    if (!ourUsername_ || current != ourUsername_) {
        TVK_LOG_DEBUG(
            "Attempted to open stream for decryption as user:" + current.value_or("(null)") +
            " expected user:" + ourUsername_.value_or("(null)"));
        return fail(Error::make(TVKCryptographyErrorDomain, TVKCryptographyNotSignedInErrorCode));
    }
    if (ourError_) {
        return -1;
    }
    if (processedOffset_ == processed_.size() && !finished_ && !produce(length)) {
        return -1;
    }
    std::size_t count = std::min(length, processed_.size() - processedOffset_);
    if (count > 0) {
        std::memcpy(buffer, processed_.data() + processedOffset_, count);
        processedOffset_ += count;
    }
    return static_cast<long>(count);
}

// Reads the file on until the cryptor has output for the reader or has finished. False on a
// failure, which is then recorded.
bool TVKCryptStream::produce(std::size_t length) {
    if (!cryptor_) {
        auto key = KeychainItemStoreCrypt::getFileEncryptionKeyForUsername(*ourUsername_);
        if (!key || !*key) {
            fail(Error::make(TVKCryptographyErrorDomain, TVKCryptographyNoKeyErrorCode,
                             std::string_view(), key.error()));
            return false;
        }
        auto cryptor = FCMessageCodec::make(encrypt_, **key);
        if (!cryptor) {
            fail(cryptor.error());
            return false;
        }
        cryptor_ = std::move(cryptor).value();
        chunk_.resize(std::max(length, cryptfiles::kChunkSize));
    }
    processed_.clear();
    processedOffset_ = 0;
    while (processed_.empty() && !finished_) {
        long count = cryptfiles::readSome(file_.get(), chunk_.data(), chunk_.size());
        if (count < 0) {
            ErrorPtr error = cryptfiles::fileError(cryptfiles::kReadFailed, errno);
            TVK_LOG_ERROR("File stream error:" + error->description());
            fail(error);
            return false;
        }
        ErrorPtr error =
            count > 0 ? cryptor_->update(ByteView(chunk_).first(static_cast<std::size_t>(count)),
                                         processed_)
                      : cryptor_->finish(processed_);
        if (error) {
            fail(error);
            return false;
        }
        if (count == 0) {
            finished_ = true;
            cryptor_.reset();
            TVK_LOG_DEBUG("TVKCryptStream finished streaming file");
        }
    }
    return true;
}

void TVKCryptStream::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    file_ = cryptfiles::FileDescriptor();
    cryptor_.reset();
    processed_.clear();
    processedOffset_ = 0;
}

ErrorPtr TVKCryptStream::error() const {
    std::lock_guard lock(mutex_);
    return ourError_;
}

bool TVKCryptStream::hasBytesAvailable() const {
    std::lock_guard lock(mutex_);
    return !closed_ && !ourError_ && (!finished_ || processedOffset_ < processed_.size());
}

TVKCryptStream::Status TVKCryptStream::streamStatus() const {
    std::lock_guard lock(mutex_);
    if (ourError_) {
        return Status::Error;
    }
    if (closed_) {
        return Status::Closed;
    }
    if (!opened_) {
        return Status::NotOpen;
    }
    return finished_ && processedOffset_ == processed_.size() ? Status::AtEnd : Status::Open;
}

}  // namespace quarra
