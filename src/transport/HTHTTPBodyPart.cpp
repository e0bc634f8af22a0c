#include "transport/HTHTTPBodyPart.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/Files.h"
#include "transport/HTMultipartFormData.h"

namespace quarra {
namespace {

class BytesInputStream final : public InputStream {
  public:
    explicit BytesInputStream(std::shared_ptr<const Bytes> bytes) : bytes_(std::move(bytes)) {}

    bool open() override { return true; }
    long read(std::uint8_t* buffer, std::size_t length) override {
        std::size_t count = std::min(length, bytes_->size() - offset_);
        if (count > 0)
            std::memcpy(buffer, bytes_->data() + offset_, count);
        offset_ += count;
        return static_cast<long>(count);
    }
    void close() override {}
    ErrorPtr error() const override { return nullptr; }

  private:
    std::shared_ptr<const Bytes> bytes_;
    std::size_t offset_ = 0;
};

class FileInputStream final : public InputStream {
  public:
    explicit FileInputStream(std::filesystem::path path) : path_(std::move(path)) {}
    ~FileInputStream() override { close(); }

    bool open() override {
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            error_ = posixError(errno, "cannot open " + path_.string());
            return false;
        }
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
        return true;
    }
    long read(std::uint8_t* buffer, std::size_t length) override {
        for (;;) {
            ssize_t n = ::read(fd_, buffer, length);
            if (n >= 0)
                return static_cast<long>(n);
            if (errno != EINTR) {
                error_ = posixError(errno, "cannot read " + path_.string());
                return -1;
            }
        }
    }
    void close() override {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    ErrorPtr error() const override { return error_; }

    int fd() const { return fd_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
    ErrorPtr error_;
};

}  // namespace

HTHTTPBodyPart::~HTHTTPBodyPart() {
    if (streamState_ == StreamState::Open || streamState_ == StreamState::AtEnd)
        inputStream_->close();
}

std::unique_ptr<HTHTTPBodyPart> HTHTTPBodyPart::copy() const {
    auto part = std::make_unique<HTHTTPBodyPart>();
    part->stringEncoding = stringEncoding;
    part->headers = headers;
    part->boundary = boundary;
    part->body = body;
    part->bodyContentLength = bodyContentLength;
    return part;
}

const InputStreamPtr& HTHTTPBodyPart::inputStream() {
    if (!inputStream_) {
        if (auto* bytes = std::get_if<std::shared_ptr<const Bytes>>(&body); bytes && *bytes) {
            inputStream_ = std::make_shared<BytesInputStream>(*bytes);
        } else if (auto* url = std::get_if<Url>(&body)) {
            inputStream_ = std::make_shared<FileInputStream>(url->filePath());
        } else if (auto* stream = std::get_if<InputStreamPtr>(&body); stream && *stream) {
            inputStream_ = *stream;
        } else {
            inputStream_ = std::make_shared<BytesInputStream>(std::make_shared<const Bytes>());
        }
    }
    return inputStream_;
}

std::string HTHTTPBodyPart::stringForHeaders() const {
    std::string text;
    for (const auto& [field, value] : headers)
        text.append(field).append(": ").append(value).append(kHTMultipartCRLF);
    return text.append(kHTMultipartCRLF);
}

std::string HTHTTPBodyPart::leadingBoundaryText() const {
    return hasInitialBoundary ? HTMultipartFormInitialBoundary(boundary)
                              : HTMultipartFormEncapsulationBoundary(boundary);
}

std::uint64_t HTHTTPBodyPart::contentLength() const {
    std::uint64_t length = leadingBoundaryText().size() + stringForHeaders().size();
    length += bodyContentLength;
    if (hasFinalBoundary)
        length += HTMultipartFormFinalBoundary(boundary).size();
    return length;
}

bool HTHTTPBodyPart::hasBytesAvailable() const {
    // A failed part still has its failure to report: wherever the read that opened its body
    // ended, the next read must return it instead of passing on to the next part.
    return phase_ == Phase::FinalBoundary || streamState_ == StreamState::NotOpen ||
           streamState_ == StreamState::Open || streamState_ == StreamState::Failed;
}

long HTHTTPBodyPart::read(std::uint8_t* buffer, std::size_t length) {
    if (streamState_ == StreamState::Failed)
        return -1;
    std::size_t total = 0;
    if (phase_ == Phase::Boundary)
        total += readText(leadingBoundaryText(), buffer, length);
    if (phase_ == Phase::Headers)
        total += readText(stringForHeaders(), buffer + total, length - total);
    if (stopsBeforeFileBody_ && isAtFileBody())
        return static_cast<long>(total);
    // A read of 0 bytes means the end of a stream, so the body is asked only when there is room.
    if (phase_ == Phase::Body && total < length) {
        if (streamState_ == StreamState::Failed)
            return -1;
        long n = inputStream_->read(buffer + total, length - total);
        if (n < 0) {
            fail("cannot read the body of a multipart part");
            return -1;
        }
        if (n == 0) {
            streamState_ = StreamState::AtEnd;
            transitionToNextPhase();
        }
        total += static_cast<std::size_t>(n);
    }
    if (phase_ == Phase::FinalBoundary) {
        total += readText(hasFinalBoundary ? HTMultipartFormFinalBoundary(boundary) : std::string(),
                          buffer + total, length - total);
    }
    return static_cast<long>(total);
}

std::size_t HTHTTPBodyPart::readText(const std::string& text, std::uint8_t* buffer,
                                     std::size_t length) {
    std::size_t count = std::min(text.size() - phaseReadOffset_, length);
    std::memcpy(buffer, text.data() + phaseReadOffset_, count);
    phaseReadOffset_ += count;
    if (phaseReadOffset_ >= text.size())
        transitionToNextPhase();
    return count;
}

void HTHTTPBodyPart::transitionToNextPhase() {
    switch (phase_) {
        case Phase::Boundary:
            phase_ = Phase::Headers;
            break;
        case Phase::Headers:
            openBody();
            phase_ = Phase::Body;
            break;
        case Phase::Body:
            inputStream_->close();
            if (streamState_ != StreamState::Failed)
                streamState_ = StreamState::Closed;
            phase_ = Phase::FinalBoundary;
            break;
        case Phase::FinalBoundary:
            phase_ = Phase::Boundary;
            break;
    }
    phaseReadOffset_ = 0;
}

bool HTHTTPBodyPart::isAtFileBody() const {
    return phase_ == Phase::Body && streamState_ == StreamState::Open &&
           dynamic_cast<const FileInputStream*>(inputStream_.get());
}

HTHTTPBodyPart::CopyResult HTHTTPBodyPart::copyFileBodyTo(int fd) {
    auto* file = dynamic_cast<FileInputStream*>(inputStream_.get());
    if (!file || !isAtFileBody())
        return CopyResult::Unsupported;
    bool copied = false;
    for (;;) {
        ssize_t n = ::copy_file_range(file->fd(), nullptr, fd, nullptr, std::size_t{1} << 30, 0);
        if (n > 0) {
            copied = true;
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (!copied &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            return CopyResult::Unsupported;
        }
        error_ = posixError(errno, "cannot copy " + file->path().string());
        streamState_ = StreamState::Failed;
        return CopyResult::Failed;
    }
    streamState_ = StreamState::AtEnd;
    transitionToNextPhase();
    return CopyResult::Copied;
}

void HTHTTPBodyPart::fail(const char* what) {
    streamState_ = StreamState::Failed;
    // A stream that fails without saying why still must not pass for a finished body.
    error_ = inputStream_->error() ? inputStream_->error() : posixError(EIO, what);
}

bool HTHTTPBodyPart::openBody() {
    const InputStreamPtr& stream = inputStream();
    if (!stream->open()) {
        fail("cannot open the body of a multipart part");
        return false;
    }
    streamState_ = StreamState::Open;
    return true;
}

}  // namespace quarra
