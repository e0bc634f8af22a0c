#include "sso/SSOURLQueryComponent.h"

#include <algorithm>

#include "platform/Utf8.h"
#include "sso/SSODescription.h"

namespace quarra {

std::atomic<bool> gOIDURLQueryComponentForceIOS7Handling{false};

SSOURLQueryComponent::SSOURLQueryComponent(const Url& url) {
    std::string_view query = url.query() ? std::string_view(*url.query()) : std::string_view{};
    // Escapes of bytes that are no UTF-8 text read as U+FFFD, as a browser reads them.
    if (!gOIDURLQueryComponentForceIOS7Handling) {
        for (const auto& [name, value] : Url::queryItems(query)) {
            if (value)
                addParameter(repairedUtf8(name), repairedUtf8(*value));
        }
        return;
    }
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        size_t eq = pair.find('=');
        if (eq == std::string_view::npos)
            continue;
        addParameter(repairedUtf8(Url::percentDecode(pair.substr(0, eq))),
                     repairedUtf8(Url::percentDecode(pair.substr(eq + 1))));
    }
}

std::vector<std::string> SSOURLQueryComponent::parameters() const {
    std::vector<std::string> names;
    names.reserve(parameters_.size());
    for (const auto& [name, values] : parameters_)
        names.push_back(name);
    return names;
}

Json SSOURLQueryComponent::dictionaryValue() const {
    Json dictionary = Json::object();
    for (const auto& [name, values] : parameters_) {
        dictionary[name] = values.size() == 1 ? Json(values.front()) : Json(values);
    }
    return dictionary;
}

const std::vector<std::string>* SSOURLQueryComponent::valuesForParameter(
    std::string_view name) const {
    auto it = std::find_if(parameters_.begin(), parameters_.end(),
                           [&](const auto& entry) { return entry.first == name; });
    return it == parameters_.end() ? nullptr : &it->second;
}

void SSOURLQueryComponent::addParameter(std::string_view name, std::string_view value) {
    auto it = std::find_if(parameters_.begin(), parameters_.end(),
                           [&](const auto& entry) { return entry.first == name; });
    if (it != parameters_.end()) {
        it->second.emplace_back(value);
    } else {
        parameters_.emplace_back(std::string(name), std::vector<std::string>{std::string(value)});
    }
}

void SSOURLQueryComponent::addParameters(const std::map<std::string, std::string>& parameters) {
    for (const auto& [name, value] : parameters)
        addParameter(name, value);
}

std::vector<std::pair<std::string, std::string>> SSOURLQueryComponent::queryItems() const {
    std::vector<std::pair<std::string, std::string>> items;
    for (const auto& [name, values] : parameters_) {
        for (const auto& value : values)
            items.emplace_back(name, value);
    }
    return items;
}

std::string SSOURLQueryComponent::encode(std::string_view text) {
    return Url::percentEncode(text, URLParamValueAllowedCharacters);
}

std::string SSOURLQueryComponent::URLEncodedParameters() const {
    if (gOIDURLQueryComponentForceIOS7Handling)
        return percentEncodedQueryString();
    // The builder leaves "+" alone, which a form decoder would read back as a space.
    std::string built = Url::percentEncodedQuery(queryItems());
    std::string text;
    text.reserve(built.size());
    for (char c : built) {
        if (c == '+')
            text += "%2B";
        else
            text += c;
    }
    return text;
}

std::string SSOURLQueryComponent::percentEncodedQueryString() const {
    std::vector<std::string> pairs;
    for (const auto& [name, values] : parameters_) {
        std::string encodedName = encode(name);
        for (const auto& value : values)
            pairs.push_back(encodedName + '=' + encode(value));
    }
    std::string text;
    for (const auto& pair : pairs) {
        if (!text.empty())
            text += '&';
        text += pair;
    }
    return text;
}

Url SSOURLQueryComponent::URLByReplacingQueryInURL(const Url& url) const {
    return url.withQuery(URLEncodedParameters());
}

std::string SSOURLQueryComponent::description() const {
    return descriptionPrefix("SSOURLQueryComponent", this) +
           ", parameters: " + jsonText(dictionaryValue()) + ">";
}

}  // namespace quarra
