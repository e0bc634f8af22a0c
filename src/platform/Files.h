#pragma once
// The file operations that data safety depends on: whole-file reads that tell "missing" from
// "unreadable", and atomic replacement (temp file, fsync, rename, fsync of the folder) so a crash
// leaves either the old or the new contents, never a torn file.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Json.h"

namespace quarra {

// File attributes are a JSON object; this key holds the permission bits (a number) of a file to be
// created.
inline constexpr const char* FilePosixPermissionsKey = "posixPermissions";

// The permission bits that file attributes ask for (FilePosixPermissionsKey, an integer); nothing
// when they ask for none.
std::optional<mode_t> posixPermissions(const Json& attributes);

// Domain of errors that carry an errno value as code.
inline constexpr const char* PosixErrorDomain = "quarra.posix";

// An error of PosixErrorDomain with `code` and the text "<what>: <strerror>".
ErrorPtr posixError(int code, std::string_view what);

namespace files {

// The whole file. On failure returns nothing and sets `error` (code ENOENT when the file is
// missing).
std::optional<std::string> read(const std::filesystem::path& path, ErrorPtr* error = nullptr);

// Replaces `path` with `contents` atomically, the new file having permission bits `mode`.
// The folder must exist. Returns null on success.
ErrorPtr writeAtomically(const std::filesystem::path& path, std::string_view contents,
                         mode_t mode = 0644);

// Creates `path` and its missing parents; existing folders are left as they are. Returns null on
// success, also when the folder already existed.
ErrorPtr createDirectories(const std::filesystem::path& path, mode_t mode = 0755);

}  // namespace files
}  // namespace quarra
