#pragma once
// Keyed archiving shared by the OAuth client's value classes: their common base and the typed
// decoding of the values that the platform's unarchiver hands over as plain JSON. Every decoder
// checks the type of what it reads; a value of another type fails the whole decoding.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/KeyedArchiver.h"
#include "quarra/Url.h"
#include "sso/SSOFieldMapping.h"

namespace quarra {

// Holds nothing, so any two compare equal and a value class's defaulted comparison compares only
// its own fields.
class SSOCoding : public Coding {
  public:
    bool operator==(const SSOCoding&) const { return true; }
};

namespace sso_coding {

void encodeStrings(KeyedArchiver& coder, const std::vector<std::string>& list,
                   const std::string& key);
std::optional<std::vector<std::string>> decodeStrings(KeyedUnarchiver& coder,
                                                      const std::string& key);

// Written even when empty; a missing key reads as an empty map.
void encodeStringMap(KeyedArchiver& coder, const std::map<std::string, std::string>& map,
                     const std::string& key);
std::map<std::string, std::string> decodeStringMap(KeyedUnarchiver& coder, const std::string& key);

// A JSON object; a missing key reads as an empty object.
Json decodeObject(KeyedUnarchiver& coder, const std::string& key);

// Fails the decoding: the archive holds a value that the class cannot use.
void refuse(KeyedUnarchiver& coder, const std::string& key, const char* expected);

// A response: its request under "request", its mapped fields under the reply's keys (each by its
// row's type; dates as whole microseconds since 1970) and the rest of the reply under
// "additionalParameters".
void encodeResponse(KeyedArchiver& coder, const Coding& request, const SSOFieldMap& map,
                    const SSOMappedFields& fields, const Json& additionalParameters);
// The fields and the rest, after the response has been made from its decoded request.
void decodeResponse(KeyedUnarchiver& coder, const SSOFieldMap& map, SSOMappedFields& fields,
                    Json& additionalParameters);

}  // namespace sso_coding
}  // namespace quarra
