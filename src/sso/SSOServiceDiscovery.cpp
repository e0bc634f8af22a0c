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

ErrorPtr invalidMetadata(std::string description) {
    return SSOErrorUtilities::errorWithCode(SSOErrorCodeInvalidMetadata, nullptr, description);
}

}  // namespace

ErrorPtr SSOServiceDiscovery::dictionaryHasRequiredFields(const Json& dictionary) {
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
            return invalidMetadata(std::string("Missing field: ") + key);
        }
    }
    for (const char* key : kURLs) {
        if (!urlValue(dictionary, key))
            return invalidMetadata(std::string("Invalid URL: ") + key);
    }
    return nullptr;
}

Result<SSOServiceDiscovery> SSOServiceDiscovery::fromDictionary(Json dictionary) {
    if (ErrorPtr error = dictionaryHasRequiredFields(dictionary))
        return error;
    return SSOServiceDiscovery(std::move(dictionary));
}

Result<SSOServiceDiscovery> SSOServiceDiscovery::fromJSONData(const Bytes& data) {
    auto dictionary =
        parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!dictionary)
        return SSOErrorUtilities::errorWithCode(SSOErrorCodeReplyNotJSON, dictionary.error());
    return fromDictionary(std::move(*dictionary));
}

Result<SSOServiceDiscovery> SSOServiceDiscovery::fromJSON(std::string_view json) {
    return fromJSONData(Bytes(json.begin(), json.end()));
}

void SSOServiceDiscovery::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeJson(*dictionary_, "discoveryDictionary");
}

std::shared_ptr<SSOServiceDiscovery> SSOServiceDiscovery::initWithCoder(KeyedUnarchiver& coder) {
    auto discovery = fromDictionary(sso_coding::decodeObject(coder, "discoveryDictionary"));
    if (!discovery) {
        coder.failWithError(discovery.error());
        return nullptr;
    }
    return std::make_shared<SSOServiceDiscovery>(std::move(*discovery));
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
