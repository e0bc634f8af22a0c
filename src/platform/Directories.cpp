#include "platform/Directories.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "quarra/Bundle.h"

namespace quarra {

std::filesystem::path dataHomeDirectory() {
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return xdg;
    const char* home = getenv("HOME");
    if (!home || *home != '/') {
        const passwd* entry = getpwuid(getuid());
        home = entry && entry->pw_dir ? entry->pw_dir : "/tmp";
    }
    return std::filesystem::path(home) / ".local" / "share";
}

std::filesystem::path hostDataDirectory() {
    return dataHomeDirectory() / Bundle::main().bundleIdentifier();
}

std::filesystem::path applicationSupportDirectory() {
    return hostDataDirectory() / "Application Support";
}

std::filesystem::path documentsDirectory() {
    return hostDataDirectory() / "Documents";
}

}  // namespace quarra
