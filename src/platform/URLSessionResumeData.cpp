#include "platform/URLSessionResumeData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "quarra/Json.h"
#include "platform/URLError.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

constexpr const char* Format = "quarra.urlsession.resume";
constexpr int Version = 1;
constexpr const char* PartialPrefix = "quarra-download-";

// Resume data is kept by the host, so request headers that may carry a credential stay out of it;
// the session's own additional headers are added again when the download goes on.
bool mayHoldSecret(const std::string& name) {
    std::string lower;
    for (char c : name) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const char* word : {"auth", "cookie", "token", "session", "key", "secret", "password"}) {
        if (lower.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

fs::path partialFolder() {
    std::error_code ec;
    fs::path folder = fs::temp_directory_path(ec);
    return ec ? fs::path("/tmp") : folder;
}

ErrorPtr refused(const std::string& why) {
    return makeURLError(URLErrorCannotDecodeRawData, Url(), "resume data: " + why);
}

}  // namespace

fs::path partialDownloadPattern() {
    return partialFolder() / (std::string(PartialPrefix) + "XXXXXX");
}

Bytes URLSessionResumeData::encode() const {
    Json headers = Json::object();
    for (const auto& [name, value] : request.headers) {
        if (!mayHoldSecret(name)) {
            headers[name] = value;
        }
    }
    Json document = {
        {"format", Format},       {"version", Version},          {"url", request.url.string()},
        {"headers", headers},     {"file", file.string()},       {"offset", offset},
        {"entityTag", entityTag}, {"lastModified", lastModified}};
    std::string text = document.dump();
    return Bytes(text.begin(), text.end());
}

Result<URLSessionResumeData> URLSessionResumeData::decode(const Bytes& data) {
    // Resume data is a few hundred bytes; far more is not ours.
    if (data.empty() || data.size() > 64 * 1024) {
        return refused("empty or too long");
    }
    std::string text(data.begin(), data.end());
    Result<Json> parsed = parseJson(text, 4);
    if (!parsed || !parsed->is_object()) {
        return refused("not a JSON object");
    }
    const Json& d = *parsed;
    auto string = [&d](const char* key) -> const std::string* {
        auto it = d.find(key);
        return it != d.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
    };
    const std::string* format = string("format");
    if (!format || *format != Format) {
        return refused("unknown format");
    }
    auto version = d.find("version");
    if (version == d.end() || !version->is_number_integer() || version->get<int>() != Version) {
        return refused("unsupported version");
    }
    URLSessionResumeData resume;
    const std::string* url = string("url");
    std::optional<Url> parsedUrl = url ? Url::parse(*url) : std::nullopt;
    if (!parsedUrl || (parsedUrl->scheme() != "https" && parsedUrl->scheme() != "http") ||
        parsedUrl->host().empty()) {
        return refused("no HTTP(S) URL");
    }
    resume.request = UrlRequest(*parsedUrl);
    auto headers = d.find("headers");
    if (headers == d.end() || !headers->is_object()) {
        return refused("no headers");
    }
    for (const auto& [name, value] : headers->items()) {
        if (!value.is_string() || name.empty() || mayHoldSecret(name) ||
            name.find_first_of(":\r\n") != std::string::npos ||
            value.get_ref<const std::string&>().find_first_of("\r\n") != std::string::npos) {
            return refused("a header that cannot be sent");
        }
        resume.request.setValue(value.get<std::string>(), name);
    }
    const std::string* file = string("file");
    if (!file) {
        return refused("no partial file");
    }
    resume.file = *file;
    auto offset = d.find("offset");
    if (offset == d.end() || !offset->is_number_integer() || offset->get<std::int64_t>() <= 0) {
        return refused("no byte count");
    }
    resume.offset = offset->get<std::int64_t>();
    const std::string* tag = string("entityTag");
    const std::string* modified = string("lastModified");
    if (!tag || !modified || (tag->empty() && modified->empty()) ||
        tag->find_first_of("\r\n") != std::string::npos ||
        modified->find_first_of("\r\n") != std::string::npos) {
        return refused("no validator");
    }
    resume.entityTag = *tag;
    resume.lastModified = *modified;
    return resume;
}

Result<FileDescriptor> openPartialDownload(const fs::path& file, std::int64_t expectedSize,
                                           const Url& url) {
    auto gone = [&](const std::string& why) {
        return makeURLError(URLErrorFileDoesNotExist, url, "partial download: " + why);
    };
    if (!file.is_absolute() || file.lexically_normal() != file ||
        file.parent_path() != partialFolder() ||
        file.filename().string().rfind(PartialPrefix, 0) != 0) {
        return gone("not a partial download of this layer");
    }
    FileDescriptor fd(::open(file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        return gone(std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        info.st_nlink != 1) {
        return gone("not a partial download of this layer");
    }
    if (info.st_size != expectedSize) {
        return gone("changed since the download was cancelled");
    }
    if (::fchmod(fd.get(), 0600) != 0 || ::lseek(fd.get(), 0, SEEK_END) != expectedSize) {
        return gone(std::strerror(errno));
    }
    return fd;
}

}  // namespace quarra
