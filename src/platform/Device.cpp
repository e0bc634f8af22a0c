#include "platform/Device.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/Directories.h"
#include "platform/Files.h"

namespace quarra {
namespace {

std::optional<std::string> randomUUID() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return std::nullopt;
    bytes[6] = (bytes[6] & 0x0f) | 0x40;  // version 4
    bytes[8] = (bytes[8] & 0x3f) | 0x80;  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return std::string(text);
}

bool isUUID(const std::string& text) {
    if (text.size() != 36)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

std::optional<std::string> readIdentifier(const std::filesystem::path& path) {
    auto text = files::read(path);
    if (!text)
        return std::nullopt;
    while (!text->empty() && std::isspace(static_cast<unsigned char>(text->back())))
        text->pop_back();
    return isUUID(*text) ? std::optional(std::move(*text)) : std::nullopt;
}

}  // namespace

std::optional<std::string> identifierForVendor() {
    // Never destroyed: a request may still ask for it while the process exits.
    static std::mutex mutex;
    static std::optional<std::string>& known = *new std::optional<std::string>();
    std::lock_guard lock(mutex);
    if (known)
        return known;
    std::filesystem::path folder = hostDataDirectory();
    std::filesystem::path path = folder / "device-identifier";
    if ((known = readIdentifier(path)))
        return known;
    auto made = randomUUID();
    if (!made || files::createDirectories(folder, 0700))
        return std::nullopt;
    // Written beside and linked into place, so two processes starting together agree on the one
    // that got there first.
    std::filesystem::path temp = folder / ("device-identifier." + std::to_string(::getpid()));
    if (files::writeAtomically(temp, *made + "\n", 0600))
        return std::nullopt;
    int linkError = ::link(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    if (linkError != 0 && linkError != EEXIST)
        return std::nullopt;
    known = readIdentifier(path);
    return known;
}

}  // namespace quarra
