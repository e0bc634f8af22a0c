#include "transport/HTHTTPRequestSerializer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/Base64.h"
#include "quarra/Dispatch.h"
#include "platform/Files.h"
#include "platform/Locale.h"
#include "transport/HTMultipartBodyStream.h"
#include "transport/HTStreamingMultipartFormData.h"
#include "transport/HTUserAgent.h"

namespace quarra {
namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The query joins the URL's own query, or starts one, always before any fragment.
Url urlAppendingQuery(const Url& url, const std::string& query) {
    const std::string& text = url.string();
    size_t hash = text.find('#');
    std::string head = text.substr(0, hash);
    std::string fragment = hash == std::string::npos ? std::string() : text.substr(hash);
    head += (url.query() ? "&" : "?") + query;
    return Url::parse(head + fragment).value_or(url);
}

}  // namespace

std::string HTAcceptLanguageHeaderValue(const std::vector<std::string>& languages) {
    std::string value;
    for (size_t i = 0; i < languages.size(); ++i) {
        float q = 1.0f - 0.1f * static_cast<float>(i);
        char weight[16];
        std::snprintf(weight, sizeof weight, "%0.1g", static_cast<double>(q));
        if (!value.empty())
            value += ", ";
        value += languages[i] + ";q=" + weight;
        if (q <= 0.5f)
            break;
    }
    return value;
}

HTHTTPRequestSerializer::HTHTTPRequestSerializer() {
    headers_["Accept-Language"] = HTAcceptLanguageHeaderValue(preferredLanguages());
    headers_["User-Agent"] = HTDefaultUserAgent();
}

std::shared_ptr<HTHTTPRequestSerializer> HTHTTPRequestSerializer::serializer() {
    return std::make_shared<HTHTTPRequestSerializer>();
}

std::shared_ptr<HTHTTPRequestSerializer> HTHTTPRequestSerializer::copy() const {
    auto copy = serializer();
    copyInto(*copy);
    return copy;
}

void HTHTTPRequestSerializer::copyInto(HTHTTPRequestSerializer& copy) const {
    copy.headers_ = HTTPRequestHeaders();
    copy.queryStringStyle_ = queryStringStyle_;
    copy.queryStringSerialization_ = queryStringSerialization_;
}

void HTHTTPRequestSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeJson(Json(HTTPRequestHeaders()), "mutableHTTPRequestHeaders");
    coder.encodeUInt64(queryStringStyle_, "queryStringSerializationStyle");
}

bool HTHTTPRequestSerializer::decodeInto(HTHTTPRequestSerializer& serializer,
                                         KeyedUnarchiver& coder) {
    if (auto headers = coder.decodeJson("mutableHTTPRequestHeaders")) {
        HeaderTable table;
        for (const auto& [field, value] : headers->items()) {
            if (!value.is_string()) {
                coder.failWithError(Error::make(KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
                                                "a header value is not text"));
                return false;
            }
            table[field] = value.get<std::string>();
        }
        serializer.headers_ = std::move(table);
    }
    if (auto style = coder.decodeUInt64("queryStringSerializationStyle")) {
        serializer.queryStringStyle_ =
            static_cast<HTHTTPRequestQueryStringSerializationStyle>(*style);
    }
    return !coder.error();
}

std::shared_ptr<HTHTTPRequestSerializer> HTHTTPRequestSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer = HTHTTPRequestSerializer::serializer();
    return decodeInto(*serializer, coder) ? serializer : nullptr;
}

HTHTTPRequestSerializer::HeaderTable HTHTTPRequestSerializer::HTTPRequestHeaders() const {
    std::shared_lock lock(headersMutex_);
    return headers_;
}

void HTHTTPRequestSerializer::setValue(std::optional<std::string> value, const std::string& field) {
    std::unique_lock lock(headersMutex_);
    if (value) {
        headers_[field] = std::move(*value);
    } else {
        headers_.erase(field);
    }
}

std::optional<std::string> HTHTTPRequestSerializer::valueForHTTPHeaderField(
    const std::string& field) const {
    std::shared_lock lock(headersMutex_);
    auto it = headers_.find(field);
    return it == headers_.end() ? std::nullopt : std::optional(it->second);
}

void HTHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(const std::string& username,
                                                                      const std::string& password) {
    setValue("Basic " + base64Encode(toBytes(username + ":" + password)), "Authorization");
}

void HTHTTPRequestSerializer::clearAuthorizationHeader() {
    setValue(std::nullopt, "Authorization");
}

void HTHTTPRequestSerializer::setQueryStringSerializationWithStyle(
    HTHTTPRequestQueryStringSerializationStyle style) {
    queryStringStyle_ = style;
    queryStringSerialization_ = nullptr;
}

void HTHTTPRequestSerializer::setQueryStringSerializationWithBlock(QueryStringSerialization block) {
    queryStringSerialization_ = std::move(block);
}

Result<UrlRequest> HTHTTPRequestSerializer::requestWithMethod(const std::string& method,
                                                              const std::string& URLString,
                                                              const Json& parameters) const {
    UrlRequest request(Url::parse(URLString).value_or(Url()));
    request.httpMethod = method;
    if (allowsCellularAccess_)
        request.allowsCellularAccess = *allowsCellularAccess_;
    if (cachePolicy_)
        request.cachePolicy = *cachePolicy_;
    if (HTTPShouldHandleCookies_)
        request.httpShouldHandleCookies = *HTTPShouldHandleCookies_;
    if (HTTPShouldUsePipelining_)
        request.httpShouldUsePipelining = *HTTPShouldUsePipelining_;
    if (networkServiceType_)
        request.networkServiceType = *networkServiceType_;
    if (timeoutInterval_)
        request.timeoutInterval = *timeoutInterval_;
    return requestBySerializingRequest(request, parameters);
}

UrlRequest HTHTTPRequestSerializer::requestWithDefaultHeaders(const UrlRequest& request) const {
    UrlRequest copy = request;
    // Read under the lock rather than copied out: a header written meanwhile is still wholly in
    // or wholly out of this request, and no request pays for a copy of the table.
    std::shared_lock lock(headersMutex_);
    for (const auto& [field, value] : headers_) {
        if (!copy.valueForHTTPHeaderField(field))
            copy.setValue(value, field);
    }
    return copy;
}

bool HTHTTPRequestSerializer::encodesParametersInURI(const std::string& method) const {
    return uriMethods_.count(upper(method)) > 0;
}

Result<UrlRequest> HTHTTPRequestSerializer::requestWithEncodedBody(
    const UrlRequest& request, const Json& parameters, const char* contentType,
    const std::function<Result<Bytes>()>& encode) const {
    if (encodesParametersInURI(request.httpMethod)) {
        return HTHTTPRequestSerializer::requestBySerializingRequest(request, parameters);
    }
    UrlRequest copy = requestWithDefaultHeaders(request);
    if (parameters.is_null())
        return copy;
    if (!copy.valueForHTTPHeaderField("Content-Type"))
        copy.setValue(contentType, "Content-Type");
    auto body = encode();
    if (!body)
        return body.error();
    copy.httpBody = std::move(*body);
    return copy;
}

Result<UrlRequest> HTHTTPRequestSerializer::requestBySerializingRequest(
    const UrlRequest& request, const Json& parameters) const {
    UrlRequest copy = requestWithDefaultHeaders(request);

    std::optional<std::string> query;
    if (!parameters.is_null()) {
        if (queryStringSerialization_) {
            Result<std::string> made = queryStringSerialization_(request, parameters);
            if (!made)
                return made.error();
            query = std::move(*made);
        } else if (queryStringStyle_ == HTHTTPRequestQueryStringDefaultStyle) {
            query = HTQueryStringFromParameters(parameters);
        }
    }

    if (encodesParametersInURI(copy.httpMethod)) {
        if (query && !query->empty() && !copy.url.empty()) {
            copy.url = urlAppendingQuery(copy.url, *query);
        }
    } else {
        if (!copy.valueForHTTPHeaderField("Content-Type")) {
            copy.setValue("application/x-www-form-urlencoded", "Content-Type");
        }
        copy.httpBody = toBytes(query.value_or(""));
    }
    return copy;
}

// ---- Multipart forms

namespace {

// The serializer's code for 7-bit ASCII: field values beyond it cannot be sent in it.
constexpr unsigned long kASCIIStringEncoding = 1;

// A field value in the serializer's text encoding; nothing when it cannot be encoded.
std::optional<Bytes> fieldData(const Json& value, unsigned long stringEncoding) {
    if (value.is_binary())
        return Bytes(value.get_binary().begin(), value.get_binary().end());
    std::string text = HTQueryStringDescription(value);
    if (stringEncoding == kASCIIStringEncoding) {
        for (unsigned char c : text) {
            if (c > 0x7f)
                return std::nullopt;
        }
    }
    return toBytes(text);
}

}  // namespace

Result<UrlRequest> HTHTTPRequestSerializer::multipartFormRequestWithMethod(
    const std::string& method, const std::string& URLString, const Json& parameters,
    const std::function<void(HTMultipartFormData&)>& block) const {
    Result<UrlRequest> request = requestWithMethod(method, URLString, nullptr);
    if (!request)
        return request;
    HTStreamingMultipartFormData form(std::move(*request), HTUTF8StringEncoding);
    if (parameters.is_object()) {
        for (const HTQueryStringPair& pair : HTQueryStringPairsFromDictionary(parameters)) {
            if (std::optional<Bytes> data = fieldData(pair.value, stringEncoding()))
                form.appendPartWithFormData(std::move(*data), pair.field);
        }
    }
    if (block)
        block(form);
    return form.requestByFinalizingMultipartFormData();
}

UrlRequest HTHTTPRequestSerializer::requestWithMultipartFormRequest(
    const UrlRequest& request, const Url& fileURL,
    std::function<void(const ErrorPtr&)> completionHandler) const {
    InputStreamPtr body = request.httpBodyStream;
    DispatchQueue::global()->async([body, fileURL, completionHandler] {
        ErrorPtr error;
        if (!fileURL.isFileUrl())
            error = posixError(EINVAL, "not a file URL: " + fileURL.string());
        else if (!body)
            error = posixError(EINVAL, "the request has no body stream to write");
        else
            error = HTMultipartBodyStream::writeToFile(*body, fileURL.filePath());
        if (completionHandler)
            DispatchQueue::main()->async([completionHandler, error] { completionHandler(error); });
    });
    UrlRequest copy = request;
    copy.httpBodyStream = nullptr;
    return copy;
}

}  // namespace quarra
