#include "quarra/UrlRequest.h"

#include <algorithm>
#include <cctype>

namespace quarra {

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool CaseInsensitiveLess::equal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string> UrlRequest::valueForHTTPHeaderField(std::string_view field) const {
    auto it = headers.find(field);
    if (it == headers.end()) {
        return std::nullopt;
    }
    return it->second;
}

void UrlRequest::setValue(std::optional<std::string> value, std::string_view field) {
    auto it = headers.find(field);
    if (!value) {
        if (it != headers.end()) {
            headers.erase(it);
        }
    } else if (it != headers.end()) {
        it->second = std::move(*value);
    } else {
        headers.emplace(std::string(field), std::move(*value));
    }
}

void UrlRequest::addValue(std::string_view value, std::string_view field) {
    auto it = headers.find(field);
    if (it == headers.end()) {
        headers.emplace(std::string(field), std::string(value));
    } else {
        it->second.append(", ").append(value);
    }
}

}  // namespace quarra
