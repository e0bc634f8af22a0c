// XML property lists: any document parses to a value that writes back and reads back the same, or
// gives an error.
#include "FuzzSupport.h"
#include "platform/PropertyList.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto value = propertyListFromData(fuzz::bytes(data, size));
    if (!value)
        return 0;
    if (auto written = propertyListData(*value, PropertyListXMLFormat)) {
        auto again = propertyListFromData(*written);
        if (!again)
            __builtin_trap();
    }
    return 0;
}
