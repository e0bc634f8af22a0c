#pragma once
// Views show the platform's decoded images (and drawn ones) directly: a downloaded image goes
// into an image view as it is.
#include "quarra/Image.h"

namespace quarra::ui {

using Image = quarra::Image;
using ImagePtr = quarra::ImagePtr;

}  // namespace quarra::ui
