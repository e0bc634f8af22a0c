#pragma once
// Files in and out of the encrypted data format: the streaming copy behind the crypt manager's file
// operations, and the errors they report. Output never lands half-written: it goes to a temporary
// file beside the destination that replaces the destination only once complete, so a failure leaves
// the destination as it was (and a failed decryption leaves no unauthenticated plaintext behind).
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "quarra/Error.h"
#include "platform/Files.h"
#include "quarra/Result.h"

namespace quarra::cryptfiles {

// Bytes read and processed at a time: a streaming copy holds one chunk and its output.
inline constexpr std::size_t kChunkSize = 32768;

// TVKCryptographyErrorDomain code -5 with the description "<what>: <strerror(code)>", `what` taken
// through the SDK's string table.
ErrorPtr fileError(std::string_view what, int code);
inline constexpr const char* kReadFailed = "An error occurred reading from file";
inline constexpr const char* kSaveFailed = "An error occurred saving file";

using quarra::FileDescriptor;

// The folder that lists the temporary files of copies under way (created 0700 on first use), so
// that those a crash left behind are found at the next start.
std::filesystem::path partialFileJournal();
// Removes what copies of a process that died left behind: temporary files that may hold partial
// plaintext. Run once at start-up, before any copy.
void sweepPartialFiles();

// Opens a regular file for reading. A missing path, a directory or anything else that is not a
// regular file gives -5 "Invalid file path"; a file that cannot be opened gives the read error.
Result<FileDescriptor> openSource(const std::filesystem::path& path);

// Reads up to `length` bytes, retrying interrupted calls: the count, 0 at the end, -1 with errno.
long readSome(int fd, std::uint8_t* buffer, std::size_t length);

// Streams `source` to its end through the format (encrypting or decrypting with `password`) into a
// temporary file beside `destination` (0600 until complete, listed in partialFileJournal()), then
// renames it over `destination`, keeping the destination's mode (0600 for a new file). With `durable` the data
// and the rename are synced to disk first. Null on success; otherwise the read, write or format
// error, and `destination` is untouched. `destination` may be the source's own path. The output
// gets the permission bits `mode`, or else those of the file it replaces, or else 0600.
[[nodiscard]] ErrorPtr copy(FileDescriptor source, const std::filesystem::path& destination,
                            std::string_view password, bool encrypt, bool durable,
                            std::optional<mode_t> mode = std::nullopt);

}  // namespace quarra::cryptfiles
