// The image decoders over any bytes: a picture or an error, never a crash, a read out of bounds or
// a picture above its limit; and a picture is always of the size its header declares.
#include "FuzzSupport.h"
#include "quarra/Image.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Far below the default limit, so that each input stays within the fuzzer's memory.
    constexpr std::uint64_t limit = 4 * 1024 * 1024;
    const Bytes bytes = fuzz::bytes(data, size);
    auto header = Image::readHeader(bytes);
    auto image = Image::decode(bytes, 1.0, limit);
    if (!image) {
        // A failure must say what failed.
        if (!image.error())
            __builtin_trap();
        return 0;
    }
    const Image& picture = **image;
    if (!header || picture.pixelWidth() != header->width ||
        picture.pixelHeight() != header->height)
        __builtin_trap();
    std::uint64_t pixels = std::uint64_t(picture.pixelWidth()) * picture.pixelHeight();
    for (const ImagePtr& frame : picture.frames())
        pixels += std::uint64_t(frame->pixelWidth()) * frame->pixelHeight();
    if (pixels > limit)
        __builtin_trap();
    return 0;
}
