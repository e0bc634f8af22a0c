#pragma once
// The file operations that data safety depends on: whole-file reads that tell "missing" from
// "unreadable", and atomic replacement (temp file, fsync, rename, fsync of the folder) so a crash
// leaves either the old or the new contents, never a torn file.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "platform/FileDescriptor.h"
#include "quarra/Json.h"

namespace quarra {

// File attributes are a JSON object; this key holds the permission bits (a number) of a file to be
// created.
inline constexpr const char* FilePosixPermissionsKey = "posixPermissions";

// The permission bits that file attributes ask for (FilePosixPermissionsKey, an integer); nothing
// when they ask for none.
std::optional<mode_t> posixPermissions(const Json& attributes);

// An error of PosixErrorDomain with `code` and the text "<what>: <strerror>".
ErrorPtr posixError(int code, std::string_view what);

namespace files {

// The whole file, or the error that prevented reading it (code ENOENT when the file is missing).
Result<std::string> read(const std::filesystem::path& path);

// Replaces `path` with `contents` atomically (through an AtomicFile), the new file having
// permission bits `mode`. The folder must exist. Returns null on success.
[[nodiscard]] ErrorPtr writeAtomically(const std::filesystem::path& path,
                                       std::string_view contents, mode_t mode = 0600);

// Creates `path` and its missing parents with `mode`; existing folders are left as they are.
// Returns null on success, also when the folder already existed.
[[nodiscard]] ErrorPtr createDirectories(const std::filesystem::path& path, mode_t mode = 0700);

// Whether `path` names a temporary file of an AtomicFile (its name carries PartialFileMarker).
bool isPartialFile(const std::filesystem::path& path);

// Removes the temporary files that a process which died while writing left behind, as listed in
// `journal` (see AtomicFile), and their entries. Only files named as partial files are removed,
// and none of a process still running. Returns how many were removed.
std::size_t sweepPartialFiles(const std::filesystem::path& journal);

// Removes the temporary files of AtomicFiles in `folder` (of the destination named `of` only, when
// given), which a process killed while writing left behind. Only for a caller that holds the lock
// every writer of those files takes, so that none of them can be live. Returns how many went.
std::size_t removePartialFiles(const std::filesystem::path& folder, std::string_view of = {});

}  // namespace files

// Marks the names of temporary files that may be swept: ".<name>.quarra-partial-<random>".
inline constexpr const char* PartialFileMarker = ".quarra-partial-";

// A new version of a file, written beside it and renamed over it only once complete, so readers
// and a crash see either the old or the whole new contents. The temporary file is created 0600
// whatever the final mode (it may hold plaintext or secrets), has a unique name carrying
// PartialFileMarker, and is removed when the object goes without commit(). Given a `journal`
// folder, the temporary file is listed there while it exists, for sweepPartialFiles() after a
// crash. Not to be shared between threads.
class AtomicFile {
  public:
    AtomicFile(std::filesystem::path destination,
               std::optional<std::filesystem::path> journal = std::nullopt);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    // Null when the temporary file is open; why it could not be made otherwise.
    const ErrorPtr& error() const { return error_; }
    int fd() const { return fd_.get(); }
    const std::filesystem::path& temporaryPath() const { return temporary_; }

    // Appends all of `data`; null on success.
    [[nodiscard]] ErrorPtr write(std::string_view data);
    // Gives the file `mode` (by default the destination's current mode, 0600 for a new file),
    // syncs it, renames it over the destination and syncs the folder (the two syncs only when
    // `durable`). Null on success; on failure the temporary file is gone and the destination as
    // it was.
    [[nodiscard]] ErrorPtr commit(std::optional<mode_t> mode = std::nullopt, bool durable = true);

  private:
    void discard();

    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    std::filesystem::path journalEntry_;
    FileDescriptor fd_;
    ErrorPtr error_;
};

}  // namespace quarra
