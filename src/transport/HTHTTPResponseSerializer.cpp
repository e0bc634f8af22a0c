#include "transport/HTHTTPResponseSerializer.h"

#include <numeric>

#include "platform/HttpStatus.h"
#include "platform/URLError.h"
#include "transport/HTLocalizedString.h"

namespace quarra {
namespace {

Json failureInfo(const HttpResponse& response, const Bytes& data, std::string description) {
    Json headers = Json::object();
    for (const auto& [field, value] : response.headers)
        headers[field] = value;
    return {{LocalizedDescriptionKey, std::move(description)},
            {FailingURLErrorKey, response.url.string()},
            {HTNetworkingOperationFailingURLResponseErrorKey,
             {{"url", response.url.string()},
              {"statusCode", response.statusCode},
              {"headers", std::move(headers)}}},
            {HTNetworkingOperationFailingURLResponseDataErrorKey, Json::binary(data)}};
}

std::string format(std::string text, std::initializer_list<std::string> values) {
    // The translated texts keep the "%@" and "%ld" places of the English ones.
    for (const auto& value : values) {
        size_t place = text.find('%');
        if (place == std::string::npos)
            break;
        size_t end = text.compare(place, 3, "%ld") == 0 ? place + 3 : place + 2;
        text.replace(place, end - place, value);
    }
    return text;
}

}  // namespace

HTHTTPResponseSerializer::HTHTTPResponseSerializer() {
    std::set<int> codes;
    for (int code = 200; code < 300; ++code)
        codes.insert(code);
    statusCodes_ = std::move(codes);
}

std::shared_ptr<HTHTTPResponseSerializer> HTHTTPResponseSerializer::serializer() {
    return std::make_shared<HTHTTPResponseSerializer>();
}

std::shared_ptr<HTHTTPResponseSerializer> HTHTTPResponseSerializer::copy() const {
    auto copy = serializer();
    copyInto(*copy);
    return copy;
}

void HTHTTPResponseSerializer::copyInto(HTHTTPResponseSerializer& copy) const {
    copy.statusCodes_ = statusCodes_;
    copy.contentTypes_ = contentTypes_;
}

void HTHTTPResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    if (statusCodes_)
        coder.encodeJson(Json(*statusCodes_), "acceptableStatusCodes");
    if (contentTypes_)
        coder.encodeJson(Json(*contentTypes_), "acceptableContentTypes");
}

bool HTHTTPResponseSerializer::decodeInto(HTHTTPResponseSerializer& serializer,
                                          KeyedUnarchiver& coder) {
    try {
        auto codes = coder.decodeJson("acceptableStatusCodes");
        auto types = coder.decodeJson("acceptableContentTypes");
        serializer.statusCodes_ = codes ? std::optional(codes->get<std::set<int>>()) : std::nullopt;
        serializer.contentTypes_ =
            types ? std::optional(types->get<std::set<std::string>>()) : std::nullopt;
    } catch (const Json::exception&) {
        coder.failWithError(
            Error::make(KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
                        "acceptable status codes or content types of the wrong type"));
    }
    return !coder.error();
}

std::shared_ptr<HTHTTPResponseSerializer> HTHTTPResponseSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer = HTHTTPResponseSerializer::serializer();
    return decodeInto(*serializer, coder) ? serializer : nullptr;
}

Result<bool> HTHTTPResponseSerializer::validateResponse(const HttpResponsePtr& response,
                                                        const Bytes& data) const {
    if (!response)
        return true;
    bool acceptable = true;
    ErrorPtr failure;
    bool hasUrl = !response->url.empty();

    if (contentTypes_ && !contentTypes_->count(response->mimeType) &&
        !(response->mimeType.empty() && data.empty())) {
        acceptable = false;
        if (!data.empty() && hasUrl) {
            failure = Error::make(
                HTURLResponseSerializationErrorDomain, URLErrorCannotDecodeContentData,
                failureInfo(
                    *response, data,
                    format(HTLocalizedString("Request failed: unacceptable content-type: %@"),
                           {response->mimeType})));
        }
    }
    if (statusCodes_ && !statusCodes_->count(response->statusCode) && hasUrl) {
        acceptable = false;
        auto statusError =
            Error::make(HTURLResponseSerializationErrorDomain, URLErrorBadServerResponse,
                        failureInfo(*response, data,
                                    format(HTLocalizedString("Request failed: %@ (%ld)"),
                                           {localizedStringForStatusCode(response->statusCode),
                                            std::to_string(response->statusCode)})));
        failure = HTErrorWithUnderlyingError(statusError, failure);
    }
    if (failure)
        return failure;
    return acceptable;
}

HTSerializedResponse HTHTTPResponseSerializer::responseObjectForResponse(
    const HttpResponsePtr& response, const Bytes& data) const {
    return {data, validationError(response, data)};
}

}  // namespace quarra
