#include "transport/HTURLResponseSerialization.h"

#include "quarra/Json.h"
#include "platform/URLError.h"

namespace quarra {

ErrorPtr HTErrorWithUnderlyingError(const ErrorPtr& error, const ErrorPtr& underlying) {
    if (!error)
        return underlying;
    if (!underlying || error->underlyingError())
        return error;
    return Error::make(error->domain(), error->code(), error->userInfo(), underlying);
}

bool HTErrorOrUnderlyingErrorHasCodeInDomain(const ErrorPtr& error) {
    for (const Error* e = error.get(); e; e = e->underlyingError().get()) {
        if (e->is(HTURLResponseSerializationErrorDomain, URLErrorCannotDecodeContentData))
            return true;
    }
    return false;
}

Json HTJSONObjectByRemovingKeysWithNullValues(const Json& object) {
    if (object.is_array()) {
        Json result = Json::array();
        for (const auto& element : object) {
            result.push_back(HTJSONObjectByRemovingKeysWithNullValues(element));
        }
        return result;
    }
    if (object.is_object()) {
        Json result = Json::object();
        for (const auto& [key, value] : object.items()) {
            if (!value.is_null())
                result[key] = HTJSONObjectByRemovingKeysWithNullValues(value);
        }
        return result;
    }
    return object;
}

}  // namespace quarra
