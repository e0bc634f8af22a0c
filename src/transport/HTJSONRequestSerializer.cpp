#include "transport/HTJSONRequestSerializer.h"

#include <cmath>

#include "platform/URLError.h"
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

Result<UrlRequest> HTJSONRequestSerializer::requestBySerializingRequest(
    const UrlRequest& request, const Json& parameters) const {
    return requestWithEncodedBody(
        request, parameters, "application/json", [&]() -> Result<Bytes> {
            if ((parameters.is_object() || parameters.is_array()) &&
                holdsOnlyJsonValues(parameters)) {
                try {
                    return toBytes(
                        parameters.dump((writingOptions_ & HTJSONWritingPrettyPrinted) ? 2 : -1));
                } catch (const Json::exception&) {
                    // text that is not UTF-8
                }
            }
            return Error::make(
                HTURLRequestSerializationErrorDomain, URLErrorCannotDecodeContentData,
                Json{{LocalizedFailureReasonKey,
                      HTLocalizedString("The `parameters` argument is not valid JSON.")}});
        });
}

}  // namespace quarra
