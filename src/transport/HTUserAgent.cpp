#include "transport/HTUserAgent.h"

#include <sys/utsname.h>

#include "platform/Bundle.h"

namespace quarra {

std::string HTDefaultUserAgent() {
    Bundle& bundle = Bundle::main();
    auto infoText = [&bundle](const char* key, const char* fallbackKey) {
        Json value = bundle.objectForInfoDictionaryKey(key);
        if (!value.is_string())
            value = bundle.objectForInfoDictionaryKey(fallbackKey);
        return value.is_string() ? value.get<std::string>() : std::string();
    };
    utsname system{};
    uname(&system);
    std::string text = infoText(BundleExecutableKey, BundleIdentifierKey) + "/" +
                       infoText(BundleShortVersionKey, BundleVersionKey) + " (" + system.machine +
                       "; " + system.sysname + " " + system.release + "; Scale/1.00)";
    // Header values are ASCII; without a transliteration table, letters beyond it are dropped.
    std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return text;
}

}  // namespace quarra
