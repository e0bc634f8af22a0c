#pragma once
// URL query and form parameters: a multimap parsed from a redirect URL and serialised into an
// authorization URL or a token request body. Names keep the order of their first appearance and the
// values of a name keep theirs, so a request serialises the same way every time. Not thread-safe:
// built, filled and read by one caller.
#include <atomic>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarra/Json.h"
#include "quarra/Url.h"

namespace quarra {

// Process-wide, false at start: true makes every query component parse and serialise by hand
// instead of through the URL's query parser and builder. Both ways give the same result; the SDK
// never sets it, a host may.
extern std::atomic<bool> gOIDURLQueryComponentForceIOS7Handling;

class SSOURLQueryComponent {
  public:
    // Characters besides the RFC 3986 unreserved ones that stay unescaped in a name or value: the
    // query characters less "=", "&" and "+", which would change how the text reads back.
    static constexpr std::string_view URLParamValueAllowedCharacters = "!$'()*,;:@/?";

    SSOURLQueryComponent() = default;
    // Every "name=value" piece of the URL's query, percent-decoded ("+" stays "+"); pieces without
    // "=" carry no value and are skipped. The fragment is not read.
    explicit SSOURLQueryComponent(const Url& url);

    std::vector<std::string> parameters() const;
    // A name with one value maps to that string, a name with several to the array of them.
    Json dictionaryValue() const;
    // The values of `name`, nullptr when absent.
    const std::vector<std::string>* valuesForParameter(std::string_view name) const;

    void addParameter(std::string_view name, std::string_view value);
    void addParameters(const std::map<std::string, std::string>& parameters);

    // One (name, value) pair per value, grouped by name.
    std::vector<std::pair<std::string, std::string>> queryItems() const;

    // "name=value" pairs joined with "&", every character outside the allowed set escaped, so "+",
    // "&" and "=" inside a value always travel escaped.
    std::string URLEncodedParameters() const;
    // The same text built by hand: what URLEncodedParameters() gives while the process-wide switch
    // is on.
    std::string percentEncodedQueryString() const;
    // The URL with its query replaced by URLEncodedParameters(); any query it had is dropped.
    Url URLByReplacingQueryInURL(const Url& url) const;

    // Percent-encoding of one name or value as URLEncodedParameters() writes it.
    static std::string encode(std::string_view text);

    std::string description() const;

  private:
    std::vector<std::pair<std::string, std::vector<std::string>>> parameters_;
};

}  // namespace quarra
