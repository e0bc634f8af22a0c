#include "transport/HTJSONResponseSerializer.h"
#include "quarra/Result.h"

namespace quarra {

HTJSONResponseSerializer::HTJSONResponseSerializer() {
    setAcceptableContentTypes(
        std::set<std::string>{"application/json", "text/json", "text/javascript"});
}

std::shared_ptr<HTJSONResponseSerializer> HTJSONResponseSerializer::serializer() {
    return serializerWithReadingOptions(0);
}

std::shared_ptr<HTJSONResponseSerializer> HTJSONResponseSerializer::serializerWithReadingOptions(
    unsigned long options) {
    auto serializer = std::make_shared<HTJSONResponseSerializer>();
    serializer->readingOptions_ = options;
    return serializer;
}

std::shared_ptr<HTHTTPResponseSerializer> HTJSONResponseSerializer::copy() const {
    auto copy = serializerWithReadingOptions(readingOptions_);
    copy->removesKeysWithNullValues_ = removesKeysWithNullValues_;
    copyInto(*copy);
    return copy;
}

void HTJSONResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    HTHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeUInt64(readingOptions_, "readingOptions");
    coder.encodeBool(removesKeysWithNullValues_, "removesKeysWithNullValues");
}

std::shared_ptr<HTJSONResponseSerializer> HTJSONResponseSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer =
        serializerWithReadingOptions(coder.decodeUInt64("readingOptions").value_or(0));
    serializer->removesKeysWithNullValues_ =
        coder.decodeBool("removesKeysWithNullValues").value_or(false);
    return decodeInto(*serializer, coder) ? serializer : nullptr;
}

HTSerializedResponse HTJSONResponseSerializer::responseObjectForResponse(
    const HttpResponsePtr& response, const Bytes& data) const {
    ErrorPtr error = validationError(response, data);
    if (HTErrorOrUnderlyingErrorHasCodeInDomain(error))
        return {{}, error};
    // Some servers answer "head :ok" with a single space.
    if (data.empty() || (data.size() == 1 && data[0] == ' '))
        return {{}, error};

    std::string reason;
    auto parsed =
        parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    Json object;
    if (!parsed) {
        reason = parsed.error()->localizedDescription();
    } else {
        object = std::move(*parsed);
        if (!(readingOptions_ & HTJSONReadingFragmentsAllowed) && !object.is_object() &&
            !object.is_array()) {
            reason = "JSON text did not start with array or object.";
        }
    }
    if (!reason.empty()) {
        auto readerError = Error::make(
            HTJSONReadingErrorDomain, HTJSONReadingCorruptError,
            Json{{LocalizedDescriptionKey,
                  "The data couldn\u2019t be read because it isn\u2019t in the correct format."},
                 {"DebugDescription", reason}});
        return {{}, HTErrorWithUnderlyingError(readerError, error)};
    }
    if (removesKeysWithNullValues_)
        return {HTJSONObjectByRemovingKeysWithNullValues(object), error};
    return {std::move(object), error};
}

}  // namespace quarra
