#include "platform/ui/CairoDrawing.h"

#include <cmath>
#include <string_view>
#include <vector>

#include "platform/ui/TextLayout.h"
#include "quarra/ui/Image.h"

namespace quarra::ui {
namespace {

constexpr double kSmallestFontSize = 9;

void setColor(cairo_t* cr, const Color& c) {
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
}

class CairoCanvas : public Canvas {
  public:
    explicit CairoCanvas(cairo_t* cr) : cr_(cr) {}

    void fillRect(const Rect& r, const Color& color) override {
        setColor(cr_, color);
        cairo_rectangle(cr_, r.x(), r.y(), r.width(), r.height());
        cairo_fill(cr_);
    }

    void fillEllipse(const Rect& r, const Color& color) override {
        ellipse(r);
        setColor(cr_, color);
        cairo_fill(cr_);
    }

    void strokeEllipse(const Rect& r, const Color& color, double lineWidth) override {
        ellipse(r);
        setColor(cr_, color);
        cairo_set_line_width(cr_, lineWidth);
        cairo_stroke(cr_);
    }

    void strokeLine(Point from, Point to, const Color& color, double lineWidth) override {
        setColor(cr_, color);
        cairo_set_line_width(cr_, lineWidth);
        cairo_move_to(cr_, from.x, from.y);
        cairo_line_to(cr_, to.x, to.y);
        cairo_stroke(cr_);
    }

    void drawText(const std::string& text, const Rect& r, const Font& font, const Color& color,
                  TextAlignment alignment) override {
        if (text.empty())
            return;
        cairo_select_font_face(cr_, font.family.c_str(), CAIRO_FONT_SLANT_NORMAL,
                               font.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        auto measure = [this](std::string_view line) {
            cairo_text_extents_t te;
            cairo_text_extents(cr_, std::string(line).c_str(), &te);
            return te.x_advance;
        };
        // Too many lines for the height: a smaller font, down to a legible limit; past that the
        // lines overflow the rectangle evenly rather than lose any of the text.
        double size = font.size;
        std::vector<std::string> lines;
        cairo_font_extents_t fe;
        for (;;) {
            cairo_set_font_size(cr_, size);
            cairo_font_extents(cr_, &fe);
            lines = wrapText(text, r.width(), measure);
            if (lines.size() * fe.height <= r.height() || size * 0.9 < kSmallestFontSize)
                break;
            size *= 0.9;
        }
        const double lineHeight = lines.size() > 1 ? fe.height : fe.ascent + fe.descent;
        double y = r.y() + (r.height() - lineHeight * lines.size()) / 2 + fe.ascent;
        setColor(cr_, color);
        for (const auto& line : lines) {
            double width = measure(line);
            double x = r.x();
            if (alignment == TextAlignment::Center)
                x = r.midX() - width / 2;
            else if (alignment == TextAlignment::Right)
                x = r.x() + r.width() - width;
            cairo_move_to(cr_, x, y);
            cairo_show_text(cr_, line.c_str());
            y += lineHeight;
        }
    }

    void drawImage(const Image& image, const Rect& r) override {
        if (image.drawing()) {
            image.drawing()(*this, r);
            return;
        }
        const int width = static_cast<int>(image.pixelWidth());
        const int height = static_cast<int>(image.pixelHeight());
        if (width <= 0 || height <= 0)
            return;
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            return;
        }
        cairo_surface_flush(surface);
        unsigned char* data = cairo_image_surface_get_data(surface);
        int stride = cairo_image_surface_get_stride(surface);
        const bool premultiplied = image.isPremultiplied();
        const std::uint8_t* pixels = image.pixels().data();
        for (int y = 0; y < height; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(data + y * stride);
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* p = &pixels[(std::size_t(y) * width + x) * 4];
                std::uint32_t a = p[3];
                // Cairo wants colours multiplied by alpha; decoded images may carry them so.
                auto pre = [a, premultiplied](std::uint32_t c) {
                    return premultiplied ? c : (c * a + 127) / 255;
                };
                row[x] = a << 24 | pre(p[0]) << 16 | pre(p[1]) << 8 | pre(p[2]);
            }
        }
        cairo_surface_mark_dirty(surface);
        cairo_save(cr_);
        cairo_translate(cr_, r.x(), r.y());
        cairo_scale(cr_, r.width() / width, r.height() / height);
        cairo_set_source_surface(cr_, surface, 0, 0);
        cairo_paint(cr_);
        cairo_restore(cr_);
        cairo_surface_destroy(surface);
    }

  private:
    void ellipse(const Rect& r) {
        cairo_save(cr_);
        cairo_translate(cr_, r.midX(), r.midY());
        cairo_scale(cr_, r.width() / 2, r.height() / 2);
        cairo_new_path(cr_);
        cairo_arc(cr_, 0, 0, 1, 0, 2 * M_PI);
        cairo_restore(cr_);
    }

    cairo_t* cr_;
};

void strokeBorder(cairo_t* cr, const Rect& r, const Layer& layer) {
    if (layer.borderWidth() <= 0 || !layer.borderColor())
        return;
    double w = layer.borderWidth();
    setColor(cr, *layer.borderColor());
    cairo_set_line_width(cr, w);
    cairo_rectangle(cr, r.x() + w / 2, r.y() + w / 2, r.width() - w, r.height() - w);
    cairo_stroke(cr);
}

}  // namespace

void drawView(cairo_t* cr, const View& view) {
    if (view.isHidden() || view.alpha() <= 0)
        return;
    Rect frame = view.frame();
    Rect bounds = view.bounds();
    cairo_save(cr);
    cairo_translate(cr, frame.x(), frame.y());
    bool faded = view.alpha() < 1;
    if (faded)
        cairo_push_group(cr);
    const Layer& layer = *view.layer();
    if (layer.masksToBounds()) {
        cairo_rectangle(cr, 0, 0, bounds.width(), bounds.height());
        cairo_clip(cr);
    }
    CairoCanvas canvas(cr);
    if (view.backgroundColor())
        canvas.fillRect(bounds, *view.backgroundColor());
    strokeBorder(cr, bounds, layer);
    for (const auto& sublayer : layer.sublayers())
        strokeBorder(cr, sublayer->frame(), *sublayer);
    view.draw(canvas, bounds);
    for (const auto& child : view.subviews())
        drawView(cr, *child);
    if (faded) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, view.alpha());
    }
    cairo_restore(cr);
}

std::vector<View*> windowLayers(Window& window) {
    window.layoutIfNeeded();
    std::vector<View*> views{&window};
    for (auto controller = window.rootViewController()
                               ? window.rootViewController()->presentedViewController()
                               : nullptr;
         controller; controller = controller->presentedViewController()) {
        controller->layoutView();
        views.push_back(controller->view().get());
    }
    return views;
}

void drawViews(cairo_t* cr, const std::vector<View*>& views) {
    // Text set the same on every surface (a window's may ask for other hinting), so the screens
    // look in a window as in their pictures and take the room their layout gives them.
    cairo_save(cr);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
    for (View* view : views) {
        cairo_save(cr);
        // Each view is drawn at its own place; a window's origin is the picture's.
        cairo_translate(cr, -views.front()->frame().x(), -views.front()->frame().y());
        drawView(cr, *view);
        cairo_restore(cr);
    }
    cairo_restore(cr);
}

}  // namespace quarra::ui
