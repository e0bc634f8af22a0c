#pragma once
// The SDK's error domains and user-info keys. Hosts compare errors against these values.

namespace quarra {

inline constexpr const char* TVKAuthorizationErrorDomain = "com.tovik.error.auth.domain";
inline constexpr const char* TVKQuarraErrorDomain = "com.tovik.error.general.domain";
inline constexpr const char* TVKQuarraExceptionErrorDomain = "com.tovik.error.exception.domain";
inline constexpr const char* TVKNetworkErrorDomain = "com.tovik.error.network.domain";
inline constexpr const char* TVKAPIErrorDomain = "com.tovik.error.API.domain";
inline constexpr const char* TVKCryptographyErrorDomain = "com.tovik.error.crypt";
inline constexpr const char* TVKCacheErrorDomain = "com.tovik.error.cache";

// The server's own message text of a mapped server error.
inline constexpr const char* TVKQuarraServerErrorMessageKey = "com.tovik.error.message.key";
inline constexpr const char* TVKQuarraRequestedQuarraIDKey = "com.tovik.error.requestedquarra.key";
inline constexpr const char* TVKInvalidServerResponseKey = "com.tovik.error.response.key";

}  // namespace quarra
