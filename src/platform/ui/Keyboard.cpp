#include "quarra/ui/Keyboard.h"

#include "quarra/NotificationCenter.h"
#include "quarra/ui/Application.h"

namespace quarra::ui {
namespace {

bool gShown = false;

}  // namespace

bool Keyboard::isShown() {
    return gShown;
}

void Keyboard::show() {
    if (gShown)
        return;
    gShown = true;
    Rect screen = Application::shared().screenBounds();
    postFrameChange(Rect(0, screen.height() - Height, screen.width(), Height));
}

void Keyboard::hide() {
    if (!gShown)
        return;
    gShown = false;
    Rect screen = Application::shared().screenBounds();
    postFrameChange(Rect(0, screen.height(), screen.width(), Height));
}

void Keyboard::postFrameChange(const Rect& endFrame) {
    NotificationCenter::defaultCenter().post(KeyboardWillChangeFrameNotification, nullptr,
                                             {{KeyboardFrameEndUserInfoKey, endFrame}});
}

}  // namespace quarra::ui
