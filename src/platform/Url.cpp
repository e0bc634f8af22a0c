#include "quarra/Url.h"

#include <algorithm>
#include <vector>

namespace quarra {
namespace {

// ASCII only: the <cctype> functions follow the locale and would pass 8-bit letters unescaped.
bool isAsciiAlpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool isAsciiAlnum(unsigned char c) {
    return isAsciiAlpha(c) || isAsciiDigit(c);
}
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isUnreserved(unsigned char c) {
    return isAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// RFC 3986 5.2.4.
std::string removeDotSegments(std::string_view path) {
    std::string in(path), out;
    auto popSegment = [&out] {
        size_t slash = out.rfind('/');
        out.erase(slash == std::string::npos ? 0 : slash);
    };
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.erase(0, 3);
        } else if (in.starts_with("./")) {
            in.erase(0, 2);
        } else if (in.starts_with("/./")) {
            in.replace(0, 3, "/");
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../")) {
            in.replace(0, 4, "/");
            popSegment();
        } else if (in == "/..") {
            in = "/";
            popSegment();
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            size_t end = in.find('/', in.front() == '/' ? 1 : 0);
            out += in.substr(0, end);
            in.erase(0, end);
        }
    }
    return out;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    // scheme ":" hier-part [ "?" query ] [ "#" fragment ]
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !isAsciiAlpha(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    for (size_t i = 0; i < colon; ++i) {
        unsigned char c = text[i];
        if (!isAsciiAlnum(c) && c != '+' && c != '-' && c != '.')
            return std::nullopt;
    }
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7f)
            return std::nullopt;
    }
    Url url;
    url.text_ = std::string(text);
    url.scheme_ = std::string(text.substr(0, colon));
    std::transform(url.scheme_.begin(), url.scheme_.end(), url.scheme_.begin(), asciiLower);
    std::string_view rest = text.substr(colon + 1);
    if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (size_t question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        url.hasAuthority_ = true;
        rest.remove_prefix(2);
        size_t slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        url.rawAuthority_ = std::string(authority);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
        if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
            url.hasUserInfo_ = true;
            std::string_view info = authority.substr(0, at);
            size_t sep = info.find(':');
            url.user_ = percentDecode(info.substr(0, sep));
            if (sep != std::string_view::npos)
                url.password_ = percentDecode(info.substr(sep + 1));
            authority = authority.substr(at + 1);
        }
        std::string_view hostPart = authority;
        std::string_view portPart;
        if (authority.starts_with('[')) {
            size_t close = authority.find(']');
            if (close == std::string_view::npos)
                return std::nullopt;
            hostPart = authority.substr(1, close - 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':')
                    return std::nullopt;
                portPart = after.substr(1);
            }
        } else if (size_t c = authority.rfind(':'); c != std::string_view::npos) {
            hostPart = authority.substr(0, c);
            portPart = authority.substr(c + 1);
        }
        if (!portPart.empty()) {
            if (portPart.size() > 5 || !std::all_of(portPart.begin(), portPart.end(),
                                                    [](char c) { return isAsciiDigit(c); })) {
                return std::nullopt;
            }
            int port = std::stoi(std::string(portPart));
            if (port > 65535)
                return std::nullopt;
            url.port_ = port;
        }
        url.host_ = percentDecode(hostPart);
        std::transform(url.host_.begin(), url.host_.end(), url.host_.begin(), asciiLower);
    }
    url.path_ = std::string(rest);
    return url;
}

Url Url::fileUrl(const std::filesystem::path& path) {
    std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
    return *parse("file://" + percentEncode(absolute, "/!$&'()*+,;=:@"));
}

std::string Url::hostAndPort() const {
    std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return port_ ? host + ":" + std::to_string(*port_) : host;
}

bool Url::isFileUrl() const {
    return scheme_ == "file";
}

std::filesystem::path Url::filePath() const {
    return percentDecode(path_);
}

std::string Url::lastPathComponent() const {
    std::string_view path = path_;
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return percentDecode(last);
}

Url Url::appendingPathComponent(std::string_view component) const {
    Url url = *this;
    if (url.path_.empty() || url.path_.back() != '/')
        url.path_ += '/';
    url.path_ += percentEncode(component, "!$&'()*+,;=:@");
    url.query_.reset();
    url.fragment_.reset();
    url.recompose();
    return url;
}

Url Url::withQuery(std::optional<std::string> query) const {
    Url url = *this;
    url.query_ = std::move(query);
    url.recompose();
    return url;
}

std::optional<Url> Url::resolve(std::string_view reference) const {
    if (auto absolute = parse(reference)) {
        Url url = *absolute;
        url.path_ = removeDotSegments(url.path_);
        url.recompose();
        return url;
    }
    // Parse the reference's parts against a dummy scheme.
    auto ref = parse("x:" + std::string(reference));
    if (!ref)
        return std::nullopt;
    Url url = *this;
    url.fragment_ = ref->fragment_;
    if (ref->hasAuthority_) {
        url.hasAuthority_ = true;
        url.rawAuthority_ = ref->rawAuthority_;
        url.host_ = ref->host_;
        url.port_ = ref->port_;
        url.user_ = ref->user_;
        url.password_ = ref->password_;
        url.hasUserInfo_ = ref->hasUserInfo_;
        url.path_ = removeDotSegments(ref->path_);
        url.query_ = ref->query_;
    } else if (ref->path_.empty()) {
        if (ref->query_)
            url.query_ = ref->query_;
    } else {
        if (ref->path_.front() == '/') {
            url.path_ = removeDotSegments(ref->path_);
        } else {
            std::string merged =
                hasAuthority_ && path_.empty() ? "/" : path_.substr(0, path_.rfind('/') + 1);
            url.path_ = removeDotSegments(merged + ref->path_);
        }
        url.query_ = ref->query_;
    }
    url.recompose();
    return url;
}

void Url::recompose() {
    std::string text = scheme_ + ":";
    if (hasAuthority_) {
        text += "//";
        if (hasUserInfo_) {
            text += percentEncode(user_, "!$&'()*+,;=");
            if (!password_.empty())
                text += ":" + percentEncode(password_, "!$&'()*+,;=");
            text += "@";
        }
        text += hostAndPort();
    }
    text += path_;
    if (query_)
        text += "?" + *query_;
    if (fragment_)
        text += "#" + *fragment_;
    text_ = std::move(text);
}

std::string Url::percentEncode(std::string_view text, std::string_view allowed) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (isUnreserved(c) ||
            (c != 0 && allowed.find(static_cast<char>(c)) != std::string_view::npos)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string Url::percentEncodedPathSegment(std::string_view text) {
    if (text == ".")
        return "%2E";
    if (text == "..")
        return "%2E%2E";
    return percentEncode(text);
}

std::string Url::percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<Url::QueryItem> Url::queryItems(std::string_view query) {
    std::vector<QueryItem> items;
    if (query.empty())
        return items;
    for (size_t start = 0; start <= query.size();) {
        size_t amp = std::min(query.find('&', start), query.size());
        std::string_view piece = query.substr(start, amp - start);
        size_t eq = piece.find('=');
        if (eq == std::string_view::npos) {
            items.emplace_back(percentDecode(piece), std::nullopt);
        } else {
            items.emplace_back(percentDecode(piece.substr(0, eq)),
                               percentDecode(piece.substr(eq + 1)));
        }
        start = amp + 1;
    }
    return items;
}

std::string Url::percentEncodedQuery(
    const std::vector<std::pair<std::string, std::string>>& items) {
    // The query characters of RFC 3986 besides the unreserved ones, less the two separators.
    static constexpr std::string_view kQueryCharacters = "!$'()*+,;:@/?";
    std::string query;
    for (const auto& [name, value] : items) {
        if (!query.empty())
            query += '&';
        query += percentEncode(name, kQueryCharacters) + '=' + percentEncode(value, kQueryCharacters);
    }
    return query;
}

}  // namespace quarra
