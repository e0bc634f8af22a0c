#include "platform/URLError.h"

#include "quarra/Json.h"

namespace quarra {
namespace {

const char* describe(long code) {
    switch (code) {
        case URLErrorCancelled:
            return "cancelled";
        case URLErrorBadURL:
            return "unsupported URL";
        case URLErrorTimedOut:
            return "The request timed out.";
        case URLErrorUnsupportedURL:
            return "unsupported URL";
        case URLErrorCannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLErrorCannotConnectToHost:
            return "Could not connect to the server.";
        case URLErrorNetworkConnectionLost:
            return "The network connection was lost.";
        case URLErrorHTTPTooManyRedirects:
            return "too many HTTP redirects";
        case URLErrorNotConnectedToInternet:
            return "The Internet connection appears to be offline.";
        case URLErrorBadServerResponse:
            return "The server returned a bad response.";
        case URLErrorCannotDecodeRawData:
            return "cannot decode raw data";
        case URLErrorCannotDecodeContentData:
            return "cannot decode content data";
        case URLErrorCannotParseResponse:
            return "cannot parse response";
        case URLErrorRequestBodyStreamExhausted:
            return "request body stream exhausted";
        case URLErrorFileDoesNotExist:
            return "The requested URL was not found on this server.";
        case URLErrorDataLengthExceedsMaximum:
            return "resource exceeds maximum size";
        case URLErrorSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case URLErrorServerCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case URLErrorCannotCreateFile:
            return "cannot create file";
        case URLErrorCannotWriteToFile:
            return "cannot write file";
        default:
            return "unknown error";
    }
}

}  // namespace

ErrorPtr makeURLError(long code, const Url& url, const std::string& detail) {
    Json info = {{LocalizedDescriptionKey, describe(code)},
                 {URLErrorFailingURLStringKey, url.string()}};
    if (!detail.empty()) {
        info["DebugDescription"] = detail;
    }
    return Error::make(URLErrorDomain, code, std::move(info));
}

}  // namespace quarra
