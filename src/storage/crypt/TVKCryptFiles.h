#pragma once
// Files in and out of the encrypted data format: the streaming copy behind the crypt manager's file
// operations, and the errors they report. Output never lands half-written: it goes to a temporary
// file beside the destination that replaces the destination only once complete, so a failure leaves
// the destination as it was (and a failed decryption leaves no unauthenticated plaintext behind).
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/Error.h"

namespace quarra::cryptfiles {

// Bytes read and processed at a time: a streaming copy holds one chunk and its output.
inline constexpr std::size_t kChunkSize = 32768;

// TVKCryptographyErrorDomain code -5 with the description "<what>: <strerror(code)>", `what` taken
// through the SDK's string table.
ErrorPtr fileError(std::string_view what, int code);
inline constexpr const char* kReadFailed = "An error occurred reading from file";
inline constexpr const char* kSaveFailed = "An error occurred saving file";

// An open file descriptor, closed with the object. Movable, not copyable.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();

  private:
    int fd_;
};

// Opens a regular file for reading. A missing path, a directory or anything else that is not a
// regular file gives -5 "Invalid file path"; a file that cannot be opened gives the read error.
FileDescriptor openSource(const std::filesystem::path& path, ErrorPtr* error);

// Reads up to `length` bytes, retrying interrupted calls: the count, 0 at the end, -1 with errno.
long readSome(int fd, std::uint8_t* buffer, std::size_t length);

// Streams `source` to its end through the format (encrypting or decrypting with `password`) into a
// temporary file beside `destination`, then renames it over `destination`. With `durable` the data
// and the rename are synced to disk first. Null on success; otherwise the read, write or format
// error, and `destination` is untouched. `destination` may be the source's own path. The output
// gets the permission bits `mode`, or else those of the file it replaces, or else 0600.
ErrorPtr copy(FileDescriptor source, const std::filesystem::path& destination,
              std::string_view password, bool encrypt, bool durable,
              std::optional<mode_t> mode = std::nullopt);

}  // namespace quarra::cryptfiles
