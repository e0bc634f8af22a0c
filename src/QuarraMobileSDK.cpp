#include "quarra/QuarraMobileSDK.h"

namespace quarra {

// Both from the project's version (CMakeLists.txt).
const double QuarraMobileSDKVersionNumber = QUARRA_VERSION_NUMBER;
const char* const QuarraMobileSDKVersionString = QUARRA_VERSION;

}  // namespace quarra
