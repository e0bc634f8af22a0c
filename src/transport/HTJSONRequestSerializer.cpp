#include "transport/HTJSONRequestSerializer.h"

#include <cmath>

#include "transport/HTLocalizedString.h"

namespace quarra {
namespace {

bool holdsOnlyJsonValues(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
        case Json::value_t::array:
            return std::all_of(value.begin(), value.end(), holdsOnlyJsonValues);
        case Json::value_t::number_float:
            return std::isfinite(value.get<double>());
        case Json::value_t::binary:
        case Json::value_t::discarded:
            return false;
        default:
            return true;
    }
}

}  // namespace

std::shared_ptr<HTJSONRequestSerializer> HTJSONRequestSerializer::serializer() {
    return serializerWithWritingOptions(0);
}

std::shared_ptr<HTJSONRequestSerializer> HTJSONRequestSerializer::serializerWithWritingOptions(
    unsigned long options) {
    auto serializer = std::make_shared<HTJSONRequestSerializer>();
    serializer->writingOptions_ = options;
    return serializer;
}

std::shared_ptr<HTHTTPRequestSerializer> HTJSONRequestSerializer::copy() const {
    auto copy = serializerWithWritingOptions(writingOptions_);
    copyInto(*copy);
    return copy;
}

void HTJSONRequestSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    HTHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeUInt64(writingOptions_, "writingOptions");
}

std::shared_ptr<HTJSONRequestSerializer> HTJSONRequestSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer =
        serializerWithWritingOptions(coder.decodeUInt64("writingOptions").value_or(0));
    return decodeInto(*serializer, coder) ? serializer : nullptr;
}

std::optional<UrlRequest> HTJSONRequestSerializer::requestBySerializingRequest(
    const UrlRequest& request, const Json& parameters, ErrorPtr* error) const {
    if (encodesParametersInURI(request.httpMethod)) {
        return HTHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    }
    UrlRequest copy = requestWithDefaultHeaders(request);
    if (parameters.is_null())
        return copy;

    if (!copy.valueForHTTPHeaderField("Content-Type")) {
        copy.setValue("application/json", "Content-Type");
    }
    std::string body;
    bool valid =
        (parameters.is_object() || parameters.is_array()) && holdsOnlyJsonValues(parameters);
    if (valid) {
        try {
            body = parameters.dump((writingOptions_ & HTJSONWritingPrettyPrinted) ? 2 : -1);
        } catch (const Json::exception&) {
            valid = false;  // text that is not UTF-8
        }
    }
    if (!valid) {
        if (error) {
            *error = Error::make(
                HTURLRequestSerializationErrorDomain, -1016,
                Json{{LocalizedFailureReasonKey,
                      HTLocalizedString("The `parameters` argument is not valid JSON.")}});
        }
        return std::nullopt;
    }
    copy.httpBody = toBytes(body);
    return copy;
}

}  // namespace quarra
