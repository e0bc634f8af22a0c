#include "ScreenReader.h"

#include "quarra/ui/Application.h"
#include "quarra/ui/Window.h"

using namespace quarra;

namespace screens {

std::vector<Element> all() {
    return ui::WindowHost::elements();
}

std::vector<Element> withRole(Element::Role role) {
    std::vector<Element> found;
    for (auto& element : all()) {
        if (element.role == role)
            found.push_back(std::move(element));
    }
    return found;
}

std::optional<Element> labelled(const std::string& label) {
    for (auto& element : all()) {
        if (element.label == label)
            return element;
    }
    return std::nullopt;
}

bool click(const Element& element) {
    ui::Point middle{element.frame.midX(), element.frame.midY()};
    return ui::WindowHost::pointerPressed(middle) && ui::WindowHost::pointerReleased(middle);
}

bool digitPadShown() {
    for (char digit = '0'; digit <= '9'; ++digit) {
        auto button = labelled(std::string(1, digit));
        if (!button || button->role != Element::Role::Button)
            return false;
    }
    return true;
}

std::shared_ptr<ui::AlertController> alertShown() {
    auto window = ui::Application::shared().keyWindow();
    auto top = window ? window->rootViewController() : nullptr;
    while (top && top->presentedViewController())
        top = top->presentedViewController();
    return std::dynamic_pointer_cast<ui::AlertController>(top);
}

}  // namespace screens
