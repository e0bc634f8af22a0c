#include "transport/HTUserAgent.h"

#include <sys/utsname.h>
#include <unicode/ustring.h>
#include <unicode/utrans.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "quarra/Bundle.h"

namespace quarra {
namespace {

std::optional<std::string> asciiTransliteration(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    static constexpr UChar rules[] = u"Any-Latin; Latin-ASCII; [:^ASCII:] Remove";
    std::unique_ptr<UTransliterator, decltype(&utrans_close)> transliterator(
        utrans_openU(rules, -1, UTRANS_FORWARD, nullptr, 0, nullptr, &status), &utrans_close);
    if (U_FAILURE(status))
        return std::nullopt;

    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
    status = U_ZERO_ERROR;  // the size query reports an overflow
    // Transliteration may lengthen the text ("ß" -> "ss"); leave it room.
    std::vector<UChar> buffer(static_cast<size_t>(length) * 4 + 16);
    u_strFromUTF8(buffer.data(), static_cast<int32_t>(buffer.size()), &length, text.data(),
                  static_cast<int32_t>(text.size()), &status);
    int32_t limit = length;
    utrans_transUChars(transliterator.get(), buffer.data(), &length,
                       static_cast<int32_t>(buffer.size()), 0, &limit, &status);
    if (U_FAILURE(status))
        return std::nullopt;

    std::string ascii(static_cast<size_t>(length) * 3, '\0');
    int32_t written = 0;
    u_strToUTF8(ascii.data(), static_cast<int32_t>(ascii.size()), &written, buffer.data(), length,
                &status);
    if (U_FAILURE(status))
        return std::nullopt;
    ascii.resize(static_cast<size_t>(written));
    return ascii;
}

}  // namespace

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
    if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; }))
        return text;
    // Header values are ASCII: letters beyond it become their nearest Latin ones ("ö" -> "o").
    return asciiTransliteration(text).value_or(text);
}

}  // namespace quarra
