#pragma once
// A multipart body as a stream: reads its parts out one after another with their boundaries, never
// holding more than the caller's buffer, so a body of any size streams from its files and streams.
// A body is read once; copy() gives a fresh one over the same parts. One reader at a time.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "quarra/InputStream.h"
#include "transport/HTHTTPBodyPart.h"

namespace quarra {

class HTMultipartBodyStream final : public InputStream {
  public:
    enum class Status { NotOpen, Open, Closed };

    explicit HTMultipartBodyStream(unsigned long stringEncoding);

    unsigned long stringEncoding() const { return stringEncoding_; }
    const std::vector<std::unique_ptr<HTHTTPBodyPart>>& HTTPBodyParts() const { return parts_; }
    void appendHTTPBodyPart(std::unique_ptr<HTHTTPBodyPart> part);
    // Marks the first part as carrying the initial boundary and the last the final one.
    void setInitialAndFinalBoundaries();
    bool isEmpty() const { return parts_.empty(); }
    // The body's length from the parts' declared lengths: the form's Content-Length.
    std::uint64_t contentLength() const;

    // Most bytes one read returns (no limit by default), and the pause after each piece taken from
    // a part.
    std::uint64_t numberOfBytesInPacket() const { return numberOfBytesInPacket_; }
    void setNumberOfBytesInPacket(std::uint64_t bytes) { numberOfBytesInPacket_ = bytes; }
    double delay() const { return delay_; }
    void setDelay(double seconds) { delay_ = seconds; }

    // A new unopened body over copies of the parts, with the same encoding (not the throttling).
    std::shared_ptr<HTMultipartBodyStream> copy() const;

    Status streamStatus() const { return status_; }
    // True exactly while the stream is open.
    bool hasBytesAvailable() const { return status_ == Status::Open; }

    bool open() override;
    // Fills `buffer` across parts and boundaries as far as it can. 0 at the end of the body (and
    // when closed); -1 once a part's stream has failed, so a broken part never passes for a short
    // body: every later read fails too.
    long read(std::uint8_t* buffer, std::size_t length) override;
    void close() override;
    ErrorPtr error() const override;

    // Reads the whole body into the file at `path` (created or truncated, readable by the user
    // only), from where it is now. Returns null on success, else why the body could not be read or
    // the file not written; a failed write leaves no file behind.
    [[nodiscard]] ErrorPtr writeToFile(const std::filesystem::path& path) { return writeToFile(*this, path); }
    [[nodiscard]] static ErrorPtr writeToFile(InputStream& stream, const std::filesystem::path& path);

  private:
    // Copies a file body that the current part stands at straight to `fd`; false when it failed.
    bool copyFileBody(int fd);

    const unsigned long stringEncoding_;
    std::vector<std::unique_ptr<HTHTTPBodyPart>> parts_;
    std::size_t nextPart_ = 0;
    HTHTTPBodyPart* currentPart_ = nullptr;
    std::uint64_t numberOfBytesInPacket_ = INT64_MAX;
    double delay_ = 0;
    Status status_ = Status::NotOpen;
    // While a writer to a file reads the body: that file, which file bodies are copied to directly.
    int directOutput_ = -1;

    mutable std::mutex errorMutex_;
    ErrorPtr streamError_;
};

using HTMultipartBodyStreamPtr = std::shared_ptr<HTMultipartBodyStream>;

}  // namespace quarra
