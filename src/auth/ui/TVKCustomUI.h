#pragma once
// The host's branding of the SDK's screens, from the host's Info dictionary (read at every call):
// "com.tovik.ui.primary_color", "com.tovik.ui.secondary_color", "com.tovik.ui.background_color"
// (colour texts, see TVKString) and "com.tovik.ui.login_header_image" (an image name in the host's
// resources).
#include <string>

#include "quarra/ui/Graphics.h"
#include "quarra/ui/Image.h"

namespace quarra {

struct TVKCustomUI {
    // Defaults: orange (248, 151, 43), grey (142, 142, 147) and white.
    static ui::Color customPrimaryColor();
    static ui::Color customSecondaryColor();
    static ui::Color customBackgroundColor();
    // The colour under `key`, or `defaultColor` when there is none or it does not parse.
    static ui::Color colorWithString(const std::string& key, const ui::Color& defaultColor);
    // Null when the key is missing or empty or names no image.
    static ui::ImagePtr customHeaderImage();
};

}  // namespace quarra
