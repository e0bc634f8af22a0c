#pragma once
// A decoded image: 8-bit RGBA pixels, a size in pixels and a scale (pixels per point). PNG, JPEG,
// GIF and TIFF bodies decode through libpng, libjpeg-turbo, giflib and libtiff; BMP, ICO (and CUR)
// and X bitmaps through decoders of our own. Every format's declared size is read first and an
// image above the pixel limit is refused before any pixel memory is allocated, so a tiny file
// that declares a huge image cannot exhaust memory; the size checked is the size decoded. Damaged
// data (cut short, or what the decoder reports as corrupt) is an error, never a partial picture.
// Besides the pixels, a decoder's own work (a progressive JPEG's coefficients, a TIFF strip) may
// take half the picture's bytes at the limit; a file that needs more is refused as too large.
// Decoding is safe on many threads at once.
//
// An image may instead be made of a drawing that paints itself into any rectangle (how the SDK's
// own small symbols are made); views show both kinds alike.
//
// Images are immutable once made and may be shared between threads.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/Result.h"

namespace quarra {

namespace ui {
class Canvas;
struct Rect;
}  // namespace ui

inline constexpr const char* ImageErrorDomain = "com.tovik.platform.image";
enum ImageErrorCode : long {
    ImageErrorUnknownFormat = 1,
    ImageErrorCorrupt = 2,
    ImageErrorTooLarge = 3,
};

enum class ImageFormat { Unknown, PNG, JPEG, GIF, TIFF, BMP, ICO, XBM };

// What a file declares about itself, read without decoding any pixel.
struct ImageHeader {
    ImageFormat format = ImageFormat::Unknown;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // Of one colour sample as stored in the file (PNG 1 to 16, JPEG 8, GIF 8, ...).
    int bitsPerComponent = 8;
    // A JPEG in CMYK (or YCCK).
    bool isCMYK = false;
};

class Image;
using ImagePtr = std::shared_ptr<const Image>;

// 64 Mi pixels, 256 MiB as RGBA: far above any thumbnail or photo the SDK shows. One decode at
// the limit takes at most 384 MiB besides the encoded bytes.
inline constexpr std::uint64_t ImageMaximumPixelCount = 64ull * 1024 * 1024;

// How an image is decoded.
struct ImageDecodeOptions {
    double scale = 1.0;
    // Declared sizes above this many pixels are refused. An animation counts what it makes: every
    // frame, the first once more as the image's own pixels, and each frame's object.
    std::uint64_t maxPixels = ImageMaximumPixelCount;
    // A still image of 8-bit samples up to this many pixels comes with premultiplied alpha, ready
    // to draw, made in place; 0 for none.
    std::uint64_t premultipliedUpTo = 0;
    // Carried by the image as its encodedData(); none when null.
    std::shared_ptr<const Bytes> encodedData;
};

class Image {
  public:
    static constexpr std::uint64_t maximumPixelCount = ImageMaximumPixelCount;

    struct Size {
        double width = 0;
        double height = 0;
    };

    using Drawing = std::function<void(ui::Canvas&, const ui::Rect&)>;

    // `pixels` holds width * height * 4 bytes (RGBA, row after row); throws std::invalid_argument
    // when it does not (a programming error).
    Image(std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t> pixels,
          double scale = 1.0);

    // The format from the first bytes.
    static ImageFormat sniffFormat(const Bytes& data);
    // The declared size and sample layout, or an error (unknown format, truncated header).
    static Result<ImageHeader> readHeader(const Bytes& data);
    // Decodes any of the formats (every frame of an animated GIF; an icon's largest picture, as
    // readHeader reports it). Fails with an error of ImageErrorDomain for an unknown format,
    // corrupt or truncated data, a size above `maxPixels` (all frames of a GIF together), or a
    // decoder's work above half the limit's bytes. The pixels are written once, into the image's
    // own buffer.
    static Result<ImagePtr> decode(const Bytes& data, double scale = 1.0,
                                   std::uint64_t maxPixels = maximumPixelCount);
    static Result<ImagePtr> decode(const Bytes& data, const ImageDecodeOptions& options);

    // "<folder>/<name>.png" decoded at scale 1; null when there is no such readable image. A name
    // that is empty or holds "/" is refused: it would leave the folder.
    static ImagePtr named(const std::string& name, const std::filesystem::path& folder);
    // An image of no pixels, `size` points large, that paints itself with `drawing`.
    static ImagePtr drawn(std::string name, Size size, Drawing drawing);

    // The name given to named() or drawn(); empty for a decoded image.
    const std::string& name() const { return name_; }
    // Set only for a drawn image.
    const Drawing& drawing() const { return drawing_; }

    // The bytes the image was decoded from, when the decoder's caller kept them
    // (withEncodedData); null otherwise.
    const std::shared_ptr<const Bytes>& encodedData() const { return encodedData_; }
    // The same image carrying `data` as its encoded form.
    ImagePtr withEncodedData(std::shared_ptr<const Bytes> data) const;

    std::uint32_t pixelWidth() const { return width_; }
    std::uint32_t pixelHeight() const { return height_; }
    double scale() const { return scale_; }
    // In points: pixels divided by the scale.
    Size size() const { return drawing_ ? drawnSize_ : Size{width_ / scale_, height_ / scale_}; }
    std::span<const std::uint8_t> pixels() const { return pixels_; }

    // Bits per sample of the source the image was decoded from (pixels are always 8-bit).
    int bitsPerComponent() const { return bitsPerComponent_; }
    // Decoded from a CMYK JPEG (the pixels are converted to RGB).
    bool isCMYK() const { return isCMYK_; }
    // RGBA with colour multiplied by alpha: ready to draw without a further pass.
    bool isPremultiplied() const { return premultiplied_; }
    // The frames of an animated image (two or more), in order; empty for a still image, whose
    // pixels are its only picture. The image's own pixels are its first frame.
    const std::vector<ImagePtr>& frames() const { return frames_; }
    bool isAnimated() const { return !frames_.empty(); }

    // The same pixels (and frames) at another scale.
    ImagePtr withScale(double scale) const;
    // A copy with premultiplied alpha; the image itself when it is premultiplied already.
    ImagePtr premultipliedCopy() const;

  private:
    friend struct ImageDecoding;
    // Pixel memory a decoder fills: not zeroed first, as every byte is written anyway.
    template <class T>
    struct UninitializedAllocator : std::allocator<T> {
        template <class U>
        struct rebind {
            using other = UninitializedAllocator<U>;
        };
        template <class U, class... Args>
        void construct(U* at, Args&&... args) {
            if constexpr (sizeof...(Args) == 0)
                ::new (static_cast<void*>(at)) U;
            else
                ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
        }
    };
    using PixelBuffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;
    struct Decoded {};
    Image(Decoded, std::uint32_t width, std::uint32_t height, PixelBuffer pixels, double scale);

    std::uint32_t width_;
    std::uint32_t height_;
    PixelBuffer pixels_;
    double scale_;
    int bitsPerComponent_ = 8;
    bool isCMYK_ = false;
    bool premultiplied_ = false;
    std::vector<ImagePtr> frames_;
    std::string name_;
    Drawing drawing_;
    Size drawnSize_;
    std::shared_ptr<const Bytes> encodedData_;
};

}  // namespace quarra
