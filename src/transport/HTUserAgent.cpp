#include "transport/HTUserAgent.h"

#include <errno.h>
#include <sys/utsname.h>

namespace quarra {

std::string HTDefaultUserAgent() {
    utsname system{};
    uname(&system);
    std::string text = std::string(program_invocation_short_name) + "/0 (" + system.machine + "; " +
                       system.sysname + " " + system.release + "; Scale/1.00)";
    // Header values are ASCII; without a transliteration table, letters beyond it are dropped.
    std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return text;
}

}  // namespace quarra
