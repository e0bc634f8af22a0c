#include "quarra/ui/Image.h"

#include <cairo.h>

namespace quarra::ui {

ImagePtr Image::named(const std::string& name, const std::filesystem::path& folder) {
    if (name.empty() || name.find('/') != std::string::npos)
        return nullptr;
    std::filesystem::path file = folder / (name + ".png");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return nullptr;
    cairo_surface_t* surface = cairo_image_surface_create_from_png(file.c_str());
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    cairo_surface_t* argb = surface;
    if (cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32) {
        // Any other layout is copied into 32-bit pixels first.
        int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
        argb = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        cairo_t* cr = cairo_create(argb);
        cairo_set_source_surface(cr, surface, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    cairo_surface_flush(argb);
    auto image = std::make_shared<Image>();
    image->name = name;
    image->pixelWidth = cairo_image_surface_get_width(argb);
    image->pixelHeight = cairo_image_surface_get_height(argb);
    image->size = {static_cast<double>(image->pixelWidth), static_cast<double>(image->pixelHeight)};
    image->rgba.resize(static_cast<std::size_t>(image->pixelWidth) * image->pixelHeight * 4);
    const unsigned char* data = cairo_image_surface_get_data(argb);
    int stride = cairo_image_surface_get_stride(argb);
    for (int y = 0; y < image->pixelHeight; ++y) {
        auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
        for (int x = 0; x < image->pixelWidth; ++x) {
            std::uint32_t px = row[x];
            std::uint32_t a = px >> 24;
            // Cairo keeps colours premultiplied by alpha; an image keeps them straight.
            auto straight = [a](std::uint32_t c) {
                return static_cast<std::uint8_t>(a ? (c * 255 + a / 2) / a : 0);
            };
            std::uint8_t* p =
                &image->rgba[(static_cast<std::size_t>(y) * image->pixelWidth + x) * 4];
            p[0] = straight(px >> 16 & 0xff);
            p[1] = straight(px >> 8 & 0xff);
            p[2] = straight(px & 0xff);
            p[3] = static_cast<std::uint8_t>(a);
        }
    }
    cairo_surface_destroy(argb);
    return image;
}

ImagePtr Image::drawn(std::string name, Size size,
                      std::function<void(Canvas&, const Rect&)> drawing) {
    auto image = std::make_shared<Image>();
    image->name = std::move(name);
    image->size = size;
    image->drawing = std::move(drawing);
    return image;
}

}  // namespace quarra::ui
