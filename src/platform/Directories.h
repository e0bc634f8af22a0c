#pragma once
// Where the host's data lives: $XDG_DATA_HOME (default ~/.local/share) / <host bundle identifier>,
// with the application-support and Documents folders inside. Nothing here creates a folder.
#include <filesystem>

namespace quarra {

// $XDG_DATA_HOME, or ~/.local/share when it is unset or not absolute.
std::filesystem::path dataHomeDirectory();
// The host's own folder: data home / main bundle identifier.
std::filesystem::path hostDataDirectory();
std::filesystem::path applicationSupportDirectory();
std::filesystem::path documentsDirectory();

}  // namespace quarra
