#pragma once
// Provider metadata and configurations shared by the OAuth tests, and an independent reading of
// URL queries by Debian's Python.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quarra/Json.h"
#include "sso/SSOServiceConfiguration.h"
#include "support/TestSupport.h"

namespace quarra::test {

inline Json providerMetadata() {
    return Json::parse(R"({
        "issuer": "https://idp.example.com",
        "authorization_endpoint": "https://idp.example.com/authorize?prompt=login",
        "token_endpoint": "https://idp.example.com/token",
        "jwks_uri": "https://idp.example.com/jwks",
        "registration_endpoint": "https://idp.example.com/register",
        "response_types_supported": ["code"],
        "subject_types_supported": ["public"],
        "id_token_signing_alg_values_supported": ["RS256"],
        "scopes_supported": ["openid", "profile"],
        "claims_parameter_supported": true,
        "x_vendor_extension": {"nested": [1, 2]}
    })");
}

inline SSOServiceConfiguration providerConfiguration() {
    return SSOServiceConfiguration(*SSOServiceDiscovery::fromDictionary(providerMetadata()));
}

// The (name, value) pairs of a query or form body as Python's urllib.parse reads them; with
// `isURL`, `text` is a whole URL and its query is read.
inline std::vector<std::pair<std::string, std::string>> pythonQueryItems(const std::string& text,
                                                                         bool isURL = false) {
    TempDir dir;
    writeFile(dir / "input", text);
    std::string script =
        "import json, sys, urllib.parse\n"
        "text = open(sys.argv[1], encoding='utf-8').read()\n"
        "if sys.argv[2] == 'url': text = urllib.parse.urlsplit(text).query\n"
        "pairs = urllib.parse.parse_qsl(text, keep_blank_values=True, strict_parsing=True)\n"
        "print(json.dumps(pairs))\n";
    writeFile(dir / "read.py", script);
    std::string command = "/usr/bin/python3 " + (dir / "read.py").string() + " " +
                          (dir / "input").string() + (isURL ? " url" : " body");
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run python3");
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    if (pclose(pipe) != 0)
        throw std::runtime_error("python3 could not read: " + text);
    return Json::parse(output).get<std::vector<std::pair<std::string, std::string>>>();
}

}  // namespace quarra::test
