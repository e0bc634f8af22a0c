#pragma once
// Property lists in their XML form (format 100), as Json values: dictionaries, arrays, strings,
// integers, reals, booleans, data (Json binary) and dates (ISO 8601 text when read).
#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"

namespace quarra {

inline constexpr const char* PropertyListErrorDomain = "quarra.property_list";
enum PropertyListErrorCode : long {
    PropertyListReadCorruptError = 1,
    PropertyListWriteInvalidError = 2,
};
inline constexpr unsigned long PropertyListXMLFormat = 100;
inline constexpr unsigned long PropertyListBinaryFormat = 200;

// Fails for a format other than XML or a value a property list cannot hold (null, a NaN or infinite
// real).
Result<Bytes> propertyListData(const Json& value, unsigned long format);
// Fails for a document that is not an XML property list.
Result<Json> propertyListFromData(const Bytes& data);

}  // namespace quarra
