#include "auth/ui/TVKCustomUI.h"

#include "auth/ui/TVKString.h"
#include "quarra/Bundle.h"

namespace quarra {
namespace {

std::optional<std::string> infoString(const char* key) {
    Json value = Bundle::main().objectForInfoDictionaryKey(key);
    if (!value.is_string())
        return std::nullopt;
    return value.get<std::string>();
}

}  // namespace

ui::Color TVKCustomUI::customPrimaryColor() {
    return colorWithString("com.tovik.ui.primary_color",
                           ui::Color::rgb(248 / 255.0, 151 / 255.0, 43 / 255.0));
}

ui::Color TVKCustomUI::customSecondaryColor() {
    return colorWithString("com.tovik.ui.secondary_color",
                           ui::Color::rgb(142 / 255.0, 142 / 255.0, 147 / 255.0));
}

ui::Color TVKCustomUI::customBackgroundColor() {
    return colorWithString("com.tovik.ui.background_color", ui::Color::white());
}

ui::Color TVKCustomUI::colorWithString(const std::string& key, const ui::Color& defaultColor) {
    return TVKString::colorWithString(infoString(key.c_str())).value_or(defaultColor);
}

ui::ImagePtr TVKCustomUI::customHeaderImage() {
    auto name = infoString("com.tovik.ui.login_header_image");
    if (!name || name->empty())
        return nullptr;
    return ui::Image::named(*name, Bundle::main().resourcePath());
}

}  // namespace quarra
