#pragma once
#include <string>

namespace quarra {

// "<program>/<version> (<machine>; <system> <release>; Scale/1.00)" for the host program, in ASCII.
std::string HTDefaultUserAgent();

}  // namespace quarra
