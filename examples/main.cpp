// A small host program: forwards its launch to the SDK and shows what the SDK set up.
#include <iostream>

#include "QuarraMobileSDK.h"

int main() {
    std::cout << "Quarra SDK " << quarra::QuarraMobileSDKVersionString << "\n";
    return 0;
}
