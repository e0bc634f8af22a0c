#pragma once
// Small images encoded by the tests themselves (with libpng, libjpeg and giflib, and byte by byte
// for TIFF, BMP, ICO and X bitmaps), and headers that declare sizes no decoder should try.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quarra/Bytes.h"

namespace quarra::test {

// The fixtures' pixel at (x, y), RGBA.
std::uint8_t fixtureSample(std::uint32_t x, std::uint32_t y, int channel);

// `bitDepth` 8 or 16; `alpha` adds an alpha channel of fixtureSample(.., 3).
Bytes makePng(std::uint32_t width, std::uint32_t height, int bitDepth = 8, bool alpha = true);
// Baseline JPEG, quality 95; `cmyk` writes four Adobe (inverted) CMYK components; `progressive`
// a progressive one.
Bytes makeJpeg(std::uint32_t width, std::uint32_t height, bool cmyk = false,
               bool progressive = false);
// `frames` frames, frame i filled with palette colour i (red, green, blue, ...).
Bytes makeGif(std::uint32_t width, std::uint32_t height, int frames = 1);
// One frame of makeGifFrames: a rectangle filled with palette colour `colour`, and what becomes of
// it before the next frame (giflib's DISPOSE_* value).
struct GifFrame {
    int left, top, width, height, colour, disposal;
};
Bytes makeGifFrames(std::uint32_t width, std::uint32_t height, const std::vector<GifFrame>& frames);
// Uncompressed RGB (or RGBA with unassociated alpha), little-endian ("II"); `packBits` stores the
// whole picture as one PackBits-compressed strip.
Bytes makeTiff(std::uint32_t width, std::uint32_t height, bool alpha = false,
               bool packBits = false);
// 24-bit, bottom-up rows: fixtureSample's colours, opaque.
Bytes makeBmp(std::uint32_t width, std::uint32_t height);

// A picture and the RGBA pixels it holds.
struct EncodedImage {
    Bytes data;
    std::vector<std::uint8_t> pixels;
};
// The BMP kinds beside makeBmp's: palettes of 1, 4 and 8 bits, run-length 8 and 4 bits (each row
// ended, then the end-of-bitmap mark), 16 bits of 5-6-5 masks, 32 bits with an alpha mask in a
// 108-byte header, and 24 bits stored top-down.
enum class BmpKind {
    Palette1,
    Palette4,
    Palette8,
    RunLength8,
    RunLength4,
    Masks565,
    Masks8888,
    TopDown24
};
EncodedImage makeBmpOf(std::uint32_t width, std::uint32_t height, BmpKind kind);

// One 32-bit picture with alpha (a DIB with its mask), as icons carry them.
Bytes makeIco(std::uint32_t width, std::uint32_t height);
// An icon (or a cursor) of several pictures in the given order: makePng's for `png`, otherwise
// makeIco's kind of bitmap.
struct IconPicture {
    std::uint32_t width, height;
    bool png;
};
Bytes makeIcon(const std::vector<IconPicture>& pictures, bool cursor = false);
// Bit (x, y) set where (x + y) is even.
Bytes makeXbm(std::uint32_t width, std::uint32_t height);
// The palette colour of frame i of makeGif, as RGB.
std::vector<std::uint8_t> gifFrameColour(int frame);

// Signature, an IHDR that declares width x height (8-bit RGBA), a few bytes of
// image data and IEND: a header for huge sizes, a truncated image for small ones.
Bytes makePngHeader(std::uint32_t width, std::uint32_t height);
// A small image of the format whose header claims width x height.
Bytes withDeclaredSize(Bytes image, std::uint32_t width, std::uint32_t height);

inline std::string asString(const Bytes& data) {
    return {data.begin(), data.end()};
}
inline Bytes asBytes(std::string_view text) {
    return {text.begin(), text.end()};
}

}  // namespace quarra::test
