#include "sso/SSOServiceDiscovery.h"

#include "quarra/Result.h"
#include "sso/SSOErrorUtilities.h"

namespace quarra {
namespace {

// Text that parses as an absolute URL; any other value counts as a URL that does not parse.
std::optional<Url> urlValue(const Json& dictionary, std::string_view key) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_string())
        return std::nullopt;
    return Url::parse(it->get<std::string>());
}

bool fail(ErrorPtr* error, std::string description) {
    if (error) {
        *error =
            SSOErrorUtilities::errorWithCode(SSOErrorCodeInvalidMetadata, nullptr, description);
    }
    return false;
}

}  // namespace

bool SSOServiceDiscovery::dictionaryHasRequiredFields(const Json& dictionary, ErrorPtr* error) {
    static constexpr const char* kRequired[] = {"issuer",
                                                "authorization_endpoint",
                                                "token_endpoint",
                                                "jwks_uri",
                                                "response_types_supported",
                                                "subject_types_supported",
                                                "id_token_signing_alg_values_supported"};
    // The browser is sent to the authorization endpoint, so it is checked like the others.
    static constexpr const char* kURLs[] = {"issuer", "authorization_endpoint", "token_endpoint",
                                            "jwks_uri"};
    for (const char* key : kRequired) {
        if (!dictionary.is_object() || !dictionary.contains(key)) {
            return fail(error, std::string("Missing field: ") + key);
        }
    }
    for (const char* key : kURLs) {
        if (!urlValue(dictionary, key))
            return fail(error, std::string("Invalid URL: ") + key);
    }
    return true;
}

std::optional<SSOServiceDiscovery> SSOServiceDiscovery::fromDictionary(Json dictionary,
                                                                       ErrorPtr* error) {
    if (!dictionaryHasRequiredFields(dictionary, error))
        return std::nullopt;
    return SSOServiceDiscovery(std::move(dictionary));
}

std::optional<SSOServiceDiscovery> SSOServiceDiscovery::fromJSONData(const Bytes& data,
                                                                     ErrorPtr* error) {
    auto dictionary =
        parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!dictionary) {
        if (error)
            *error = SSOErrorUtilities::errorWithCode(SSOErrorCodeReplyNotJSON, dictionary.error());
        return std::nullopt;
    }
    return fromDictionary(std::move(*dictionary), error);
}

std::optional<SSOServiceDiscovery> SSOServiceDiscovery::fromJSON(std::string_view json,
                                                                 ErrorPtr* error) {
    return fromJSONData(Bytes(json.begin(), json.end()), error);
}

void SSOServiceDiscovery::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeJson(*dictionary_, "discoveryDictionary");
}

std::shared_ptr<SSOServiceDiscovery> SSOServiceDiscovery::initWithCoder(KeyedUnarchiver& coder) {
    auto discovery = fromDictionary(sso_coding::decodeObject(coder, "discoveryDictionary"));
    return discovery ? std::make_shared<SSOServiceDiscovery>(std::move(*discovery)) : nullptr;
}

std::optional<Url> SSOServiceDiscovery::url(std::string_view key) const {
    return urlValue(*dictionary_, key);
}

std::optional<Json> SSOServiceDiscovery::value(std::string_view key) const {
    auto it = dictionary_->find(key);
    if (it == dictionary_->end())
        return std::nullopt;
    return *it;
}

bool SSOServiceDiscovery::flag(std::string_view key, bool absent) const {
    auto it = dictionary_->find(key);
    if (it == dictionary_->end())
        return absent;
    if (it->is_boolean())
        return it->get<bool>();
    return it->is_number() && it->get<double>() != 0;
}

}  // namespace quarra
