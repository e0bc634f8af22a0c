#include "quarra/QuarraMobileSDK.h"

namespace quarra {

const double QuarraMobileSDKVersionNumber = 1.0;
const char* const QuarraMobileSDKVersionString = "1.0.0";

}  // namespace quarra
