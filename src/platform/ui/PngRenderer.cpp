#include "quarra/ui/PngRenderer.h"

#include <cmath>
#include <vector>

#include "platform/ui/CairoDrawing.h"

namespace quarra::ui {
namespace {

ErrorPtr drawToPng(const std::vector<View*>& views, Size size, const std::filesystem::path& path,
                   double scale) {
    int width = static_cast<int>(std::ceil(size.width * scale));
    int height = static_cast<int>(std::ceil(size.height * scale));
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(width, 1), std::max(height, 1));
    cairo_t* cr = cairo_create(surface);
    cairo_scale(cr, scale, scale);
    drawViews(cr, views);
    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        return Error::make(
            PngRendererErrorDomain, status,
            std::string("Cannot write ") + path.string() + ": " + cairo_status_to_string(status));
    }
    return nullptr;
}

}  // namespace

ErrorPtr drawViewToPng(View& view, const std::filesystem::path& path, double scale) {
    view.layoutIfNeeded();
    return drawToPng({&view}, view.frame().size, path, scale);
}

ErrorPtr drawWindowToPng(Window& window, const std::filesystem::path& path, double scale) {
    return drawToPng(windowLayers(window), window.frame().size, path, scale);
}

}  // namespace quarra::ui
