#include "quarra/ui/AlertController.h"

#include "quarra/ui/Application.h"
#include "quarra/ui/Button.h"

namespace quarra::ui {

bool AlertController::chooseAction(std::size_t index) {
    if (index >= actions_.size())
        return false;
    AlertAction action = actions_[index];
    auto keep = shared_from_this();
    dismissViewController(true);
    if (action.handler)
        action.handler(action);
    return true;
}

ViewPtr AlertController::loadView() {
    // A dimmed screen with a box holding the texts and one button per action.
    Rect screen = Application::shared().screenBounds();
    auto root = View::make(screen);
    root->setBackgroundColor(Color::rgb(0, 0, 0, 0.4));
    double width = 270, lineHeight = 22, rows = 2 + static_cast<double>(actions_.size());
    double height = 24 + rows * lineHeight * 2;
    auto box = View::make(
        Rect((screen.width() - width) / 2, (screen.height() - height) / 2, width, height));
    box->setBackgroundColor(Color::rgb(0.97, 0.97, 0.97));
    root->addSubview(box);
    double y = 12;
    for (const auto& [text, bold] : {std::pair{title_, true}, std::pair{message_, false}}) {
        auto label = View::make<Label>(Rect(12, y, width - 24, lineHeight * 2));
        label->setText(text);
        label->setFont(Font::system(13, bold));
        label->setTextAlignment(TextAlignment::Center);
        box->addSubview(label);
        y += lineHeight * 2;
    }
    for (const auto& action : actions_) {
        auto button = View::make<Button>(Rect(0, y, width, lineHeight * 2));
        button->setTitle(action.title);
        button->setTitleColor(Color::rgb(0, 122 / 255.0, 1));
        box->addSubview(button);
        y += lineHeight * 2;
    }
    return root;
}

}  // namespace quarra::ui
