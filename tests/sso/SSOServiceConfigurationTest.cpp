#include <gtest/gtest.h>

#include "SSOFixtures.h"
#include "sso/SSOErrorUtilities.h"
#include "sso/SSOServiceConfiguration.h"

using namespace quarra;

namespace {

const char* const kRequired[] = {"issuer",
                                 "authorization_endpoint",
                                 "token_endpoint",
                                 "jwks_uri",
                                 "response_types_supported",
                                 "subject_types_supported",
                                 "id_token_signing_alg_values_supported"};

void expectInvalid(const Json& metadata, const std::string& description) {
    ErrorPtr error = SSOServiceDiscovery::fromDictionary(metadata).error();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeInvalidMetadata));
    EXPECT_EQ(error->localizedDescription(), description);
    EXPECT_FALSE(error->underlyingError());
}

}  // namespace

TEST(SSOServiceConfigurationTest, MetadataMissingARequiredFieldIsRefusedNamingTheField) {
    for (const char* key : kRequired) {
        SCOPED_TRACE(key);
        Json metadata = test::providerMetadata();
        metadata.erase(key);
        expectInvalid(metadata, std::string("Missing field: ") + key);
        EXPECT_NE(SSOServiceDiscovery::dictionaryHasRequiredFields(metadata), nullptr);
    }
    Json metadata = test::providerMetadata();
    metadata.erase("jwks_uri");
    metadata.erase("issuer");
    expectInvalid(metadata, "Missing field: issuer");
    expectInvalid(Json::array(), "Missing field: issuer");
    // A null is there, whatever its type.
    metadata = test::providerMetadata();
    metadata["response_types_supported"] = nullptr;
    EXPECT_TRUE(SSOServiceDiscovery::fromDictionary(metadata));
}

TEST(SSOServiceConfigurationTest, MetadataWithABadUrlInAnEndpointFieldIsRefusedNamingTheField) {
    const Json badValues[] = {"not a url", "/relative/path", "", 42, nullptr, Json::array()};
    for (const char* key : {"issuer", "authorization_endpoint", "token_endpoint", "jwks_uri"}) {
        for (const auto& bad : badValues) {
            SCOPED_TRACE(std::string(key) + " = " + bad.dump());
            Json metadata = test::providerMetadata();
            metadata[key] = bad;
            expectInvalid(metadata, std::string("Invalid URL: ") + key);
        }
    }
    // Optional URL fields are read when asked for.
    Json metadata = test::providerMetadata();
    metadata["registration_endpoint"] = "not a url";
    metadata["userinfo_endpoint"] = 7;
    auto discovery = SSOServiceDiscovery::fromDictionary(metadata);
    ASSERT_TRUE(discovery);
    EXPECT_FALSE(discovery->registrationEndpoint());
    EXPECT_FALSE(discovery->userinfoEndpoint());
    EXPECT_FALSE(SSOServiceConfiguration(*discovery).registrationEndpoint());
}

TEST(SSOServiceConfigurationTest, ReadsMetadataFromJsonText) {
    ErrorPtr error = SSOServiceDiscovery::fromJSON("{\"issuer\": ").error();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeReplyNotJSON));
    EXPECT_TRUE(error->underlyingError());

    error = SSOServiceDiscovery::fromJSON(R"({"issuer": "https://idp"})").error();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeInvalidMetadata));

    auto discovery = SSOServiceDiscovery::fromJSON(test::providerMetadata().dump());
    ASSERT_TRUE(discovery);
    EXPECT_EQ(discovery->discoveryDictionary(), test::providerMetadata());
    EXPECT_FALSE(SSOServiceDiscovery::fromJSONData(toBytes("[")));
}

TEST(SSOServiceConfigurationTest, GettersReadTheMetadataAsPublished) {
    Json metadata = test::providerMetadata();
    metadata["request_parameter_supported"] = 1;
    metadata["grant_types_supported"] = "not a list";
    auto discovery = *SSOServiceDiscovery::fromDictionary(metadata);
    EXPECT_EQ(discovery.issuer()->string(), "https://idp.example.com");
    EXPECT_EQ(discovery.jwksURL()->string(), "https://idp.example.com/jwks");
    EXPECT_EQ(discovery.scopesSupported(), Json({"openid", "profile"}));
    EXPECT_EQ(discovery.grantTypesSupported(), Json("not a list"));
    EXPECT_FALSE(discovery.claimsSupported());
    EXPECT_TRUE(discovery.claimsParameterSupported());
    EXPECT_TRUE(discovery.requestParameterSupported());
    EXPECT_FALSE(discovery.requireRequestURIRegistration());
    // Absent, this flag defaults to true.
    EXPECT_TRUE(discovery.requestURIParameterSupported());
    metadata["request_uri_parameter_supported"] = false;
    EXPECT_FALSE(SSOServiceDiscovery::fromDictionary(metadata)->requestURIParameterSupported());
}

TEST(SSOServiceConfigurationTest, TakesItsEndpointsFromTheMetadata) {
    auto configuration = test::providerConfiguration();
    EXPECT_EQ(configuration.authorizationEndpoint().string(),
              "https://idp.example.com/authorize?prompt=login");
    EXPECT_EQ(configuration.tokenEndpoint().string(), "https://idp.example.com/token");
    EXPECT_EQ(configuration.registrationEndpoint()->string(), "https://idp.example.com/register");
    EXPECT_EQ(configuration.discoveryDocument()->discoveryDictionary(), test::providerMetadata());

    Json metadata = test::providerMetadata();
    metadata.erase("registration_endpoint");
    SSOServiceConfiguration noRegistration(*SSOServiceDiscovery::fromDictionary(metadata));
    EXPECT_FALSE(noRegistration.registrationEndpoint());
    EXPECT_NE(noRegistration, configuration);

    SSOServiceConfiguration plain(*Url::parse("https://a/auth"), *Url::parse("https://a/token"));
    EXPECT_FALSE(plain.discoveryDocument());
    EXPECT_EQ(plain.description(),
              "SSOServiceConfiguration authorizationEndpoint: https://a/auth, tokenEndpoint: "
              "https://a/token, registrationEndpoint: (null), discoveryDocument: [(null)]");
}
