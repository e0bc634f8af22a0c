#include "support/ImageFixtures.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <array>
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

Bytes makeJpeg(std::uint32_t width, std::uint32_t height, bool cmyk, bool progressive) {
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
    if (progressive)
        jpeg_simple_progression(&info);
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
    std::vector<GifFrame> all;
    for (int f = 0; f < frames; ++f)
        all.push_back({0, 0, int(width), int(height), f % 4, DISPOSAL_UNSPECIFIED});
    return makeGifFrames(width, height, all);
}

Bytes makeGifFrames(std::uint32_t width, std::uint32_t height,
                    const std::vector<GifFrame>& frames) {
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
    for (const GifFrame& frame : frames) {
        GraphicsControlBlock control{frame.disposal, false, 10, NO_TRANSPARENT_COLOR};
        GifByteType ext[4];
        EGifGCBToExtension(&control, ext);
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
        EGifPutImageDesc(gif, frame.left, frame.top, frame.width, frame.height, false, nullptr);
        std::vector<GifPixelType> line(std::size_t(frame.width), GifPixelType(frame.colour));
        for (int y = 0; y < frame.height; ++y)
            EGifPutLine(gif, line.data(), frame.width);
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

namespace {

void put16(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void put32(Bytes& out, std::uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}
void set32(Bytes& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A BITMAPINFOHEADER and its pixels, bottom-up, 24 or 32 bits; `rows` is the height field (an
// icon's counts its mask as well).
void appendDib(Bytes& out, std::uint32_t width, std::uint32_t height, std::uint32_t rows,
               int bits) {
    const std::uint32_t stride = (width * (bits / 8) + 3) & ~3u;
    put32(out, 40);
    put32(out, width);
    put32(out, rows);
    put16(out, 1);
    put16(out, bits);
    put32(out, 0);  // BI_RGB
    put32(out, stride * height);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    for (std::uint32_t row = height; row-- > 0;) {
        std::size_t start = out.size();
        for (std::uint32_t x = 0; x < width; ++x) {
            out.push_back(fixtureSample(x, row, 2));
            out.push_back(fixtureSample(x, row, 1));
            out.push_back(fixtureSample(x, row, 0));
            if (bits == 32)
                out.push_back(fixtureSample(x, row, 3));
        }
        out.resize(start + stride, 0);
    }
}

}  // namespace

Bytes makeTiff(std::uint32_t width, std::uint32_t height, bool alpha, bool packBits) {
    const std::uint32_t samples = alpha ? 4 : 3;
    Bytes strip;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            for (std::uint32_t c = 0; c < samples; ++c)
                strip.push_back(fixtureSample(x, y, int(c)));
    if (packBits) {
        // Literal runs of up to 128 bytes, each after its length less one.
        Bytes packed;
        for (std::size_t at = 0; at < strip.size(); at += 128) {
            const std::size_t n = std::min<std::size_t>(128, strip.size() - at);
            packed.push_back(static_cast<std::uint8_t>(n - 1));
            packed.insert(packed.end(), strip.begin() + std::ptrdiff_t(at),
                          strip.begin() + std::ptrdiff_t(at + n));
        }
        strip = std::move(packed);
    }
    const auto pixelBytes = std::uint32_t(strip.size());
    // Header, pixels, then the bits-per-sample values, then the directory.
    Bytes out = {'I', 'I', 42, 0};
    const std::uint32_t pixelsAt = 8;
    const std::uint32_t bitsAt = pixelsAt + pixelBytes;
    const std::uint32_t directoryAt = bitsAt + 8;
    put32(out, directoryAt);
    out.insert(out.end(), strip.begin(), strip.end());
    for (std::uint32_t c = 0; c < 4; ++c)
        put16(out, 8);
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count, value;
    };
    std::vector<Entry> entries = {
        {256, 4, 1, width},
        {257, 4, 1, height},
        {258, 3, samples, bitsAt},
        {259, 3, 1, packBits ? 32773u : 1u},
        {262, 3, 1, 2},
        {273, 4, 1, pixelsAt},
        {277, 3, 1, samples},
        {278, 4, 1, height},
        {279, 4, 1, pixelBytes},
        {284, 3, 1, 1},
    };
    if (alpha)
        entries.push_back({338, 3, 1, 2});  // unassociated alpha
    put16(out, std::uint32_t(entries.size()));
    for (const Entry& e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, e.count);
        // SHORT values sit in the low half of the field, read little-endian.
        put32(out, e.value);
    }
    put32(out, 0);
    return out;
}

Bytes makeBmp(std::uint32_t width, std::uint32_t height) {
    Bytes out = {'B', 'M'};
    put32(out, 0);  // the file size, set below
    put32(out, 0);
    put32(out, 54);
    appendDib(out, width, height, height, 24);
    set32(out, 2, std::uint32_t(out.size()));
    return out;
}

namespace {

// A colour for each palette index.
std::array<std::uint8_t, 3> paletteColour(std::uint32_t index) {
    return {static_cast<std::uint8_t>(index * 16), static_cast<std::uint8_t>(255 - index * 16),
            static_cast<std::uint8_t>(index * 4)};
}

// A row of palette indices as runs (two or more alike) and literal spans, then end of line.
void appendRunLengthRow(Bytes& out, const std::vector<std::uint32_t>& row, bool four) {
    std::size_t x = 0;
    while (x < row.size()) {
        std::size_t run = 1;
        while (x + run < row.size() && run < 255 && row[x + run] == row[x])
            ++run;
        std::size_t literal = 0;
        if (run == 1) {
            while (x + literal < row.size() && literal < 254 &&
                   (x + literal + 1 >= row.size() || row[x + literal + 1] != row[x + literal]))
                ++literal;
        }
        if (literal >= 3) {
            out.push_back(0);
            out.push_back(static_cast<std::uint8_t>(literal));
            Bytes span;
            for (std::size_t i = 0; i < literal; ++i) {
                if (!four)
                    span.push_back(static_cast<std::uint8_t>(row[x + i]));
                else if (i % 2 == 0)
                    span.push_back(static_cast<std::uint8_t>(row[x + i] << 4));
                else
                    span.back() |= static_cast<std::uint8_t>(row[x + i]);
            }
            if (span.size() % 2)
                span.push_back(0);
            out.insert(out.end(), span.begin(), span.end());
            x += literal;
        } else {
            out.push_back(static_cast<std::uint8_t>(run));
            out.push_back(static_cast<std::uint8_t>(four ? row[x] << 4 | row[x] : row[x]));
            x += run;
        }
    }
    out.push_back(0);
    out.push_back(0);
}

}  // namespace

EncodedImage makeBmpOf(std::uint32_t width, std::uint32_t height, BmpKind kind) {
    const bool runLength = kind == BmpKind::RunLength8 || kind == BmpKind::RunLength4;
    const std::uint32_t bits = kind == BmpKind::Palette1                                  ? 1
                               : kind == BmpKind::Palette4 || kind == BmpKind::RunLength4 ? 4
                               : kind == BmpKind::Palette8 || kind == BmpKind::RunLength8 ? 8
                               : kind == BmpKind::Masks565                                ? 16
                               : kind == BmpKind::Masks8888                               ? 32
                                                                                          : 24;
    const std::uint32_t compression = kind == BmpKind::RunLength8   ? 1
                                      : kind == BmpKind::RunLength4 ? 2
                                      : bits == 16 || bits == 32    ? 3
                                                                    : 0;
    const std::uint32_t headerSize = kind == BmpKind::Masks8888 ? 108 : 40;
    const std::uint32_t colours = bits <= 8 ? 1u << bits : 0;
    EncodedImage image;
    image.pixels.resize(std::size_t(width) * height * 4);
    auto index = [&](std::uint32_t x, std::uint32_t y) {
        return (x < width / 2 ? y : x) % (1u << std::min(bits, 8u));
    };

    Bytes& out = image.data;
    out = {'B', 'M'};
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);  // where the pixels start, set below
    put32(out, headerSize);
    put32(out, width);
    put32(out, kind == BmpKind::TopDown24 ? std::uint32_t(-std::int32_t(height)) : height);
    put16(out, 1);
    put16(out, bits);
    put32(out, compression);
    put32(out, 0);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, colours);
    put32(out, 0);
    if (bits == 16) {
        put32(out, 0xf800);
        put32(out, 0x07e0);
        put32(out, 0x001f);
    } else if (bits == 32) {
        put32(out, 0x00ff0000);
        put32(out, 0x0000ff00);
        put32(out, 0x000000ff);
        put32(out, 0xff000000);
        out.resize(14 + headerSize, 0);
    }
    for (std::uint32_t i = 0; i < colours; ++i) {
        auto c = paletteColour(i);
        out.insert(out.end(), {c[2], c[1], c[0], 0});
    }
    set32(out, 10, std::uint32_t(out.size()));

    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = &image.pixels[(std::size_t(y) * width + x) * 4];
            if (bits <= 8) {
                auto c = paletteColour(index(x, y));
                p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 255;
            } else if (bits == 16) {
                p[0] = static_cast<std::uint8_t>((fixtureSample(x, y, 0) >> 3) * 255 / 31);
                p[1] = static_cast<std::uint8_t>((fixtureSample(x, y, 1) >> 2) * 255 / 63);
                p[2] = static_cast<std::uint8_t>((fixtureSample(x, y, 2) >> 3) * 255 / 31);
                p[3] = 255;
            } else {
                for (int c = 0; c < 4; ++c)
                    p[c] = c < 3 || bits == 32 ? fixtureSample(x, y, c) : 255;
            }
        }
    // The rows as stored: bottom-up but for the top-down kind.
    for (std::uint32_t stored = 0; stored < height; ++stored) {
        const std::uint32_t y = kind == BmpKind::TopDown24 ? stored : height - 1 - stored;
        if (runLength) {
            std::vector<std::uint32_t> row;
            for (std::uint32_t x = 0; x < width; ++x)
                row.push_back(index(x, y));
            appendRunLengthRow(out, row, bits == 4);
            continue;
        }
        Bytes row((std::size_t(width) * bits + 31) / 32 * 4, 0);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint8_t r = fixtureSample(x, y, 0), g = fixtureSample(x, y, 1),
                               b = fixtureSample(x, y, 2), a = fixtureSample(x, y, 3);
            if (bits <= 8) {
                row[x * bits / 8] |=
                    static_cast<std::uint8_t>(index(x, y) << (8 - bits - x * bits % 8));
            } else if (bits == 16) {
                const std::uint32_t v = (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
                row[x * 2] = static_cast<std::uint8_t>(v);
                row[x * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
            } else {
                const std::size_t at = x * bits / 8;
                row[at] = b, row[at + 1] = g, row[at + 2] = r;
                if (bits == 32)
                    row[at + 3] = a;
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    if (runLength) {
        out.push_back(0);
        out.push_back(1);
    }
    set32(out, 2, std::uint32_t(out.size()));
    return image;
}

Bytes makeIco(std::uint32_t width, std::uint32_t height) {
    return makeIcon({{width, height, false}});
}

Bytes makeIcon(const std::vector<IconPicture>& pictures, bool cursor) {
    Bytes out;
    put16(out, 0);
    put16(out, cursor ? 2 : 1);
    put16(out, std::uint32_t(pictures.size()));
    std::vector<Bytes> bodies;
    for (const IconPicture& picture : pictures) {
        Bytes body;
        if (picture.png) {
            body = makePng(picture.width, picture.height);
        } else {
            appendDib(body, picture.width, picture.height, picture.height * 2, 32);
            // The AND mask, one bit per pixel in rows of whole 32-bit words: all clear, alpha
            // decides.
            body.resize(body.size() + std::size_t((picture.width + 31) / 32 * 4) * picture.height,
                        0);
        }
        bodies.push_back(std::move(body));
    }
    std::uint32_t at = 6 + 16 * std::uint32_t(pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        // A byte for each side: 0 stands for 256 (and for anything larger).
        out.push_back(static_cast<std::uint8_t>(pictures[i].width >= 256 ? 0 : pictures[i].width));
        out.push_back(
            static_cast<std::uint8_t>(pictures[i].height >= 256 ? 0 : pictures[i].height));
        out.push_back(0);
        out.push_back(0);
        put16(out, 1);  // planes, or a cursor's hot spot
        put16(out, 32);
        put32(out, std::uint32_t(bodies[i].size()));
        put32(out, at);
        at += std::uint32_t(bodies[i].size());
    }
    for (const Bytes& body : bodies)
        out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes makeXbm(std::uint32_t width, std::uint32_t height) {
    std::string text = "#define t_width " + std::to_string(width) + "\n#define t_height " +
                       std::to_string(height) + "\nstatic unsigned char t_bits[] = {\n  ";
    const std::uint32_t rowBytes = (width + 7) / 8;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t b = 0; b < rowBytes; ++b) {
            unsigned byte = 0;
            for (std::uint32_t bit = 0; bit < 8; ++bit)
                if ((b * 8 + bit + y) % 2 == 0)
                    byte |= 1u << bit;
            char hex[8];
            std::snprintf(hex, sizeof hex, " 0x%02x,", byte);
            text += hex;
        }
    text.back() = '}';
    text += ";\n";
    return Bytes(text.begin(), text.end());
}

Bytes withDeclaredSize(Bytes image, std::uint32_t width, std::uint32_t height) {
    if (image.size() > 8 && image[0] == 0x89)
        return makePngHeader(width, height);
    if (image.size() > 8 && image[0] == 'I' && image[1] == 'I') {
        // The directory's first two entries: width and length.
        std::size_t directory =
            image[4] | image[5] << 8 | image[6] << 16 | std::size_t(image[7]) << 24;
        set32(image, directory + 2 + 8, width);
        set32(image, directory + 2 + 12 + 8, height);
        return image;
    }
    if (image.size() > 26 && image[0] == 'B' && image[1] == 'M') {
        set32(image, 18, width);
        set32(image, 22, height);
        return image;
    }
    if (image.size() > 40 && image[0] == 0 && image[2] == 1) {
        // The picture's own header, where the decoder reads its size.
        set32(image, 22 + 4, width);
        set32(image, 22 + 8, height * 2);
        return image;
    }
    if (image.size() > 7 && std::memcmp(image.data(), "#define", 7) == 0) {
        std::string text(image.begin(), image.end());
        std::string rest = text.substr(text.find("static"));
        text = "#define t_width " + std::to_string(width) + "\n#define t_height " +
               std::to_string(height) + "\n" + rest;
        return Bytes(text.begin(), text.end());
    }
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
