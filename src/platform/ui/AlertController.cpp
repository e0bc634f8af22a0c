#include "quarra/ui/AlertController.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "quarra/ui/Application.h"
#include "quarra/ui/Button.h"

namespace quarra::ui {
namespace {

// About how many lines `text` takes at 13 points in `width`: DejaVu Sans averages a little over
// half its size per character. The drawing wraps for real and sets a text smaller rather than cut
// it, so the guess only has to make the usual message fit at its own size.
double estimatedLines(const std::string& text, double width) {
    const double perLine = std::max(1.0, std::floor(width / (13 * 0.6)));
    double lines = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find('\n', start);
        std::size_t length = (end == std::string::npos ? text.size() : end) - start;
        lines += std::max(1.0, std::ceil(static_cast<double>(length) / perLine));
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

}  // namespace

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
    double width = 270, lineHeight = 22;
    // The title takes two lines' room; the message as many as it needs, at least two.
    double messageHeight = std::max(2.0, estimatedLines(message_, width - 24)) * 16 + 12;
    double height =
        24 + lineHeight * 2 * (1 + static_cast<double>(actions_.size())) + messageHeight;
    auto box = View::make(
        Rect((screen.width() - width) / 2, (screen.height() - height) / 2, width, height));
    box->setBackgroundColor(Color::rgb(0.97, 0.97, 0.97));
    root->addSubview(box);
    double y = 12;
    for (const auto& [text, bold, textHeight] :
         {std::tuple{title_, true, lineHeight * 2}, std::tuple{message_, false, messageHeight}}) {
        auto label = View::make<Label>(Rect(12, y, width - 24, textHeight));
        label->setText(text);
        label->setFont(Font::system(13, bold));
        label->setTextAlignment(TextAlignment::Center);
        box->addSubview(label);
        y += textHeight;
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
