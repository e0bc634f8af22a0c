#include "transport/HTMultipartBodyStream.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/Files.h"

namespace quarra {
namespace {

// Large enough that a file part moves at disk speed, small enough to be no memory concern.
constexpr std::size_t kWriteBufferSize = 256 * 1024;

bool writeAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

HTMultipartBodyStream::HTMultipartBodyStream(unsigned long stringEncoding)
    : stringEncoding_(stringEncoding) {}

void HTMultipartBodyStream::appendHTTPBodyPart(std::unique_ptr<HTHTTPBodyPart> part) {
    parts_.push_back(std::move(part));
}

void HTMultipartBodyStream::setInitialAndFinalBoundaries() {
    if (parts_.empty())
        return;
    for (auto& part : parts_) {
        part->hasInitialBoundary = false;
        part->hasFinalBoundary = false;
    }
    parts_.front()->hasInitialBoundary = true;
    parts_.back()->hasFinalBoundary = true;
}

std::uint64_t HTMultipartBodyStream::contentLength() const {
    std::uint64_t length = 0;
    for (const auto& part : parts_)
        length += part->contentLength();
    return length;
}

std::shared_ptr<HTMultipartBodyStream> HTMultipartBodyStream::copy() const {
    auto stream = std::make_shared<HTMultipartBodyStream>(stringEncoding_);
    for (const auto& part : parts_)
        stream->appendHTTPBodyPart(part->copy());
    stream->setInitialAndFinalBoundaries();
    return stream;
}

bool HTMultipartBodyStream::open() {
    if (status_ == Status::Open)
        return true;
    status_ = Status::Open;
    setInitialAndFinalBoundaries();
    nextPart_ = 0;
    currentPart_ = nullptr;
    return true;
}

long HTMultipartBodyStream::read(std::uint8_t* buffer, std::size_t length) {
    if (status_ != Status::Open)
        return 0;
    if (error())
        return -1;
    std::size_t limit = length;
    if (numberOfBytesInPacket_ < limit)
        limit = static_cast<std::size_t>(numberOfBytesInPacket_);
    std::size_t total = 0;
    while (total < limit) {
        if (!currentPart_ || !currentPart_->hasBytesAvailable()) {
            if (nextPart_ == parts_.size())
                break;
            currentPart_ = parts_[nextPart_++].get();
            currentPart_->setStopsBeforeFileBody(directOutput_ >= 0);
        }
        if (directOutput_ >= 0 && currentPart_->isAtFileBody()) {
            // What the caller holds goes to the file first; the body follows on the next read.
            if (total > 0)
                break;
            if (!copyFileBody(directOutput_))
                return -1;
        }
        long n = currentPart_->read(buffer + total, limit - total);
        if (n < 0) {
            std::lock_guard lock(errorMutex_);
            streamError_ = currentPart_->error();
            return -1;
        }
        total += static_cast<std::size_t>(n);
        if (delay_ > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(delay_));
    }
    return static_cast<long>(total);
}

bool HTMultipartBodyStream::copyFileBody(int fd) {
    switch (currentPart_->copyFileBodyTo(fd)) {
        case HTHTTPBodyPart::CopyResult::Copied:
            return true;
        case HTHTTPBodyPart::CopyResult::Unsupported:
            currentPart_->setStopsBeforeFileBody(false);
            return true;
        case HTHTTPBodyPart::CopyResult::Failed:
            break;
    }
    std::lock_guard lock(errorMutex_);
    streamError_ = currentPart_->error();
    return false;
}

void HTMultipartBodyStream::close() {
    status_ = Status::Closed;
}

ErrorPtr HTMultipartBodyStream::error() const {
    std::lock_guard lock(errorMutex_);
    return streamError_;
}

ErrorPtr HTMultipartBodyStream::writeToFile(InputStream& stream,
                                            const std::filesystem::path& path) {
    // The body may hold decrypted file contents: only the user may read it.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return posixError(errno, "cannot create " + path.string());
    // A multipart body hands its file parts to the kernel, which copies them without a trip
    // through this process's memory.
    auto* multipart = dynamic_cast<HTMultipartBodyStream*>(&stream);
    if (multipart)
        multipart->directOutput_ = fd;
    ErrorPtr failure;
    if (!stream.open())
        failure = stream.error() ? stream.error() : posixError(EIO, "cannot open the body");
    std::vector<std::uint8_t> buffer(kWriteBufferSize);
    while (!failure) {
        long n = stream.read(buffer.data(), buffer.size());
        if (n < 0) {
            failure = stream.error() ? stream.error() : posixError(EIO, "cannot read the body");
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(fd, buffer.data(), static_cast<std::size_t>(n))) {
            failure = posixError(errno, "cannot write " + path.string());
            break;
        }
    }
    if (multipart)
        multipart->directOutput_ = -1;
    if (::close(fd) != 0 && !failure)
        failure = posixError(errno, "cannot write " + path.string());
    stream.close();
    // A partial body is of no use to anyone and may hold plain text of an encrypted file.
    if (failure)
        ::unlink(path.c_str());
    return failure;
}

}  // namespace quarra
