#include "transport/HTMultipartFormData.h"

#include <cstdio>
#include <random>

namespace quarra {

std::string HTCreateMultipartFormBoundary() {
    static thread_local std::random_device device;
    char text[32];
    std::snprintf(text, sizeof text, "Boundary+%08X%08X", static_cast<unsigned>(device()),
                  static_cast<unsigned>(device()));
    return text;
}

std::string HTMultipartFormInitialBoundary(std::string_view boundary) {
    return std::string("--").append(boundary).append(kHTMultipartCRLF);
}

std::string HTMultipartFormEncapsulationBoundary(std::string_view boundary) {
    return std::string(kHTMultipartCRLF).append("--").append(boundary).append(kHTMultipartCRLF);
}

std::string HTMultipartFormFinalBoundary(std::string_view boundary) {
    return std::string(kHTMultipartCRLF)
        .append("--")
        .append(boundary)
        .append("--")
        .append(kHTMultipartCRLF);
}

}  // namespace quarra
