#include "quarra/Image.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/Files.h"

namespace quarra {

namespace {

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
        auto buffers =
            std::make_unique<std::pair<std::vector<std::uint8_t>, std::vector<png_bytep>>>();
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
        *out = std::make_shared<Image>(header.width, header.height, std::move(pixels));
        return nullptr;
    }

    static ErrorPtr jpeg(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                         std::shared_ptr<Image>* out);
    static ErrorPtr gif(const Bytes& data, ImageHeader& header, std::uint64_t maxPixels,
                        std::shared_ptr<Image>* out);

    static void setSource(Image& image, const ImageHeader& header) {
        image.bitsPerComponent_ = header.bitsPerComponent;
        image.isCMYK_ = header.isCMYK;
    }
    static void setFrames(Image& image, std::vector<ImagePtr> frames) {
        image.frames_ = std::move(frames);
    }
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
    auto buffer = std::make_unique<std::vector<std::uint8_t>>();
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
    *out = std::make_shared<Image>(header.width, header.height, std::move(pixels));
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
            frames.push_back(std::make_shared<Image>(width, height, canvas));
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
    auto image = std::make_shared<Image>(width, height, frames.front()->pixels());
    if (frames.size() > 1)
        setFrames(*image, std::move(frames));
    *out = std::move(image);
    return nullptr;
}

// ---- Image --------------------------------------------------------------------------------------

Image::Image(std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t> pixels,
             double scale)
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
        case ImageFormat::Unknown:
            break;
    }
    return imageError(ImageErrorUnknownFormat, "The data is not a PNG, JPEG or GIF image.");
}

}  // namespace

Result<ImageHeader> Image::readHeader(const Bytes& data) {
    ImageHeader header;
    if (ErrorPtr error = runDecoder(data, header, 0, nullptr))
        return error;
    return header;
}

Result<ImagePtr> Image::decode(const Bytes& data, double scale, std::uint64_t maxPixels) {
    ImageHeader header;
    std::shared_ptr<Image> image;
    if (ErrorPtr error = runDecoder(data, header, maxPixels, &image))
        return error;
    ImageDecoding::setSource(*image, header);
    image->scale_ = scale > 0 ? scale : 1.0;
    for (auto& frame : image->frames_) {
        auto scaled = std::make_shared<Image>(*frame);
        scaled->scale_ = image->scale_;
        frame = std::move(scaled);
    }
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
    auto& p = copy->pixels_;
    for (std::size_t i = 0; i < p.size(); i += 4) {
        unsigned a = p[i + 3];
        if (a == 0xff)
            continue;
        p[i] = static_cast<std::uint8_t>((p[i] * a + 127) / 255);
        p[i + 1] = static_cast<std::uint8_t>((p[i + 1] * a + 127) / 255);
        p[i + 2] = static_cast<std::uint8_t>((p[i + 2] * a + 127) / 255);
    }
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
