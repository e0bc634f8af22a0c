#include "quarra/Image.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <csetjmp>
#include <cstdarg>
#include <cstring>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdexcept>
#include <string>
#include <tiffio.h>

#include "platform/Files.h"

namespace quarra {

namespace {

template <class Pixels>
void premultiply(Pixels& p) {
    for (std::size_t i = 0; i < p.size(); i += 4) {
        unsigned a = p[i + 3];
        if (a == 0xff)
            continue;
        p[i] = static_cast<std::uint8_t>((p[i] * a + 127) / 255);
        p[i + 1] = static_cast<std::uint8_t>((p[i + 1] * a + 127) / 255);
        p[i + 2] = static_cast<std::uint8_t>((p[i + 2] * a + 127) / 255);
    }
}

ErrorPtr imageError(long code, const std::string& description) {
    return Error::make(ImageErrorDomain, code, description);
}

// Why an image of this size is not decoded; null when it may be.
ErrorPtr tooLarge(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
    if (width == 0 || height == 0)
        return imageError(ImageErrorCorrupt, "The image declares no pixels.");
    if (width * height > maxPixels) {
        return imageError(ImageErrorTooLarge, "The image declares " + std::to_string(width) + "x" +
                                                  std::to_string(height) +
                                                  " pixels, more than can be decoded.");
    }
    return nullptr;
}

// ---- PNG ----------------------------------------------------------------------------------------

struct PngSource {
    const Bytes* data;
    std::size_t offset = 0;
};

void pngRead(png_structp png, png_bytep out, png_size_t length) {
    auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
    if (length > source->data->size() - source->offset)
        png_error(png, "truncated");
    std::memcpy(out, source->data->data() + source->offset, length);
    source->offset += length;
}

void pngWarning(png_structp, png_const_charp) {}
// Errors become our own error values; libpng's text would only reach stderr.
void pngFailure(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

// Runs libpng over `data`: reads the header, and when `decode` is set, the pixels as RGBA.
struct PngReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngReader() {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailure, pngWarning);
        if (png)
            info = png_create_info_struct(png);
    }
    ~PngReader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

}  // namespace

struct ImageDecoding {
    static ErrorPtr png(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out) {
        PngReader reader;
        if (!reader.png || !reader.info) {
            return imageError(ImageErrorCorrupt, "The PNG decoder could not start.");
        }
        PngSource source{&data};
        // Locals changed after setjmp would be indeterminate after the jump: the buffers live on
        // the heap behind a pointer that never changes.
        auto buffers = std::make_unique<std::pair<Image::PixelBuffer, std::vector<png_bytep>>>();
        auto& pixels = buffers->first;
        auto& rows = buffers->second;
        if (setjmp(png_jmpbuf(reader.png))) {
            return imageError(ImageErrorCorrupt, "The PNG data is corrupt.");
        }
        png_set_read_fn(reader.png, &source, pngRead);
        png_read_info(reader.png, reader.info);
        header.width = png_get_image_width(reader.png, reader.info);
        header.height = png_get_image_height(reader.png, reader.info);
        header.bitsPerComponent = png_get_bit_depth(reader.png, reader.info);
        if (!out)
            return nullptr;
        if (ErrorPtr refused = tooLarge(header.width, header.height, maxPixels))
            return refused;

        png_set_expand(reader.png);
        png_set_strip_16(reader.png);
        png_set_gray_to_rgb(reader.png);
        png_set_add_alpha(reader.png, 0xff, PNG_FILLER_AFTER);
        png_set_interlace_handling(reader.png);
        png_read_update_info(reader.png, reader.info);
        if (png_get_rowbytes(reader.png, reader.info) != std::size_t(header.width) * 4)
            png_error(reader.png, "unexpected row layout");
        pixels.resize(std::size_t(header.width) * header.height * 4);
        rows.resize(header.height);
        for (std::uint32_t y = 0; y < header.height; ++y)
            rows[y] = pixels.data() + std::size_t(y) * header.width * 4;
        png_read_image(reader.png, rows.data());
        png_read_end(reader.png, nullptr);
        *out = made(header, std::move(pixels));
        return nullptr;
    }

    static ErrorPtr jpeg(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                         std::shared_ptr<Image>* out);
    static ErrorPtr gif(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out);
    static ErrorPtr tiff(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                         std::shared_ptr<Image>* out);
    static ErrorPtr pixbuf(const char* type, const Bytes& data, ImageHeader& header,
                           std::uint64_t maxPixels, std::shared_ptr<Image>* out);

    // An image of the header's size over `pixels`, at scale 1 until decode() sets its own.
    static std::shared_ptr<Image> made(const ImageHeader& header, Image::PixelBuffer pixels) {
        return std::shared_ptr<Image>(
            new Image(Image::Decoded{}, header.width, header.height, std::move(pixels), 1.0));
    }
    static void setSource(Image& image, const ImageHeader& header) {
        image.bitsPerComponent_ = header.bitsPerComponent;
        image.isCMYK_ = header.isCMYK;
    }
    static void setFrames(Image& image, std::vector<ImagePtr> frames) {
        image.frames_ = std::move(frames);
    }
    static void setPremultiplied(Image& image) { image.premultiplied_ = true; }
    static void setScale(Image& image, double scale) { image.scale_ = scale; }
    static Image::PixelBuffer& pixelsOf(Image& image) { return image.pixels_; }
};

// ---- JPEG ---------------------------------------------------------------------------------------

namespace {

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpegExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}
void jpegMessage(j_common_ptr) {}

}  // namespace

ErrorPtr ImageDecoding::jpeg(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                             std::shared_ptr<Image>* out) {
    jpeg_decompress_struct info;
    JpegError jerr;
    info.err = jpeg_std_error(&jerr.manager);
    jerr.manager.error_exit = jpegExit;
    jerr.manager.output_message = jpegMessage;
    // As for PNG: nothing on the stack changes between setjmp and the jump.
    auto buffer = std::make_unique<Image::PixelBuffer>();
    auto& pixels = *buffer;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&info);
        return imageError(ImageErrorCorrupt, "The JPEG data is corrupt.");
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    header.width = info.image_width;
    header.height = info.image_height;
    header.bitsPerComponent = info.data_precision;
    header.isCMYK = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    ErrorPtr refused = out ? tooLarge(header.width, header.height, maxPixels) : nullptr;
    if (!out || refused) {
        jpeg_destroy_decompress(&info);
        return refused;
    }
    info.out_color_space = header.isCMYK ? JCS_CMYK : JCS_EXT_RGBA;
    jpeg_start_decompress(&info);
    if (info.output_components != 4)
        jpegExit(reinterpret_cast<j_common_ptr>(&info));
    pixels.resize(std::size_t(header.width) * header.height * 4);
    while (info.output_scanline < info.output_height) {
        JSAMPROW line = pixels.data() + std::size_t(info.output_scanline) * header.width * 4;
        jpeg_read_scanlines(&info, &line, 1);
    }
    // Adobe writes CMYK inverted; that is what every CMYK JPEG in practice carries.
    if (header.isCMYK) {
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            unsigned k = pixels[i + 3];
            pixels[i] = static_cast<std::uint8_t>(pixels[i] * k / 255);
            pixels[i + 1] = static_cast<std::uint8_t>(pixels[i + 1] * k / 255);
            pixels[i + 2] = static_cast<std::uint8_t>(pixels[i + 2] * k / 255);
            pixels[i + 3] = 0xff;
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    *out = made(header, std::move(pixels));
    return nullptr;
}

// ---- GIF ----------------------------------------------------------------------------------------

namespace {

struct GifSource {
    const Bytes* data;
    std::size_t offset = 0;
};

int gifRead(GifFileType* gif, GifByteType* out, int length) {
    auto* source = static_cast<GifSource*>(gif->UserData);
    std::size_t n = std::min<std::size_t>(std::size_t(std::max(length, 0)),
                                          source->data->size() - source->offset);
    std::memcpy(out, source->data->data() + source->offset, n);
    source->offset += n;
    return static_cast<int>(n);
}

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int ignored;
        DGifCloseFile(gif, &ignored);
    }
};

}  // namespace

ErrorPtr ImageDecoding::gif(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                            std::shared_ptr<Image>* out) {
    GifSource source{&data};
    int code = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&source, gifRead, &code));
    if (!gif) {
        return imageError(ImageErrorCorrupt, "The GIF data is corrupt.");
    }
    header.width = static_cast<std::uint32_t>(std::max(gif->SWidth, 0));
    header.height = static_cast<std::uint32_t>(std::max(gif->SHeight, 0));
    header.bitsPerComponent = 8;
    if (!out)
        return nullptr;
    if (ErrorPtr refused = tooLarge(header.width, header.height, maxPixels))
        return refused;

    const std::uint32_t width = header.width;
    const std::uint32_t height = header.height;
    const std::uint64_t framePixels = std::uint64_t(width) * height;
    std::vector<std::uint8_t> canvas(framePixels * 4, 0);
    std::vector<ImagePtr> frames;
    std::vector<GifByteType> line;
    GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    auto corrupt = [] { return imageError(ImageErrorCorrupt, "The GIF data is corrupt."); };

    GifRecordType record;
    do {
        if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR)
            return corrupt();
        if (record == EXTENSION_RECORD_TYPE) {
            int extCode = 0;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(gif.get(), &extCode, &ext) == GIF_ERROR)
                return corrupt();
            if (extCode == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4)
                DGifExtensionToGCB(ext[0], ext + 1, &control);
            while (ext) {
                if (DGifGetExtensionNext(gif.get(), &ext) == GIF_ERROR)
                    return corrupt();
            }
        } else if (record == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif.get()) == GIF_ERROR)
                return corrupt();
            // Every frame is one more canvas in memory: the limit covers them all.
            if (std::uint64_t(frames.size() + 1) * framePixels > maxPixels) {
                return imageError(ImageErrorTooLarge,
                                  "The GIF has more frames than can be decoded.");
            }
            const GifImageDesc& desc = gif->Image;
            const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
            if (!map || desc.Width <= 0 || desc.Height <= 0)
                return corrupt();
            line.assign(std::size_t(desc.Width), 0);
            std::vector<std::uint8_t> before;
            if (control.DisposalMode == DISPOSE_PREVIOUS)
                before = canvas;
            auto drawRow = [&](int y) {
                if (DGifGetLine(gif.get(), line.data(), desc.Width) == GIF_ERROR)
                    return false;
                int cy = desc.Top + y;
                if (cy < 0 || cy >= int(height))
                    return true;
                for (int x = 0; x < desc.Width; ++x) {
                    int cx = desc.Left + x;
                    int index = line[std::size_t(x)];
                    if (cx < 0 || cx >= int(width) || index == control.TransparentColor ||
                        index >= map->ColorCount)
                        continue;
                    std::uint8_t* p = &canvas[(std::size_t(cy) * width + cx) * 4];
                    p[0] = map->Colors[index].Red;
                    p[1] = map->Colors[index].Green;
                    p[2] = map->Colors[index].Blue;
                    p[3] = 0xff;
                }
                return true;
            };
            if (desc.Interlace) {
                static constexpr int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
                for (int pass = 0; pass < 4; ++pass)
                    for (int y = start[pass]; y < desc.Height; y += step[pass])
                        if (!drawRow(y))
                            return corrupt();
            } else {
                for (int y = 0; y < desc.Height; ++y)
                    if (!drawRow(y))
                        return corrupt();
            }
            frames.push_back(made(header, Image::PixelBuffer(canvas.begin(), canvas.end())));
            if (control.DisposalMode == DISPOSE_BACKGROUND) {
                for (int y = std::max(desc.Top, 0);
                     y < std::min<int>(desc.Top + desc.Height, height); ++y)
                    for (int x = std::max(desc.Left, 0);
                         x < std::min<int>(desc.Left + desc.Width, width); ++x)
                        std::memset(&canvas[(std::size_t(y) * width + x) * 4], 0, 4);
            } else if (control.DisposalMode == DISPOSE_PREVIOUS) {
                canvas = std::move(before);
            }
            control = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
        }
    } while (record != TERMINATE_RECORD_TYPE);

    if (frames.empty())
        return corrupt();
    const auto first = frames.front()->pixels();
    auto image = made(header, Image::PixelBuffer(first.begin(), first.end()));
    if (frames.size() > 1)
        setFrames(*image, std::move(frames));
    *out = std::move(image);
    return nullptr;
}

// ---- TIFF ---------------------------------------------------------------------------------------

namespace {

struct TiffSource {
    const Bytes* data;
    toff_t offset = 0;
};

tsize_t tiffRead(thandle_t handle, tdata_t out, tsize_t size) {
    auto* source = static_cast<TiffSource*>(handle);
    if (size < 0 || source->offset > source->data->size())
        return 0;
    std::size_t n = std::min<std::size_t>(std::size_t(size), source->data->size() - source->offset);
    std::memcpy(out, source->data->data() + source->offset, n);
    source->offset += n;
    return tsize_t(n);
}
tsize_t tiffWrite(thandle_t, tdata_t, tsize_t) {
    return -1;
}
toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<TiffSource*>(handle);
    toff_t base = whence == SEEK_CUR   ? source->offset
                  : whence == SEEK_END ? source->data->size()
                                       : 0;
    source->offset = base + offset;
    return source->offset;
}
int tiffClose(thandle_t) {
    return 0;
}
toff_t tiffSize(thandle_t handle) {
    return static_cast<TiffSource*>(handle)->data->size();
}
int tiffMap(thandle_t, tdata_t*, toff_t*) {
    return 0;
}
void tiffUnmap(thandle_t, tdata_t, toff_t) {}
// Errors become our own error values; libtiff's text would only reach stderr.
int tiffQuiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

}  // namespace

ErrorPtr ImageDecoding::tiff(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                             std::shared_ptr<Image>* out) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return imageError(ImageErrorCorrupt, "The TIFF decoder could not start.");
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffQuiet, nullptr);
    // Tables and strips libtiff reads for itself stay within what the image may take (8 bytes a
    // pixel covers 16-bit samples), and never below what a header needs.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options,
                                        tmsize_t(std::max<std::uint64_t>(maxPixels * 8, 1 << 20)));
    TiffSource source{&data};
    std::unique_ptr<TIFF, TiffCloser> tiff(
        TIFFClientOpenExt("image", "rm", &source, tiffRead, tiffWrite, tiffSeek, tiffClose,
                          tiffSize, tiffMap, tiffUnmap, options));
    TIFFOpenOptionsFree(options);
    auto corrupt = [] { return imageError(ImageErrorCorrupt, "The TIFF data is corrupt."); };
    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 8;
    if (!tiff || !TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height))
        return corrupt();
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    header.width = width;
    header.height = height;
    header.bitsPerComponent = bits;
    if (!out)
        return nullptr;
    if (ErrorPtr refused = tooLarge(width, height, maxPixels))
        return refused;
    Image::PixelBuffer pixels(std::size_t(width) * height * 4);
    // libtiff writes each pixel as one 32-bit value: A, B, G, R from the most significant byte.
    auto* raster = reinterpret_cast<std::uint32_t*>(pixels.data());
    if (!TIFFReadRGBAImageOriented(tiff.get(), width, height, raster, ORIENTATION_TOPLEFT, 0))
        return corrupt();
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            std::uint32_t value = raster[i / 4];
            pixels[i] = std::uint8_t(TIFFGetR(value));
            pixels[i + 1] = std::uint8_t(TIFFGetG(value));
            pixels[i + 2] = std::uint8_t(TIFFGetB(value));
            pixels[i + 3] = std::uint8_t(TIFFGetA(value));
        }
    }
    std::uint16_t extraCount = 0;
    std::uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    *out = made(header, std::move(pixels));
    // libtiff hands alpha over multiplied into the colour, whichever way the file stored it.
    if (extraCount > 0 && extra &&
        (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA))
        setPremultiplied(**out);
    return nullptr;
}

// ---- BMP, ICO and X bitmaps ---------------------------------------------------------------------

namespace {

std::uint32_t le16(const Bytes& data, std::size_t at) {
    return std::uint32_t(data[at]) | std::uint32_t(data[at + 1]) << 8;
}
std::uint32_t le32(const Bytes& data, std::size_t at) {
    return le16(data, at) | le16(data, at + 2) << 16;
}
std::uint32_t be32(const Bytes& data, std::size_t at) {
    return std::uint32_t(data[at]) << 24 | std::uint32_t(data[at + 1]) << 16 |
           std::uint32_t(data[at + 2]) << 8 | data[at + 3];
}
// A signed 32-bit size field as its magnitude (a negative BMP height means top-down rows).
std::uint32_t magnitude(std::uint32_t field) {
    auto value = static_cast<std::int32_t>(field);
    return value < 0 ? std::uint32_t(-std::int64_t(value)) : std::uint32_t(value);
}

ErrorPtr truncated(const char* format) {
    return imageError(ImageErrorCorrupt, std::string("The ") + format + " data is truncated.");
}

// The size a BITMAPINFOHEADER (or the older BITMAPCOREHEADER) at `at` declares.
ErrorPtr dibSize(const Bytes& data, std::size_t at, std::uint32_t& width, std::uint32_t& height) {
    if (data.size() < at + 12)
        return truncated("BMP");
    if (le32(data, at) == 12) {
        width = le16(data, at + 4);
        height = le16(data, at + 6);
        return nullptr;
    }
    if (data.size() < at + 16)
        return truncated("BMP");
    width = magnitude(le32(data, at + 4));
    height = magnitude(le32(data, at + 8));
    return nullptr;
}

ErrorPtr bmpHeader(const Bytes& data, ImageHeader& header) {
    return dibSize(data, 14, header.width, header.height);
}

// The loader paints what a cut-off file holds and calls it done: uncompressed rows are counted
// here, so that a short file is an error rather than a part of a picture.
ErrorPtr bmpComplete(const Bytes& data, const ImageHeader& header) {
    const bool core = le32(data, 14) == 12;
    if (data.size() < 14 + (core ? 12u : 32u))
        return truncated("BMP");
    const std::uint32_t bits = le16(data, core ? 24 : 28);
    const std::uint32_t compression = core ? 0 : le32(data, 30);
    if (compression != 0 && compression != 3)  // run-length and embedded formats end on their own
        return nullptr;
    const std::uint64_t stride = (std::uint64_t(header.width) * bits + 31) / 32 * 4;
    if (data.size() < le32(data, 10) + stride * header.height)
        return imageError(ImageErrorCorrupt, "The BMP data is truncated.");
    return nullptr;
}

// An icon file holds several pictures; the decoder may take any of them, so each is checked: the
// directory's size and the size its picture declares itself (a PNG's, or a DIB's, whose height
// counts the mask too).
ErrorPtr icoHeader(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels) {
    if (data.size() < 6)
        return truncated("ICO");
    const std::size_t count = le16(data, 4);
    if (count == 0 || data.size() < 6 + count * 16)
        return truncated("ICO");
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = 6 + i * 16;
        std::uint32_t width = data[entry] ? data[entry] : 256;
        std::uint32_t height = data[entry + 1] ? data[entry + 1] : 256;
        const std::size_t at = le32(data, entry + 12);
        // As for BMP, a cut-off picture would be painted as far as it goes.
        if (std::uint64_t(at) + le32(data, entry + 8) > data.size())
            return truncated("ICO");
        static constexpr std::uint8_t png[] = {0x89, 'P', 'N', 'G'};
        if (at + 24 <= data.size() &&
            std::equal(std::begin(png), std::end(png), data.begin() + at)) {
            width = std::max(width, be32(data, at + 16));
            height = std::max(height, be32(data, at + 20));
        } else {
            std::uint32_t w = 0, h = 0;
            if (ErrorPtr unreadable = dibSize(data, at, w, h))
                return unreadable;
            width = std::max(width, w);
            height = std::max(height, h / 2);
        }
        if (ErrorPtr refused = maxPixels ? tooLarge(width, height, maxPixels) : nullptr)
            return refused;
        if (std::uint64_t(width) * height > std::uint64_t(header.width) * header.height) {
            header.width = width;
            header.height = height;
        }
    }
    return nullptr;
}

// "#define <name>_width <n>" and "..._height <n>".
ErrorPtr xbmHeader(const Bytes& data, ImageHeader& header) {
    std::string_view text(reinterpret_cast<const char*>(data.data()),
                          std::min<std::size_t>(data.size(), 4096));
    auto number = [&](std::string_view key, std::uint32_t& value) {
        std::size_t at = text.find(key);
        if (at == std::string_view::npos)
            return false;
        at += key.size();
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        std::uint64_t n = 0;
        std::size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 10;
             ++at, ++digits)
            n = n * 10 + std::uint64_t(text[at] - '0');
        if (digits == 0 || n > 0xffffffffull)
            return false;
        value = std::uint32_t(n);
        return true;
    };
    if (!number("_width", header.width) || !number("_height", header.height))
        return imageError(ImageErrorCorrupt, "The X bitmap declares no size.");
    header.bitsPerComponent = 1;
    return nullptr;
}

struct GObjectUnref {
    void operator()(void* object) const { g_object_unref(object); }
};

}  // namespace

ErrorPtr ImageDecoding::pixbuf(const char* type, const Bytes& data, ImageHeader& header,
                               std::uint64_t maxPixels, std::shared_ptr<Image>* out) {
    if (ErrorPtr refused = tooLarge(header.width, header.height, maxPixels))
        return refused;
    GError* error = nullptr;
    std::unique_ptr<GdkPixbufLoader, GObjectUnref> loader(
        gdk_pixbuf_loader_new_with_type(type, &error));
    if (!loader) {
        g_clear_error(&error);
        return imageError(ImageErrorUnknownFormat,
                          std::string("No decoder for ") + type + " images is installed.");
    }
    // A failed write closes the loader itself; only a good one is closed here.
    bool ok = gdk_pixbuf_loader_write(loader.get(), data.data(), data.size(), &error) &&
              gdk_pixbuf_loader_close(loader.get(), &error);
    g_clear_error(&error);
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
    if (!pixbuf || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
        gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB)
        return imageError(ImageErrorCorrupt, std::string("The ") + type + " data is corrupt.");
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    // An icon's picture is the one the loader chose: its size is the image's.
    header.width = std::uint32_t(width);
    header.height = std::uint32_t(height);
    if (ErrorPtr refused = tooLarge(header.width, header.height, maxPixels))
        return refused;
    if (channels != 3 && channels != 4)
        return imageError(ImageErrorCorrupt, std::string("The ") + type + " data is corrupt.");
    const std::size_t stride = std::size_t(gdk_pixbuf_get_rowstride(pixbuf));
    const guchar* rows = gdk_pixbuf_read_pixels(pixbuf);
    Image::PixelBuffer pixels(std::size_t(width) * height * 4);
    std::uint8_t* to = pixels.data();
    for (int y = 0; y < height; ++y) {
        const guchar* from = rows + std::size_t(y) * stride;
        if (channels == 4) {
            std::memcpy(to, from, std::size_t(width) * 4);
            to += std::size_t(width) * 4;
            continue;
        }
        for (int x = 0; x < width; ++x, from += 3, to += 4) {
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
            to[3] = 0xff;
        }
    }
    *out = made(header, std::move(pixels));
    return nullptr;
}

// ---- Image --------------------------------------------------------------------------------------

Image::Image(std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t> pixels,
             double scale)
    : Image(Decoded{}, width, height, PixelBuffer(pixels.begin(), pixels.end()), scale) {}

Image::Image(Decoded, std::uint32_t width, std::uint32_t height, PixelBuffer pixels, double scale)
    : width_(width), height_(height), pixels_(std::move(pixels)), scale_(scale > 0 ? scale : 1.0) {
    if (pixels_.size() != std::size_t(width) * height * 4)
        throw std::invalid_argument("Image: pixel buffer does not match its size");
}

ImageFormat Image::sniffFormat(const Bytes& data) {
    static constexpr std::uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (data.size() >= sizeof png && std::equal(std::begin(png), std::end(png), data.begin()))
        return ImageFormat::PNG;
    if (data.size() >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff)
        return ImageFormat::JPEG;
    if (data.size() >= 6 && std::memcmp(data.data(), "GIF8", 4) == 0 &&
        (data[4] == '7' || data[4] == '9') && data[5] == 'a')
        return ImageFormat::GIF;
    if (data.size() >= 4 &&
        (std::memcmp(data.data(), "II*\0", 4) == 0 || std::memcmp(data.data(), "MM\0*", 4) == 0))
        return ImageFormat::TIFF;
    if (data.size() >= 2 && data[0] == 'B' && data[1] == 'M')
        return ImageFormat::BMP;
    // Icons (type 1) and cursors (type 2).
    if (data.size() >= 4 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || data[2] == 2) &&
        data[3] == 0)
        return ImageFormat::ICO;
    std::size_t start = 0;
    while (start < data.size() && std::isspace(data[start]))
        ++start;
    if (data.size() - start >= 7 && std::memcmp(data.data() + start, "#define", 7) == 0)
        return ImageFormat::XBM;
    return ImageFormat::Unknown;
}

namespace {

// Reads the header, and the pixels into `out` unless it is null. Null on success.
ErrorPtr runDecoder(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                    std::shared_ptr<Image>* out) {
    header.format = Image::sniffFormat(data);
    switch (header.format) {
        case ImageFormat::PNG:
            return ImageDecoding::png(data, header, maxPixels, out);
        case ImageFormat::JPEG:
            return ImageDecoding::jpeg(data, header, maxPixels, out);
        case ImageFormat::GIF:
            return ImageDecoding::gif(data, header, maxPixels, out);
        case ImageFormat::TIFF:
            return ImageDecoding::tiff(data, header, maxPixels, out);
        case ImageFormat::BMP:
        case ImageFormat::ICO:
        case ImageFormat::XBM: {
            ErrorPtr unreadable = header.format == ImageFormat::BMP ? bmpHeader(data, header)
                                  : header.format == ImageFormat::ICO
                                      ? icoHeader(data, header, out ? maxPixels : 0)
                                      : xbmHeader(data, header);
            if (!unreadable && out)
                unreadable = tooLarge(header.width, header.height, maxPixels);
            if (!unreadable && out && header.format == ImageFormat::BMP)
                unreadable = bmpComplete(data, header);
            if (unreadable || !out)
                return unreadable;
            const char* type = header.format == ImageFormat::BMP   ? "bmp"
                               : header.format == ImageFormat::ICO ? "ico"
                                                                   : "xbm";
            return ImageDecoding::pixbuf(type, data, header, maxPixels, out);
        }
        case ImageFormat::Unknown:
            break;
    }
    return imageError(ImageErrorUnknownFormat, "The data is not an image of a known format.");
}

}  // namespace

Result<ImageHeader> Image::readHeader(const Bytes& data) {
    ImageHeader header;
    if (ErrorPtr error = runDecoder(data, header, 0, nullptr))
        return error;
    return header;
}

Result<ImagePtr> Image::decode(const Bytes& data, double scale, std::uint64_t maxPixels) {
    return decode(data, ImageDecodeOptions{scale, maxPixels, 0, nullptr});
}

Result<ImagePtr> Image::decode(const Bytes& data, const ImageDecodeOptions& options) {
    ImageHeader header;
    std::shared_ptr<Image> image;
    if (ErrorPtr error = runDecoder(data, header, options.maxPixels, &image))
        return error;
    ImageDecoding::setSource(*image, header);
    // Every picture was made here and nobody else holds it yet: set in place, without a copy.
    const double scale = options.scale > 0 ? options.scale : 1.0;
    image->scale_ = scale;
    for (auto& frame : image->frames_)
        ImageDecoding::setScale(const_cast<Image&>(*frame), scale);
    if (!image->isAnimated() && !image->premultiplied_ && image->bitsPerComponent_ <= 8 &&
        std::uint64_t(image->width_) * image->height_ <= options.premultipliedUpTo) {
        premultiply(image->pixels_);
        image->premultiplied_ = true;
    }
    image->encodedData_ = options.encodedData;
    return ImagePtr(std::move(image));
}

ImagePtr Image::withScale(double scale) const {
    auto copy = std::make_shared<Image>(*this);
    copy->scale_ = scale > 0 ? scale : 1.0;
    for (auto& frame : copy->frames_)
        frame = frame->withScale(scale);
    return copy;
}

ImagePtr Image::premultipliedCopy() const {
    auto copy = std::make_shared<Image>(*this);
    if (premultiplied_)
        return copy;
    premultiply(copy->pixels_);
    copy->premultiplied_ = true;
    return copy;
}

ImagePtr Image::named(const std::string& name, const std::filesystem::path& folder) {
    if (name.empty() || name.find('/') != std::string::npos)
        return nullptr;
    auto text = files::read(folder / (name + ".png"));
    if (!text)
        return nullptr;
    auto decoded = decode(Bytes(text->begin(), text->end()));
    if (!decoded)
        return nullptr;
    auto image = std::make_shared<Image>(**decoded);
    image->name_ = name;
    return image;
}

ImagePtr Image::drawn(std::string name, Size size, Drawing drawing) {
    auto image = std::make_shared<Image>(0, 0, std::vector<std::uint8_t>{});
    image->name_ = std::move(name);
    image->drawnSize_ = size;
    image->drawing_ = std::move(drawing);
    return image;
}

ImagePtr Image::withEncodedData(std::shared_ptr<const Bytes> data) const {
    auto copy = std::make_shared<Image>(*this);
    copy->encodedData_ = std::move(data);
    return copy;
}

}  // namespace quarra
