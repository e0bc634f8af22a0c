#pragma once
// What every request serializer does, and the query-string format shared by request serializers and
// multipart bodies: nested parameters are flattened into (field, value) pairs in a fixed order,
// then percent-escaped and joined with "&".
#include <string>
#include <string_view>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"
#include "quarra/TVKErrors.h"
#include "quarra/UrlRequest.h"

namespace quarra {

inline constexpr const char* HTNetworkingOperationFailingURLRequestErrorKey =
    "com.tovik.transport.serialization.request.error.response";

// One flattened parameter. `field` is the bracketed key path ("a[b][]"); a null `value` writes the
// field alone, without "=".
struct HTQueryStringPair {
    std::string field;
    Json value;

    std::string URLEncodedStringValue() const;
    bool operator==(const HTQueryStringPair&) const = default;
};

// Percent-escapes everything except ASCII letters, digits and "-._~/?", byte by byte in UTF-8.
std::string HTPercentEscapedStringFromString(std::string_view text);

// The text a value takes in a query: strings as they are, booleans "1"/"0", integers in decimal,
// doubles in their shortest round-trip form ("0.1", "1" for 1.0), null as "".
std::string HTQueryStringDescription(const Json& value);

// Flattens `value` under `key` (empty: top level). Object members come in ascending byte order of
// their keys, array elements in order under "key[]", nested objects under "key[member]"; empty
// containers give no pair.
std::vector<HTQueryStringPair> HTQueryStringPairsFromKeyAndValue(std::string_view key,
                                                                 const Json& value);
std::vector<HTQueryStringPair> HTQueryStringPairsFromDictionary(const Json& dictionary);

// "a%5B%5D=x&b=1": the escaped pairs joined with "&".
std::string HTQueryStringFromParameters(const Json& parameters);

// What every request serializer does: apply itself to a request.
class HTURLRequestSerialization {
  public:
    virtual ~HTURLRequestSerialization() = default;
    // A copy of `request` with headers and `parameters` (null: none) applied; fails when the
    // parameters cannot be encoded.
    virtual Result<UrlRequest> requestBySerializingRequest(const UrlRequest& request,
                                                           const Json& parameters) const = 0;
};

}  // namespace quarra
