#pragma once
// The UI model drawn with cairo: for the PNG renderer and for a desktop window's surface alike.
#include <cairo.h>

#include <vector>

#include "quarra/ui/View.h"
#include "quarra/ui/Window.h"

namespace quarra::ui {

// `view` and its subviews at the view's frame in the current user space.
void drawView(cairo_t* cr, const View& view);
// The window laid out, then the view of each controller presented over its root, bottom to top.
std::vector<View*> windowLayers(Window& window);
// `views` bottom to top, the first one's origin at the user space's.
void drawViews(cairo_t* cr, const std::vector<View*>& views);

}  // namespace quarra::ui
