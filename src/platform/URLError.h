#pragma once
// Making the URL loading system's errors (their domain and codes are public, quarra/URLError.h).
#include <string>

#include "quarra/Error.h"
#include "quarra/URLError.h"
#include "quarra/Url.h"

namespace quarra {

// An error of URLErrorDomain with the code's standard description and the failing URL; `detail`,
// when given, is kept under "DebugDescription" (curl's or OpenSSL's own words, for diagnostics).
ErrorPtr makeURLError(long code, const Url& url, const std::string& detail = {});

}  // namespace quarra
