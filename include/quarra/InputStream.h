#pragma once
// A source of bytes read once from start to end: the body of a streamed upload. Multipart bodies
// and the decrypting file stream implement it. A stream is used by one thread at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "quarra/Error.h"

namespace quarra {

class RunLoop;

class InputStream {
  public:
    InputStream() = default;
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    virtual ~InputStream() = default;

    // False when the stream cannot be opened; error() then says why.
    virtual bool open() = 0;
    // Up to `length` bytes into `buffer`: the count read (> 0), 0 at the end, -1 on failure (see
    // error()). REQUIRES: open() succeeded.
    virtual long read(std::uint8_t* buffer, std::size_t length) = 0;
    virtual void close() = 0;
    // Why open() or read() failed; null otherwise.
    virtual ErrorPtr error() const = 0;

    // Direct access to bytes the stream already holds. No stream here lends its buffer: false,
    // and `buffer` and `length` are left as they are.
    virtual bool getBuffer(std::uint8_t** buffer, std::size_t* length) {
        (void)buffer;
        (void)length;
        return false;
    }
    // Where the stream would deliver its events. Readers of these streams poll and no stream
    // delivers events, so scheduling on a run loop, in any mode, leaves reading as it is.
    virtual void scheduleInRunLoop(RunLoop& runLoop, std::string_view mode) {
        (void)runLoop;
        (void)mode;
    }
    virtual void removeFromRunLoop(RunLoop& runLoop, std::string_view mode) {
        (void)runLoop;
        (void)mode;
    }
};

using InputStreamPtr = std::shared_ptr<InputStream>;

}  // namespace quarra
