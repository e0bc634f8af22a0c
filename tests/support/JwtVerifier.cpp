#include "support/JwtVerifier.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace quarra::test {
namespace {

std::optional<std::string> base64urlDecode(std::string text) {
    for (char& c : text) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
    }
    while (text.size() % 4)
        text += '=';
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    size_t padding = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++padding;
    out.resize(static_cast<size_t>(n) - padding);
    return out;
}

std::optional<Json> decodeJson(const std::string& part) {
    auto text = base64urlDecode(part);
    if (!text)
        return std::nullopt;
    try {
        return Json::parse(*text);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

struct Free {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    void operator()(OSSL_PARAM_BLD* bld) const { OSSL_PARAM_BLD_free(bld); }
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

Owned<EVP_PKEY> rsaKey(const Json& jwk) {
    auto n = base64urlDecode(jwk.value("n", ""));
    auto e = base64urlDecode(jwk.value("e", ""));
    if (!n || !e || n->empty() || e->empty())
        return nullptr;
    Owned<BIGNUM> bnN(BN_bin2bn(reinterpret_cast<const unsigned char*>(n->data()),
                                static_cast<int>(n->size()), nullptr));
    Owned<BIGNUM> bnE(BN_bin2bn(reinterpret_cast<const unsigned char*>(e->data()),
                                static_cast<int>(e->size()), nullptr));
    Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    if (!bnN || !bnE || !builder ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, bnN.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, bnE.get()))
        return nullptr;
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        return nullptr;
    return Owned<EVP_PKEY>(key);
}

}  // namespace

std::optional<Json> verifyRS256(const std::string& jwt, const Json& jwks, std::string* why) {
    auto fail = [why](const char* reason) -> std::optional<Json> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    size_t first = jwt.find('.');
    size_t second = first == std::string::npos ? first : jwt.find('.', first + 1);
    if (second == std::string::npos || jwt.find('.', second + 1) != std::string::npos)
        return fail("not a signed JWT");
    auto header = decodeJson(jwt.substr(0, first));
    auto claims = decodeJson(jwt.substr(first + 1, second - first - 1));
    auto signature = base64urlDecode(jwt.substr(second + 1));
    if (!header || !claims || !signature || !header->is_object() || !claims->is_object())
        return fail("undecodable JWT");
    if (header->value("alg", "") != "RS256")
        return fail("not RS256");
    const std::string kid = header->value("kid", "");
    const Json keys = jwks.is_object() ? jwks.value("keys", Json::array()) : Json::array();
    for (const Json& jwk : keys) {
        if (!jwk.is_object() || jwk.value("kty", "") != "RSA" || jwk.value("kid", "") != kid)
            continue;
        Owned<EVP_PKEY> key = rsaKey(jwk);
        Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
        if (!key || !ctx ||
            EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) <= 0)
            return fail("unusable key");
        const std::string signedPart = jwt.substr(0, second);
        int ok = EVP_DigestVerify(
            ctx.get(), reinterpret_cast<const unsigned char*>(signature->data()), signature->size(),
            reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size());
        if (ok != 1)
            return fail("bad signature");
        return claims;
    }
    return fail("no key for the token's kid");
}

}  // namespace quarra::test
