#include "platform/MimeTypes.h"

#include <algorithm>
#include <sstream>
#include <unordered_map>

#include "platform/Files.h"

namespace quarra {
namespace {

struct MimeTable {
    std::unordered_map<std::string, std::string> typeByExtension;
    std::unordered_map<std::string, std::string> extensionByType;

    void add(const std::string& type, const std::string& extension) {
        // The first line naming an extension wins, and a type's first extension is its preferred
        // one.
        typeByExtension.emplace(extension, type);
        extensionByType.emplace(type, extension);
    }
};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

MimeTable loadTable() {
    MimeTable table;
    std::istringstream lines(files::read("/etc/mime.types").valueOr(""));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string type, extension;
        if (!(fields >> type))
            continue;
        type = lower(type);
        while (fields >> extension)
            table.add(type, lower(extension));
    }
    if (table.typeByExtension.empty()) {
        // Without the system table, still name the types the SDK meets most.
        for (auto [type, extension] : {std::pair{"application/pdf", "pdf"},
                                       {"application/json", "json"},
                                       {"text/plain", "txt"},
                                       {"text/html", "html"},
                                       {"image/jpeg", "jpg"},
                                       {"image/png", "png"}}) {
            table.add(type, extension);
        }
    }
    return table;
}

const MimeTable& table() {
    static const MimeTable* instance = new MimeTable(loadTable());
    return *instance;
}

}  // namespace

std::string mimeTypeForPathExtension(std::string_view extension) {
    auto it = table().typeByExtension.find(lower(extension));
    if (it == table().typeByExtension.end() || it->second.empty())
        return "application/octet-stream";
    return it->second;
}

std::optional<std::string> pathExtensionForMimeType(std::string_view mimeType) {
    auto it = table().extensionByType.find(lower(mimeType));
    if (it == table().extensionByType.end())
        return std::nullopt;
    return it->second;
}

}  // namespace quarra
