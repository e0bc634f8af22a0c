#pragma once
// What every response serializer does: turn a finished response and its body into a response object
// (a std::any: Bytes, Json, ...; empty for none) and, when the response is not acceptable, an
// error. Serializers are called concurrently for different tasks and change no state while they
// decode.
#include <any>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/HttpResponse.h"
#include "quarra/JsonFwd.h"
#include "quarra/TVKErrors.h"

namespace quarra {

// User-info key of a validation error's body (a byte string); the response itself is under
// HTNetworkingOperationFailingURLResponseErrorKey (quarra/TVKErrors.h).
inline constexpr const char* HTNetworkingOperationFailingURLResponseDataErrorKey =
    "com.tovik.transport.serialization.response.error.data";

// A serializer's answer. Unlike a Result, the object and the error can come together: an error
// reply still decodes (a JSON body with status 404), and the completion handler receives both.
struct [[nodiscard]] HTSerializedResponse {
    std::any responseObject;
    // Null for an acceptable response that decoded.
    ErrorPtr error;
};

class HTURLResponseSerialization {
  public:
    virtual ~HTURLResponseSerialization() = default;
    // `response` may be null.
    virtual HTSerializedResponse responseObjectForResponse(const HttpResponsePtr& response,
                                                           const Bytes& data) const = 0;
};

// `error` with `underlying` attached, unless it has one already; `underlying` when there is no
// error.
ErrorPtr HTErrorWithUnderlyingError(const ErrorPtr& error, const ErrorPtr& underlying);
// Whether `error` or an error under it is the unacceptable-content-type error (-1016).
bool HTErrorOrUnderlyingErrorHasCodeInDomain(const ErrorPtr& error);
// `object` without the object members whose value is null, at every depth (null array elements
// stay).
Json HTJSONObjectByRemovingKeysWithNullValues(const Json& object);

}  // namespace quarra
