#pragma once
// One part of a multipart body: its leading boundary, its header block, its body (bytes, a file or
// a stream) and, on the last part, the final boundary. It reads itself out phase by phase, so a
// caller's buffer of any size may end in the middle of a boundary or header text and the next read
// goes on from there. A part is read by one thread at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "quarra/Bytes.h"
#include "quarra/InputStream.h"
#include "quarra/Url.h"
#include "quarra/UrlRequest.h"

namespace quarra {

class HTHTTPBodyPart {
  public:
    // Bytes, a file URL, or a stream that is read once; nothing reads as an empty body.
    using Body = std::variant<std::monostate, std::shared_ptr<const Bytes>, Url, InputStreamPtr>;

    HTHTTPBodyPart() = default;
    HTHTTPBodyPart(const HTHTTPBodyPart&) = delete;
    HTHTTPBodyPart& operator=(const HTHTTPBodyPart&) = delete;
    // Closes the body's stream when one was opened.
    ~HTHTTPBodyPart();

    // A fresh part with the same encoding, headers, boundary, body and declared length, ready to be
    // read from its start. A stream body is shared, so it yields only what the original left.
    std::unique_ptr<HTHTTPBodyPart> copy() const;

    unsigned long stringEncoding = 4;
    HttpHeaders headers;
    std::string boundary;
    Body body;
    // The declared body length: what the part adds to the form's Content-Length.
    std::uint64_t bodyContentLength = 0;
    bool hasInitialBoundary = false;
    bool hasFinalBoundary = false;

    // The stream over the body, made on first use and then kept.
    const InputStreamPtr& inputStream();
    // The header block: one "Name: value\r\n" line per field, then "\r\n".
    std::string stringForHeaders() const;
    // Leading boundary + header block + declared body length (+ final boundary on the last part).
    std::uint64_t contentLength() const;
    // True while the part has something left to read: its body has not ended, or its final
    // boundary is still due.
    bool hasBytesAvailable() const;
    // Up to `length` bytes of the part's remaining text into `buffer`: the count, 0 when nothing is
    // left, -1 when the body's stream fails (error() then says why).
    long read(std::uint8_t* buffer, std::size_t length);
    // Why the last read failed; null otherwise.
    ErrorPtr error() const { return error_; }

    // For writers to a file: with this set, read() stops where a file body begins, so the body
    // can go by copyFileBodyTo() without passing through the caller's buffer.
    void setStopsBeforeFileBody(bool value) { stopsBeforeFileBody_ = value; }
    // True when the part stands at the start of (or inside) a file body.
    bool isAtFileBody() const;
    // Copies the rest of a file body to `fd` inside the kernel, then moves on to the final
    // boundary. Unsupported (nothing copied) where the kernel cannot copy between the two files;
    // Failed, with error() set, when the file cannot be read or `fd` written.
    enum class CopyResult { Copied, Unsupported, Failed };
    CopyResult copyFileBodyTo(int fd);

  private:
    enum class Phase { Boundary = 1, Headers = 2, Body = 3, FinalBoundary = 4 };
    enum class StreamState { NotOpen, Open, AtEnd, Closed, Failed };

    std::string leadingBoundaryText() const;
    // Copies the unread rest of `text` (up to `length` bytes); moves on when it is all read.
    std::size_t readText(const std::string& text, std::uint8_t* buffer, std::size_t length);
    void transitionToNextPhase();
    bool openBody();
    void fail(const char* what);

    Phase phase_ = Phase::Boundary;
    std::size_t phaseReadOffset_ = 0;
    // The texts of the current phase, made when the phase begins.
    std::string phaseText_;
    InputStreamPtr inputStream_;
    StreamState streamState_ = StreamState::NotOpen;
    ErrorPtr error_;
    bool stopsBeforeFileBody_ = false;
};

}  // namespace quarra
