#pragma once
// Error values: a domain, a signed code and a user-info dictionary, optionally caused by a
// lower-layer error. Immutable once made, so they are shared freely between threads.
#include <memory>
#include <string>
#include <string_view>

#include "quarra/JsonFwd.h"

namespace quarra {

class Error;
using ErrorPtr = std::shared_ptr<const Error>;

// Domain of errors that carry an errno value as code (a file that could not be read or written).
inline constexpr const char* PosixErrorDomain = "quarra.posix";

// User-info key of the human-readable description.
inline constexpr const char* LocalizedDescriptionKey = "LocalizedDescription";
// User-info key of the reason for a failure, as a sentence.
inline constexpr const char* LocalizedFailureReasonKey = "LocalizedFailureReason";
// User-info key of the URL (a string) whose loading failed.
inline constexpr const char* FailingURLErrorKey = "FailingURL";

class Error {
  public:
    // Use make(); public for std::make_shared only.
    Error(std::string domain, long code, Json userInfo, ErrorPtr underlying);

    // An error whose user info holds only `description` (none when it is empty).
    static ErrorPtr make(std::string domain, long code, std::string_view description = {},
                         ErrorPtr underlying = nullptr);
    // Callers that pass user info include "quarra/Json.h".
    static ErrorPtr make(std::string domain, long code, Json userInfo,
                         ErrorPtr underlying = nullptr);
    // Texts are descriptions, not JSON user info.
    static ErrorPtr make(std::string domain, long code, const char* description,
                         ErrorPtr underlying = nullptr) {
        return make(std::move(domain), code, std::string_view(description), std::move(underlying));
    }
    static ErrorPtr make(std::string domain, long code, const std::string& description,
                         ErrorPtr underlying = nullptr) {
        return make(std::move(domain), code, std::string_view(description), std::move(underlying));
    }

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    // Always an object, possibly empty.
    const Json& userInfo() const { return *userInfo_; }
    const ErrorPtr& underlyingError() const { return underlying_; }

    bool is(std::string_view domain, long code) const { return domain_ == domain && code_ == code; }

    // The description stored in the user info, or a generic text naming domain and code.
    std::string localizedDescription() const;
    // Everything: domain, code, user info and the chain of underlying errors; for logs and
    // diagnostics.
    std::string description() const;

  private:
    std::string domain_;
    long code_;
    // Behind a pointer so that this header needs no complete JSON type; never null.
    std::shared_ptr<const Json> userInfo_;
    ErrorPtr underlying_;
};

}  // namespace quarra
