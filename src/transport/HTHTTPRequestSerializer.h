#pragma once
// Builds URL requests from a method, a URL string and parameters: default header fields, the
// request settings its owner chose, and the parameters as a query string (GET, HEAD, DELETE) or as
// an "application/x-www-form-urlencoded" body. Subclasses replace the body encoding.
//
// Thread safety: the header table may be read and written from any thread, also while requests are
// built. Every other setting is to be made before the serializer is shared between threads.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>

#include "platform/KeyedArchiver.h"
#include "quarra/Error.h"
#include "quarra/UrlRequest.h"
#include "transport/HTURLRequestSerialization.h"

namespace quarra {

class HTMultipartFormData;

enum HTHTTPRequestQueryStringSerializationStyle : unsigned long {
    HTHTTPRequestQueryStringDefaultStyle = 0,
};

inline constexpr unsigned long HTUTF8StringEncoding = 4;

class HTHTTPRequestSerializer : public HTURLRequestSerialization, public Coding {
  public:
    static constexpr const char* ArchiveClassName = "HTHTTPRequestSerializer";

    // Returns the query for the parameters, or why there is none.
    using QueryStringSerialization =
        std::function<Result<std::string>(const UrlRequest& request, const Json& parameters)>;
    using HeaderTable = std::map<std::string, std::string>;

    // Default headers "Accept-Language" (the user's languages) and "User-Agent" (the host program).
    HTHTTPRequestSerializer();
    HTHTTPRequestSerializer(const HTHTTPRequestSerializer&) = delete;
    HTHTTPRequestSerializer& operator=(const HTHTTPRequestSerializer&) = delete;
    static std::shared_ptr<HTHTTPRequestSerializer> serializer();

    // A new serializer of the same class with fresh defaults, carrying over the header table, the
    // query-string style and block (and a subclass's own options). The request settings are not
    // carried over.
    virtual std::shared_ptr<HTHTTPRequestSerializer> copy() const;

    // Archived as "mutableHTTPRequestHeaders" (the header table) and
    // "queryStringSerializationStyle"; like copy(), decoding starts from fresh defaults.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTHTTPRequestSerializer> initWithCoder(KeyedUnarchiver& coder);

    // Text encoding of multipart field values (form bodies are percent-escaped ASCII).
    unsigned long stringEncoding() const { return stringEncoding_; }
    void setStringEncoding(unsigned long encoding) { stringEncoding_ = encoding; }

    // Request settings: a setting never set leaves the request's own default; once set, even to the
    // value it had, it is applied to every request.
    bool allowsCellularAccess() const { return allowsCellularAccess_.value_or(false); }
    void setAllowsCellularAccess(bool value) { allowsCellularAccess_ = value; }
    UrlRequestCachePolicy cachePolicy() const {
        return cachePolicy_.value_or(UrlRequestCachePolicy::UseProtocolCachePolicy);
    }
    void setCachePolicy(UrlRequestCachePolicy value) { cachePolicy_ = value; }
    bool HTTPShouldHandleCookies() const { return HTTPShouldHandleCookies_.value_or(false); }
    void setHTTPShouldHandleCookies(bool value) { HTTPShouldHandleCookies_ = value; }
    bool HTTPShouldUsePipelining() const { return HTTPShouldUsePipelining_.value_or(false); }
    void setHTTPShouldUsePipelining(bool value) { HTTPShouldUsePipelining_ = value; }
    unsigned networkServiceType() const { return networkServiceType_.value_or(0); }
    void setNetworkServiceType(unsigned value) { networkServiceType_ = value; }
    double timeoutInterval() const { return timeoutInterval_.value_or(0); }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

    // Methods (upper case) whose parameters go into the URL; {"GET", "HEAD", "DELETE"}.
    const std::set<std::string>& HTTPMethodsEncodingParametersInURI() const { return uriMethods_; }
    void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) {
        uriMethods_ = std::move(methods);
    }

    // Header table, field names with their exact spelling. Fields set on a request itself win.
    HeaderTable HTTPRequestHeaders() const;
    // Sets the field, or removes it when `value` is empty.
    void setValue(std::optional<std::string> value, const std::string& field);
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    // "Authorization: Basic base64(username:password)".
    void setAuthorizationHeaderFieldWithUsername(const std::string& username,
                                                 const std::string& password);
    void clearAuthorizationHeader();

    HTHTTPRequestQueryStringSerializationStyle queryStringSerializationStyle() const {
        return queryStringStyle_;
    }
    // Sets the style and drops any block.
    void setQueryStringSerializationWithStyle(HTHTTPRequestQueryStringSerializationStyle style);
    // The block replaces the style's query string.
    void setQueryStringSerializationWithBlock(QueryStringSerialization block);

    // A request for `method` (sent as given) and `URLString` (an empty URL when it does not parse)
    // with the settings, headers and parameters (null: none) applied; fails when the parameters
    // cannot be encoded.
    Result<UrlRequest> requestWithMethod(const std::string& method, const std::string& URLString,
                                         const Json& parameters = nullptr) const;

    // A request whose body stream is a "multipart/form-data" form: the parameters as fields
    // (nested keys flattened as in query strings), then the parts `block` appends. Fails when the
    // request cannot be built.
    Result<UrlRequest> multipartFormRequestWithMethod(
        const std::string& method, const std::string& URLString, const Json& parameters,
        const std::function<void(HTMultipartFormData&)>& block) const;
    // Writes the body stream of `request` into the file at `fileURL` on a background queue, then
    // calls `completionHandler` (when given) on the main queue with null or what went wrong.
    // Returns at once the request without its body stream, to be uploaded from that file.
    UrlRequest requestWithMultipartFormRequest(
        const UrlRequest& request, const Url& fileURL,
        std::function<void(const ErrorPtr&)> completionHandler) const;

    Result<UrlRequest> requestBySerializingRequest(const UrlRequest& request,
                                                   const Json& parameters) const override;

  protected:
    // A copy of `request` with the default headers it lacks.
    UrlRequest requestWithDefaultHeaders(const UrlRequest& request) const;
    bool encodesParametersInURI(const std::string& method) const;
    // For the body encodings of subclasses: methods that encode parameters in the URL get the query
    // string; others get the default headers and, when there are parameters, `contentType` (unless
    // the request has one) and the body that `encode` makes, or its failure.
    Result<UrlRequest> requestWithEncodedBody(const UrlRequest& request, const Json& parameters,
                                              const char* contentType,
                                              const std::function<Result<Bytes>()>& encode) const;
    // Carries the header table and query-string settings over to `copy`.
    void copyInto(HTHTTPRequestSerializer& copy) const;
    // Reads what encodeWithCoder wrote into `serializer`; false when the archive is corrupt.
    static bool decodeInto(HTHTTPRequestSerializer& serializer, KeyedUnarchiver& coder);

  private:
    unsigned long stringEncoding_ = HTUTF8StringEncoding;
    std::optional<bool> allowsCellularAccess_;
    std::optional<UrlRequestCachePolicy> cachePolicy_;
    std::optional<bool> HTTPShouldHandleCookies_;
    std::optional<bool> HTTPShouldUsePipelining_;
    std::optional<unsigned> networkServiceType_;
    std::optional<double> timeoutInterval_;
    std::set<std::string> uriMethods_{"GET", "HEAD", "DELETE"};
    HTHTTPRequestQueryStringSerializationStyle queryStringStyle_ =
        HTHTTPRequestQueryStringDefaultStyle;
    QueryStringSerialization queryStringSerialization_;

    mutable std::shared_mutex headersMutex_;
    HeaderTable headers_;
};

// The "Accept-Language" value for `languages`: at most six, weighted 1, 0.9, ... 0.5.
std::string HTAcceptLanguageHeaderValue(const std::vector<std::string>& languages);

}  // namespace quarra
