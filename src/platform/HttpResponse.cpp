#include "quarra/HttpResponse.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace quarra {
namespace {

std::string trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    return begin == std::string_view::npos ? std::string()
                                           : std::string(text.substr(begin, end - begin + 1));
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

HttpResponse::HttpResponse(Url url, int statusCode, HttpHeaders headers)
    : url(std::move(url)), statusCode(statusCode), headers(std::move(headers)) {
    if (auto type = valueForHTTPHeaderField("Content-Type")) {
        std::string_view rest = *type;
        size_t semicolon = rest.find(';');
        mimeType = lower(trim(rest.substr(0, semicolon)));
        while (semicolon != std::string_view::npos) {
            rest = rest.substr(semicolon + 1);
            semicolon = rest.find(';');
            std::string parameter = trim(rest.substr(0, semicolon));
            size_t equals = parameter.find('=');
            if (equals != std::string::npos &&
                lower(trim(parameter.substr(0, equals))) == "charset") {
                std::string value = trim(parameter.substr(equals + 1));
                if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                    value = value.substr(1, value.size() - 2);
                }
                textEncodingName = lower(value);
            }
        }
    }
    if (auto length = valueForHTTPHeaderField("Content-Length")) {
        std::string text = trim(*length);
        std::int64_t value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc() && end == text.data() + text.size() && value >= 0) {
            expectedContentLength = value;
        }
    }
}

std::optional<std::string> HttpResponse::valueForHTTPHeaderField(std::string_view field) const {
    auto it = headers.find(field);
    if (it == headers.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace quarra
