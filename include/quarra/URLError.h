#pragma once
// The URL loading system's error domain and codes: a request that could not be made or completed
// (no connection, a time-out, a refused certificate, a cancel) fails with these. The codes are the
// ones hosts have always seen for these conditions, so they are kept as numbers.

namespace quarra {

inline constexpr const char* URLErrorDomain = "URLErrorDomain";
// User-info key of the URL that failed, as text.
inline constexpr const char* URLErrorFailingURLStringKey = "ErrorFailingURLStringKey";

enum URLErrorCode : long {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorResourceUnavailable = -1008,
    URLErrorNotConnectedToInternet = -1009,
    URLErrorBadServerResponse = -1011,
    URLErrorCannotDecodeRawData = -1015,
    URLErrorCannotDecodeContentData = -1016,
    URLErrorCannotParseResponse = -1017,
    URLErrorRequestBodyStreamExhausted = -1021,
    URLErrorFileDoesNotExist = -1100,
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateUntrusted = -1202,
    URLErrorCannotCreateFile = -3000,
    URLErrorCannotWriteToFile = -3003,
};

}  // namespace quarra
