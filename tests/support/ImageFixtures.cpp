#include "support/ImageFixtures.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quarra::test {

std::uint8_t fixtureSample(std::uint32_t x, std::uint32_t y, int channel) {
    switch (channel) {
        case 0:
            return static_cast<std::uint8_t>(x * 7);
        case 1:
            return static_cast<std::uint8_t>(y * 5);
        case 2:
            return static_cast<std::uint8_t>((x + y) * 3);
        default:
            return static_cast<std::uint8_t>(128 + (x % 2) * 127);
    }
}

namespace {

void appendPng(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t length) {
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBigEndian(Bytes& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 24);
    out[at + 1] = static_cast<std::uint8_t>(value >> 16);
    out[at + 2] = static_cast<std::uint8_t>(value >> 8);
    out[at + 3] = static_cast<std::uint8_t>(value);
}

}  // namespace

Bytes makePng(std::uint32_t width, std::uint32_t height, int bitDepth, bool alpha) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
        throw std::runtime_error("png fixture");
    png_set_write_fn(png, &out, appendPng, nullptr);
    const int channels = alpha ? 4 : 3;
    png_set_IHDR(png, info, width, height, bitDepth,
                 alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const int bytes = bitDepth / 8;
    std::vector<std::uint8_t> row(std::size_t(width) * channels * bytes);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                for (int b = 0; b < bytes; ++b)
                    row[(std::size_t(x) * channels + c) * bytes + b] = fixtureSample(x, y, c);
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

Bytes makeJpeg(std::uint32_t width, std::uint32_t height, bool cmyk) {
    jpeg_compress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = cmyk ? 4 : 3;
    info.in_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&info);
    if (cmyk) {
        jpeg_set_colorspace(&info, JCS_CMYK);
        info.write_Adobe_marker = TRUE;
    }
    jpeg_set_quality(&info, 95, TRUE);
    jpeg_start_compress(&info, TRUE);
    const int channels = info.input_components;
    std::vector<std::uint8_t> row(std::size_t(width) * channels);
    while (info.next_scanline < height) {
        std::uint32_t y = info.next_scanline;
        for (std::uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                // Inverted CMYK with K = 255 (no black) carries the RGB sample as is.
                row[std::size_t(x) * channels + c] = c < 3 ? fixtureSample(x, y, c) : 255;
        JSAMPROW line = row.data();
        jpeg_write_scanlines(&info, &line, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

std::vector<std::uint8_t> gifFrameColour(int frame) {
    static const std::uint8_t colours[][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
    const auto& c = colours[frame % 4];
    return {c[0], c[1], c[2]};
}

namespace {

int appendGif(GifFileType* gif, const GifByteType* data, int length) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

}  // namespace

Bytes makeGif(std::uint32_t width, std::uint32_t height, int frames) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, appendGif, &error);
    GifColorType palette[4];
    for (int i = 0; i < 4; ++i) {
        auto c = gifFrameColour(i);
        palette[i] = GifColorType{c[0], c[1], c[2]};
    }
    ColorMapObject* map = GifMakeMapObject(4, palette);
    EGifSetGifVersion(gif, true);
    if (EGifPutScreenDesc(gif, int(width), int(height), 2, 0, map) == GIF_ERROR)
        throw std::runtime_error("gif fixture");
    std::vector<GifPixelType> line(width);
    for (int f = 0; f < frames; ++f) {
        GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 10, NO_TRANSPARENT_COLOR};
        GifByteType ext[4];
        EGifGCBToExtension(&control, ext);
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
        EGifPutImageDesc(gif, 0, 0, int(width), int(height), false, nullptr);
        std::fill(line.begin(), line.end(), GifPixelType(f % 4));
        for (std::uint32_t y = 0; y < height; ++y)
            EGifPutLine(gif, line.data(), int(width));
    }
    GifFreeMapObject(map);
    EGifCloseFile(gif, &error);
    return out;
}

Bytes makePngHeader(std::uint32_t width, std::uint32_t height) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    auto chunk = [&](const char* type, const Bytes& body) {
        std::size_t at = out.size();
        out.resize(at + 4);
        putBigEndian(out, at, static_cast<std::uint32_t>(body.size()));
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), body.begin(), body.end());
        std::uint32_t crc = crc32(out.data() + at + 4, body.size() + 4);
        std::size_t end = out.size();
        out.resize(end + 4);
        putBigEndian(out, end, crc);
    };
    Bytes ihdr(13, 0);
    putBigEndian(ihdr, 0, width);
    putBigEndian(ihdr, 4, height);
    ihdr[8] = 8;  // bit depth
    ihdr[9] = 6;  // RGBA
    chunk("IHDR", ihdr);
    // The start of a compressed stream: decoders stop at the first data chunk to learn the size.
    chunk("IDAT", Bytes{0x78, 0x9c, 0x01});
    chunk("IEND", {});
    return out;
}

Bytes withDeclaredSize(Bytes image, std::uint32_t width, std::uint32_t height) {
    if (image.size() > 8 && image[0] == 0x89)
        return makePngHeader(width, height);
    if (image.size() > 10 && std::memcmp(image.data(), "GIF", 3) == 0) {
        image[6] = static_cast<std::uint8_t>(width);
        image[7] = static_cast<std::uint8_t>(width >> 8);
        image[8] = static_cast<std::uint8_t>(height);
        image[9] = static_cast<std::uint8_t>(height >> 8);
        return image;
    }
    // JPEG: the start-of-frame segment holds height, then width, after its length and precision.
    for (std::size_t i = 2; i + 9 < image.size(); ++i) {
        if (image[i] == 0xff && (image[i + 1] == 0xc0 || image[i + 1] == 0xc2)) {
            image[i + 5] = static_cast<std::uint8_t>(height >> 8);
            image[i + 6] = static_cast<std::uint8_t>(height);
            image[i + 7] = static_cast<std::uint8_t>(width >> 8);
            image[i + 8] = static_cast<std::uint8_t>(width);
            return image;
        }
    }
    throw std::invalid_argument("withDeclaredSize: unknown image");
}

}  // namespace quarra::test
