#pragma once
// The SDK's version, as the host sees it.

namespace quarra {

extern const double QuarraMobileSDKVersionNumber;
extern const char* const QuarraMobileSDKVersionString;

}  // namespace quarra
