// XML property lists: any document parses to a value that writes back and reads back the same, or
// gives an error.
#include "FuzzSupport.h"
#include "platform/PropertyList.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ErrorPtr error;
    auto value = propertyListFromData(fuzz::bytes(data, size), &error);
    if (!value) {
        if (!error)
            __builtin_trap();
        return 0;
    }
    if (auto written = propertyListData(*value, PropertyListXMLFormat, &error)) {
        auto again = propertyListFromData(*written, &error);
        if (!again)
            __builtin_trap();
    }
    return 0;
}
