#include "quarra/Image.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

// The message codes of libjpeg: after jpeglib.h, which they need.
#include <jerror.h>

#include <tiffio.h>
#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <csetjmp>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

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

using Input = std::span<const std::uint8_t>;

// The bytes of RGBA pixels up to the limit, which a caller may set as high as it likes: held where
// the decoders' signed sizes still take it.
std::uint64_t limitBytes(std::uint64_t maxPixels) {
    return std::min<std::uint64_t>(maxPixels, std::numeric_limits<std::int64_t>::max() / 8) * 4;
}

// What a decoder may take for its own work besides the picture it makes (progressive JPEG
// coefficients, a TIFF strip): half the picture's bytes at the limit, and never less than a header
// needs.
std::uint64_t workLimit(std::uint64_t maxPixels) {
    return std::max<std::uint64_t>(limitBytes(maxPixels) / 2, 1 << 20);
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

// Records the size a picture declares. Nothing when its pixels are to be decoded next; otherwise
// the reader's answer: null for a header alone, or why the size is refused.
std::optional<ErrorPtr> declareSize(ImageHeader& header, std::uint32_t width, std::uint32_t height,
                                    std::uint64_t maxPixels, bool decoding) {
    header.width = width;
    header.height = height;
    if (!decoding)
        return ErrorPtr();
    if (ErrorPtr refused = tooLarge(width, height, maxPixels))
        return refused;
    return std::nullopt;
}

// ---- PNG ----------------------------------------------------------------------------------------

struct PngSource {
    Input data;
    std::size_t offset = 0;
};

void pngRead(png_structp png, png_bytep out, png_size_t length) {
    auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
    if (length > source->data.size() - source->offset)
        png_error(png, "truncated");
    std::memcpy(out, source->data.data() + source->offset, length);
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
    static ErrorPtr png(Input data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out) {
        PngReader reader;
        if (!reader.png || !reader.info) {
            return imageError(ImageErrorCorrupt, "The PNG decoder could not start.");
        }
        PngSource source{data};
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

    static ErrorPtr jpeg(Input data, ImageHeader& header, std::uint64_t maxPixels,
                         std::shared_ptr<Image>* out);
    static ErrorPtr gif(Input data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out);
    static ErrorPtr tiff(Input data, ImageHeader& header, std::uint64_t maxPixels,
                         std::shared_ptr<Image>* out);
    static ErrorPtr bmp(Input data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out);
    static ErrorPtr ico(Input data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out);
    static ErrorPtr xbm(Input data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out);

    // What one frame of an animation costs besides its pixels: the picture object, the pointer to
    // it and the allocations' bookkeeping.
    static constexpr std::uint64_t frameObjectBytes =
        sizeof(Image) + sizeof(ImagePtr) + sizeof(Image::PixelBuffer) + 64;

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
// Trace messages are dropped. A warning means damaged data, which libjpeg would paint over in grey
// and call a picture, unless it is about metadata this decoder has no use for.
void jpegMessage(j_common_ptr info, int level) {
    const int code = info->err->msg_code;
    if (level >= 0 || code == JWRN_ADOBE_XFORM || code == JWRN_JFIF_MAJOR || code == JWRN_BOGUS_ICC)
        return;
    jpegExit(info);
}

}  // namespace

ErrorPtr ImageDecoding::jpeg(Input data, ImageHeader& header, std::uint64_t maxPixels,
                             std::shared_ptr<Image>* out) {
    jpeg_decompress_struct info;
    JpegError jerr;
    info.err = jpeg_std_error(&jerr.manager);
    jerr.manager.error_exit = jpegExit;
    jerr.manager.emit_message = jpegMessage;
    // As for PNG: nothing on the stack changes between setjmp and the jump.
    auto buffer = std::make_unique<Image::PixelBuffer>();
    auto& pixels = *buffer;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&info);
        // Without a backing store, libjpeg refuses what would take more than its limit.
        if (jerr.manager.msg_code == JERR_NO_BACKING_STORE ||
            jerr.manager.msg_code == JERR_OUT_OF_MEMORY)
            return imageError(ImageErrorTooLarge,
                              "The JPEG needs more memory to decode than an image may take.");
        return imageError(ImageErrorCorrupt, "The JPEG data is corrupt.");
    }
    jpeg_create_decompress(&info);
    // A progressive JPEG keeps every coefficient of the picture until its last scan.
    info.mem->max_memory_to_use = static_cast<long>(workLimit(maxPixels));
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
    Input data;
    std::size_t offset = 0;
};

int gifRead(GifFileType* gif, GifByteType* out, int length) {
    auto* source = static_cast<GifSource*>(gif->UserData);
    std::size_t n = std::min<std::size_t>(std::size_t(std::max(length, 0)),
                                          source->data.size() - source->offset);
    std::memcpy(out, source->data.data() + source->offset, n);
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

ErrorPtr ImageDecoding::gif(Input data, ImageHeader& header, std::uint64_t maxPixels,
                            std::shared_ptr<Image>* out) {
    GifSource source{data};
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
    const std::uint64_t frameBytes = std::uint64_t(width) * height * 4;
    // What the frames hold so far: an animation keeps every frame as a picture of its own, with its
    // object and what giflib records of it (its description and its own colours), and the first
    // frame once more as the image's own pixels. A still image is its one frame.
    std::uint64_t held = 0;
    std::vector<Image::PixelBuffer> frames;
    // What the next frame is drawn over: a frame already made (none at first), perhaps with the
    // rectangle of the frame before it cleared. Disposal never needs more than that, so no canvas
    // is kept beside the frames.
    struct Backdrop {
        std::ptrdiff_t frame = -1;
        bool cleared = false;
        int left = 0, top = 0, right = 0, bottom = 0;
    } backdrop;
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
            const ColorMapObject* ownColours = gif->Image.ColorMap;
            held += frameBytes + frameObjectBytes + sizeof(SavedImage) + 64 +
                    (ownColours ? sizeof(ColorMapObject) +
                                      std::uint64_t(std::max(ownColours->ColorCount, 0)) *
                                          sizeof(GifColorType)
                                : 0);
            if (!frames.empty() && held + frameBytes > limitBytes(maxPixels)) {
                return imageError(ImageErrorTooLarge,
                                  "The GIF has more frames than can be decoded.");
            }
            const GifImageDesc& desc = gif->Image;
            const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
            if (!map || desc.Width <= 0 || desc.Height <= 0)
                return corrupt();
            Image::PixelBuffer canvas;
            if (backdrop.frame < 0)
                canvas.assign(frameBytes, 0);
            else
                canvas = frames[std::size_t(backdrop.frame)];
            if (backdrop.cleared) {
                for (int y = backdrop.top; y < backdrop.bottom; ++y)
                    std::memset(&canvas[(std::size_t(y) * width + backdrop.left) * 4], 0,
                                std::size_t(backdrop.right - backdrop.left) * 4);
            }
            line.assign(std::size_t(desc.Width), 0);
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
            frames.push_back(std::move(canvas));
            const auto drawn = std::ptrdiff_t(frames.size() - 1);
            if (control.DisposalMode == DISPOSE_BACKGROUND) {
                backdrop = {drawn,
                            true,
                            std::clamp<int>(desc.Left, 0, int(width)),
                            std::clamp<int>(desc.Top, 0, int(height)),
                            std::clamp<int>(desc.Left + desc.Width, 0, int(width)),
                            std::clamp<int>(desc.Top + desc.Height, 0, int(height))};
            } else if (control.DisposalMode != DISPOSE_PREVIOUS) {
                backdrop = {drawn, false};
            }
            control = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
        }
    } while (record != TERMINATE_RECORD_TYPE);

    if (frames.empty())
        return corrupt();
    if (frames.size() == 1) {
        *out = made(header, std::move(frames.front()));
        return nullptr;
    }
    auto image = made(header, frames.front());
    std::vector<ImagePtr> pictures;
    pictures.reserve(frames.size());
    for (auto& frame : frames)
        pictures.push_back(made(header, std::move(frame)));
    setFrames(*image, std::move(pictures));
    *out = std::move(image);
    return nullptr;
}

// ---- TIFF ---------------------------------------------------------------------------------------

namespace {

struct TiffSource {
    Input data;
    toff_t offset = 0;
};

tsize_t tiffRead(thandle_t handle, tdata_t out, tsize_t size) {
    auto* source = static_cast<TiffSource*>(handle);
    if (size < 0 || source->offset > source->data.size())
        return 0;
    std::size_t n = std::min<std::size_t>(std::size_t(size), source->data.size() - source->offset);
    std::memcpy(out, source->data.data() + source->offset, n);
    source->offset += n;
    return tsize_t(n);
}
tsize_t tiffWrite(thandle_t, tdata_t, tsize_t) {
    return -1;
}
toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<TiffSource*>(handle);
    toff_t base = whence == SEEK_CUR   ? source->offset
                  : whence == SEEK_END ? source->data.size()
                                       : 0;
    source->offset = base + offset;
    return source->offset;
}
int tiffClose(thandle_t) {
    return 0;
}
toff_t tiffSize(thandle_t handle) {
    return static_cast<TiffSource*>(handle)->data.size();
}
// The data stands in for a mapped file, so libtiff reads a strip where it lies rather than into a
// copy of its own. It only ever reads a mapping (a file's is mapped read-only).
int tiffMap(thandle_t handle, tdata_t* base, toff_t* size) {
    const Input data = static_cast<TiffSource*>(handle)->data;
    *base = const_cast<std::uint8_t*>(data.data());
    *size = data.size();
    return 1;
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

ErrorPtr ImageDecoding::tiff(Input data, ImageHeader& header, std::uint64_t maxPixels,
                             std::shared_ptr<Image>* out) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return imageError(ImageErrorCorrupt, "The TIFF decoder could not start.");
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffQuiet, nullptr);
    // Tables and strips libtiff reads for itself stay within a decoder's work limit.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(workLimit(maxPixels)));
    TiffSource source{data};
    std::unique_ptr<TIFF, TiffCloser> tiff(
        TIFFClientOpenExt("image", "r", &source, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize,
                          tiffMap, tiffUnmap, options));
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
    // libtiff decodes a whole strip (or tile) at a time, of every plane: one that would not fit the
    // work limit is refused here rather than failing as corrupt once the picture is allocated.
    std::uint16_t planar = PLANARCONFIG_CONTIG, samples = 1;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    const std::uint64_t block =
        TIFFIsTiled(tiff.get()) ? TIFFTileSize64(tiff.get()) : TIFFStripSize64(tiff.get());
    if (block * (planar == PLANARCONFIG_SEPARATE ? samples : 1u) > workLimit(maxPixels)) {
        return imageError(ImageErrorTooLarge,
                          "The TIFF needs more memory to decode than an image may take.");
    }
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

std::uint32_t le16(Input data, std::size_t at) {
    return std::uint32_t(data[at]) | std::uint32_t(data[at + 1]) << 8;
}
std::uint32_t le32(Input data, std::size_t at) {
    return le16(data, at) | le16(data, at + 2) << 16;
}
std::uint32_t be32(Input data, std::size_t at) {
    return std::uint32_t(data[at]) << 24 | std::uint32_t(data[at + 1]) << 16 |
           std::uint32_t(data[at + 2]) << 8 | data[at + 3];
}

ErrorPtr truncated(const char* format) {
    return imageError(ImageErrorCorrupt, std::string("The ") + format + " data is truncated.");
}
ErrorPtr corruptData(const char* format) {
    return imageError(ImageErrorCorrupt, std::string("The ") + format + " data is corrupt.");
}

// Whether `count` bytes from `at` lie within the data, without overflowing.
bool holds(Input data, std::uint64_t at, std::uint64_t count) {
    return at <= data.size() && count <= data.size() - at;
}

enum DibCompression : std::uint32_t {
    DibRGB = 0,
    DibRLE8 = 1,
    DibRLE4 = 2,
    DibBitfields = 3,
    DibAlphaBitfields = 6,
};

// One colour channel of a 16- or 32-bit pixel, as its mask gives it.
struct DibChannel {
    std::uint32_t mask = 0;
    int shift = 0;
    int width = 0;

    explicit DibChannel(std::uint32_t m = 0)
        : mask(m), shift(m ? std::countr_zero(m) : 0), width(m ? std::bit_width(m >> shift) : 0) {}
    std::uint8_t of(std::uint32_t pixel, std::uint8_t absent) const {
        if (!mask)
            return absent;
        const std::uint64_t value = (pixel & mask) >> shift;
        if (width >= 8)
            return std::uint8_t(value >> (width - 8));
        return std::uint8_t(value * 255 / ((1u << width) - 1));
    }
};

// A device-independent bitmap: what a BMP file holds after its first 14 bytes, and an icon's
// bitmap picture. The size is the picture's (an icon's header counts its mask's rows too).
struct Dib {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool topDown = false;
    std::uint32_t bits = 0;
    std::uint32_t compression = DibRGB;
    DibChannel red, green, blue, alpha;
    std::array<std::uint8_t, 256 * 4> palette{};
    // The first byte after the header, its masks and its palette.
    std::size_t end = 0;
};

// Reads the DIB header at `at`; `icon` for an icon's picture (height doubled, alpha in 32 bits).
ErrorPtr readDib(Input data, std::size_t at, bool icon, Dib& dib) {
    const char* format = icon ? "ICO" : "BMP";
    if (!holds(data, at, 12))
        return truncated(format);
    const std::uint32_t size = le32(data, at);
    std::uint32_t colours = 0;
    std::size_t entry = 4;
    if (size == 12) {
        dib.width = le16(data, at + 4);
        dib.height = le16(data, at + 6);
        dib.bits = le16(data, at + 10);
        entry = 3;
        dib.end = at + 12;
    } else if (size >= 40) {
        if (!holds(data, at, size))
            return truncated(format);
        const auto width = static_cast<std::int32_t>(le32(data, at + 4));
        const auto height = static_cast<std::int32_t>(le32(data, at + 8));
        if (width < 0 || height == INT32_MIN)
            return corruptData(format);
        dib.width = std::uint32_t(width);
        dib.topDown = height < 0;
        dib.height = std::uint32_t(height < 0 ? -height : height);
        dib.bits = le16(data, at + 14);
        dib.compression = le32(data, at + 16);
        colours = le32(data, at + 32);
        dib.end = at + size;
        if (dib.compression == DibBitfields || dib.compression == DibAlphaBitfields) {
            // Newer headers hold the masks; after the plain 40-byte one they follow it.
            const std::size_t count = dib.compression == DibAlphaBitfields || size >= 56 ? 4 : 3;
            std::size_t masksAt = at + 40;
            if (size < 40 + count * 4) {
                masksAt = dib.end;
                dib.end += count * 4;
            }
            if (!holds(data, masksAt, count * 4))
                return truncated(format);
            dib.red = DibChannel(le32(data, masksAt));
            dib.green = DibChannel(le32(data, masksAt + 4));
            dib.blue = DibChannel(le32(data, masksAt + 8));
            if (count == 4)
                dib.alpha = DibChannel(le32(data, masksAt + 12));
        }
    } else {
        return corruptData(format);
    }
    if (icon)
        dib.height /= 2;

    const std::uint32_t bits = dib.bits;
    const std::uint32_t compression = dib.compression;
    const bool palette = bits == 1 || bits == 4 || bits == 8;
    const bool readable =
        (compression == DibRGB && (palette || bits == 16 || bits == 24 || bits == 32)) ||
        (!icon && compression == DibRLE8 && bits == 8 && !dib.topDown) ||
        (!icon && compression == DibRLE4 && bits == 4 && !dib.topDown) ||
        ((compression == DibBitfields || compression == DibAlphaBitfields) &&
         (bits == 16 || bits == 32));
    if (!readable || (size == 12 && bits == 16))
        return imageError(ImageErrorCorrupt,
                          std::string("The ") + format + " data is of a kind that is not read.");
    if (compression == DibRGB && bits == 16) {
        dib.red = DibChannel(0x7c00);
        dib.green = DibChannel(0x03e0);
        dib.blue = DibChannel(0x001f);
    } else if (compression == DibRGB && bits == 32) {
        dib.red = DibChannel(0xff0000);
        dib.green = DibChannel(0xff00);
        dib.blue = DibChannel(0xff);
        // An icon's fourth byte is its alpha; a BMP's is unused.
        if (icon)
            dib.alpha = DibChannel(0xff000000u);
    }
    // The palette's entries: as many as the header says (for any depth), 2^bits when it says none.
    if (colours > 1u << 16)
        return corruptData(format);
    if (colours == 0 && palette)
        colours = 1u << bits;
    if (!holds(data, dib.end, std::uint64_t(colours) * entry))
        return truncated(format);
    for (std::uint32_t i = 0; i < std::min(colours, 256u); ++i) {
        const std::size_t from = dib.end + i * entry;
        dib.palette[i * 4] = data[from + 2];
        dib.palette[i * 4 + 1] = data[from + 1];
        dib.palette[i * 4 + 2] = data[from];
    }
    for (std::size_t i = 0; i < 256; ++i)
        dib.palette[i * 4 + 3] = 0xff;
    dib.end += std::size_t(colours) * entry;
    return nullptr;
}

std::uint64_t dibStride(std::uint32_t width, std::uint32_t bits) {
    return (std::uint64_t(width) * bits + 31) / 32 * 4;
}

// A run-length stream: runs and literal spans of palette indices, ended by its end-of-bitmap mark
// or by its last row. Pixels it skips stay clear. Data that ends before either is an error: the
// rest of the picture is not there.
ErrorPtr decodeRunLength(Input data, std::size_t at, const Dib& dib, std::uint8_t* pixels) {
    const bool four = dib.compression == DibRLE4;
    const std::uint32_t width = dib.width;
    const std::uint32_t height = dib.height;
    std::memset(pixels, 0, std::size_t(width) * height * 4);
    std::uint64_t x = 0, y = 0;
    auto put = [&](std::uint32_t index) {
        if (x < width && y < height)
            std::memcpy(pixels + ((height - 1 - y) * width + x) * 4, &dib.palette[index * 4], 4);
        ++x;
    };
    while (y < height) {
        if (!holds(data, at, 2))
            return truncated("BMP");
        const std::uint32_t count = data[at], value = data[at + 1];
        at += 2;
        if (count > 0) {
            for (std::uint32_t i = 0; i < count && x < width; ++i)
                put(four ? (i % 2 ? value & 0x0f : value >> 4) : value);
        } else if (value == 0) {
            x = 0;
            ++y;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (!holds(data, at, 2))
                return truncated("BMP");
            x += data[at];
            y += data[at + 1];
            at += 2;
        } else {
            // Literal pixels, padded to a whole 16-bit word.
            const std::size_t bytes = four ? (value + 1) / 2 : value;
            if (!holds(data, at, (bytes + 1) & ~std::size_t(1)))
                return truncated("BMP");
            for (std::uint32_t i = 0; i < value && x < width; ++i)
                put(four ? (i % 2 ? data[at + i / 2] & 0x0f : data[at + i / 2] >> 4)
                         : data[at + i]);
            at += (bytes + 1) & ~std::size_t(1);
        }
    }
    return nullptr;
}

// The picture's rows from `at`, into width x height RGBA pixels.
ErrorPtr decodeDib(Input data, std::size_t at, const Dib& dib, const char* format,
                   std::uint8_t* pixels) {
    if (dib.compression == DibRLE8 || dib.compression == DibRLE4)
        return decodeRunLength(data, at, dib, pixels);
    const std::uint32_t width = dib.width;
    const std::uint32_t height = dib.height;
    const std::uint64_t stride = dibStride(width, dib.bits);
    if (!holds(data, at, stride * height))
        return truncated(format);
    for (std::uint32_t row = 0; row < height; ++row) {
        const std::uint8_t* from = data.data() + at + row * stride;
        std::uint8_t* to = pixels + std::size_t(dib.topDown ? row : height - 1 - row) * width * 4;
        for (std::uint32_t x = 0; x < width; ++x, to += 4) {
            switch (dib.bits) {
                case 1:
                case 4:
                case 8: {
                    const std::uint32_t perByte = 8 / dib.bits;
                    const std::uint32_t shift = (perByte - 1 - x % perByte) * dib.bits;
                    const std::uint32_t index =
                        (from[x / perByte] >> shift) & ((1u << dib.bits) - 1);
                    std::memcpy(to, &dib.palette[index * 4], 4);
                    break;
                }
                case 24:
                    to[0] = from[x * 3 + 2];
                    to[1] = from[x * 3 + 1];
                    to[2] = from[x * 3];
                    to[3] = 0xff;
                    break;
                default: {
                    const std::uint32_t pixel = dib.bits == 16
                                                    ? le16(data, at + row * stride + x * 2)
                                                    : le32(data, at + row * stride + x * 4);
                    to[0] = dib.red.of(pixel, 0);
                    to[1] = dib.green.of(pixel, 0);
                    to[2] = dib.blue.of(pixel, 0);
                    to[3] = dib.alpha.of(pixel, 0xff);
                }
            }
        }
    }
    return nullptr;
}

// One picture of an icon file, with the size it declares itself (the directory's bytes for width
// and height cannot say more than 256 and are not what a decoder reads).
struct IconEntry {
    std::size_t at = 0;
    std::size_t size = 0;
    bool png = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bits = 0;
};

// The picture an icon is shown by: the largest, then the deepest. readHeader and decode both take
// it, so the header gives the size the decode returns.
ErrorPtr chooseIconEntry(Input data, IconEntry& chosen) {
    if (data.size() < 6)
        return truncated("ICO");
    const std::size_t count = le16(data, 4);
    if (count == 0 || !holds(data, 6, count * 16))
        return truncated("ICO");
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 6 + i * 16;
        IconEntry entry{le32(data, at + 12), le32(data, at + 8)};
        // Each picture must be whole: a cut one would be painted as far as it goes.
        if (!holds(data, entry.at, entry.size))
            return truncated("ICO");
        static constexpr std::uint8_t pngSignature[] = {0x89, 'P',  'N',  'G',
                                                        '\r', '\n', 0x1a, '\n'};
        const Input picture = data.subspan(entry.at, entry.size);
        if (picture.size() >= 26 &&
            std::equal(std::begin(pngSignature), std::end(pngSignature), picture.begin())) {
            entry.png = true;
            entry.width = be32(picture, 16);
            entry.height = be32(picture, 20);
            entry.bits = 32;
        } else {
            Dib dib;
            if (ErrorPtr unreadable = readDib(picture, 0, true, dib))
                return unreadable;
            entry.width = dib.width;
            entry.height = dib.height;
            entry.bits = int(dib.bits);
        }
        const std::uint64_t pixels = std::uint64_t(entry.width) * entry.height;
        const std::uint64_t best = std::uint64_t(chosen.width) * chosen.height;
        if (i == 0 || pixels > best || (pixels == best && entry.bits > chosen.bits))
            chosen = entry;
    }
    return nullptr;
}

// Where an X bitmap's size and bits are: "#define <name>_width <n>", "..._height <n>" (the last
// definition of each before the bits counts), then an array of char (or, in the old form, short)
// values after "{".
struct XbmLayout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool shorts = false;
    std::size_t bitsAt = 0;
};

ErrorPtr readXbmLayout(Input data, XbmLayout& layout) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const std::size_t brace = text.find('{');
    const std::string_view head = text.substr(0, brace);
    std::optional<std::uint32_t> width, height;
    std::size_t declaration = 0;
    for (std::size_t at = 0; at < head.size();) {
        std::size_t end = head.find('\n', at);
        if (end == std::string_view::npos)
            end = head.size();
        std::string_view line = head.substr(at, end - at);
        at = end + 1;
        auto skipBlanks = [&] {
            while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())))
                line.remove_prefix(1);
        };
        skipBlanks();
        if (!line.starts_with("#define"))
            continue;
        declaration = at;
        line.remove_prefix(7);
        skipBlanks();
        std::size_t nameEnd = 0;
        while (nameEnd < line.size() && !std::isspace(static_cast<unsigned char>(line[nameEnd])))
            ++nameEnd;
        const std::string_view name = line.substr(0, nameEnd);
        line.remove_prefix(nameEnd);
        skipBlanks();
        std::uint64_t value = 0;
        std::size_t digits = 0;
        for (; digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9';
             ++digits)
            value = value * 10 + std::uint64_t(line[digits] - '0');
        if (digits == 0 || value > 0xffffffffull)
            continue;
        // The word after the name's last "_" says what is defined, whatever the name before it.
        const std::size_t underscore = name.rfind('_');
        const std::string_view what =
            underscore == std::string_view::npos ? name : name.substr(underscore + 1);
        if (what == "width")
            width = std::uint32_t(value);
        else if (what == "height")
            height = std::uint32_t(value);
    }
    if (!width || !height)
        return imageError(ImageErrorCorrupt, "The X bitmap declares no size.");
    layout.width = *width;
    layout.height = *height;
    if (brace != std::string_view::npos) {
        layout.shorts =
            head.substr(std::min(declaration, head.size())).find("short") != std::string_view::npos;
        layout.bitsAt = brace + 1;
    }
    return nullptr;
}

}  // namespace

ErrorPtr ImageDecoding::bmp(Input data, ImageHeader& header, std::uint64_t maxPixels,
                            std::shared_ptr<Image>* out) {
    Dib dib;
    if (data.size() < 14)
        return truncated("BMP");
    if (ErrorPtr unreadable = readDib(data, 14, false, dib))
        return unreadable;
    if (auto answer = declareSize(header, dib.width, dib.height, maxPixels, out != nullptr))
        return *answer;
    Image::PixelBuffer pixels(std::size_t(dib.width) * dib.height * 4);
    if (ErrorPtr unreadable = decodeDib(data, le32(data, 10), dib, "BMP", pixels.data()))
        return unreadable;
    *out = made(header, std::move(pixels));
    return nullptr;
}

ErrorPtr ImageDecoding::ico(Input data, ImageHeader& header, std::uint64_t maxPixels,
                            std::shared_ptr<Image>* out) {
    IconEntry entry;
    if (ErrorPtr unreadable = chooseIconEntry(data, entry))
        return unreadable;
    const Input picture = data.subspan(entry.at, entry.size);
    if (entry.png)
        return png(picture, header, maxPixels, out);
    if (auto answer = declareSize(header, entry.width, entry.height, maxPixels, out != nullptr))
        return *answer;
    // Within the picture's own bytes: the directory's size bounds what it may read.
    Dib dib;
    if (ErrorPtr unreadable = readDib(picture, 0, true, dib))
        return unreadable;
    const std::uint32_t width = dib.width, height = dib.height;
    Image::PixelBuffer pixels(std::size_t(width) * height * 4);
    if (ErrorPtr unreadable = decodeDib(picture, dib.end, dib, "ICO", pixels.data()))
        return unreadable;
    // The mask follows the colours, one bit a pixel, bottom-up: a set bit is a clear pixel. A
    // picture with alpha of its own uses that instead, unless every alpha is zero (the older kind).
    const std::uint64_t maskAt = dib.end + dibStride(width, dib.bits) * height;
    const std::uint64_t maskStride = dibStride(width, 1);
    if (!holds(picture, maskAt, maskStride * height))
        return truncated("ICO");
    bool ownAlpha = false;
    if (dib.alpha.mask) {
        for (std::size_t i = 3; i < pixels.size() && !ownAlpha; i += 4)
            ownAlpha = pixels[i] != 0;
    }
    if (!ownAlpha) {
        for (std::uint32_t row = 0; row < height; ++row) {
            const std::uint8_t* mask = picture.data() + maskAt + row * maskStride;
            std::uint8_t* to = pixels.data() + std::size_t(height - 1 - row) * width * 4;
            for (std::uint32_t x = 0; x < width; ++x)
                to[x * 4 + 3] = (mask[x / 8] >> (7 - x % 8)) & 1 ? 0 : 0xff;
        }
    }
    *out = made(header, std::move(pixels));
    return nullptr;
}

ErrorPtr ImageDecoding::xbm(Input data, ImageHeader& header, std::uint64_t maxPixels,
                            std::shared_ptr<Image>* out) {
    XbmLayout layout;
    if (ErrorPtr unreadable = readXbmLayout(data, layout))
        return unreadable;
    header.bitsPerComponent = 1;
    if (auto answer = declareSize(header, layout.width, layout.height, maxPixels, out != nullptr))
        return *answer;
    if (!layout.bitsAt)
        return truncated("X bitmap");
    const std::uint32_t width = layout.width;
    const std::uint32_t unitBits = layout.shorts ? 16 : 8;
    const std::uint64_t unitsPerRow = (width + unitBits - 1) / unitBits;
    const std::uint64_t units = unitsPerRow * layout.height;
    Image::PixelBuffer pixels(std::size_t(width) * layout.height * 4);
    std::size_t at = layout.bitsAt;
    auto blank = [&](std::uint8_t c) { return c == ',' || std::isspace(c); };
    auto hexDigit = [](std::uint8_t c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        c = static_cast<std::uint8_t>(std::tolower(c));
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::uint64_t unit = 0; unit < units; ++unit) {
        while (at < data.size() && blank(data[at]))
            ++at;
        if (at >= data.size() || data[at] == '}')
            return truncated("X bitmap");
        std::uint32_t value = 0;
        const int base =
            at + 1 < data.size() && data[at] == '0' && (data[at + 1] == 'x' || data[at + 1] == 'X')
                ? 16
                : 10;
        if (base == 16)
            at += 2;
        std::size_t digits = 0;
        for (int d; at < data.size() && (d = hexDigit(data[at])) >= 0 && d < base; ++at, ++digits) {
            value = value * base + std::uint32_t(d);
            if (value >> unitBits)
                return corruptData("X bitmap");
        }
        if (digits == 0 || (at < data.size() && !blank(data[at]) && data[at] != '}'))
            return corruptData("X bitmap");
        const std::uint64_t y = unit / unitsPerRow;
        const std::uint64_t firstX = unit % unitsPerRow * unitBits;
        for (std::uint32_t bit = 0; bit < unitBits && firstX + bit < width; ++bit) {
            // A set bit is ink: black on white.
            const std::uint8_t shade = (value >> bit) & 1 ? 0 : 0xff;
            std::uint8_t* p = &pixels[(y * width + firstX + bit) * 4];
            p[0] = p[1] = p[2] = shade;
            p[3] = 0xff;
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
            return ImageDecoding::bmp(data, header, maxPixels, out);
        case ImageFormat::ICO:
            return ImageDecoding::ico(data, header, maxPixels, out);
        case ImageFormat::XBM:
            return ImageDecoding::xbm(data, header, maxPixels, out);
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
