#pragma once
// Draws the UI model into PNG files, so people can look at the screens: a view with its subviews,
// or a window with every controller presented over its root. Text is set in DejaVu Sans. Main
// thread only (it reads views).
#include <filesystem>

#include "quarra/Error.h"
#include "quarra/ui/View.h"
#include "quarra/ui/Window.h"

namespace quarra::ui {

inline constexpr const char* PngRendererErrorDomain = "PngRendererErrorDomain";

// The picture is `scale` pixels per point. An error when the file cannot be written.
[[nodiscard]] ErrorPtr drawViewToPng(View& view, const std::filesystem::path& path,
                                     double scale = 1);
// The window's views, then the view of each presented controller, bottom to top.
[[nodiscard]] ErrorPtr drawWindowToPng(Window& window, const std::filesystem::path& path,
                                       double scale = 1);

}  // namespace quarra::ui
