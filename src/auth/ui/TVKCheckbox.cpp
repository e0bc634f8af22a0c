#include "auth/ui/TVKCheckbox.h"

namespace quarra {
namespace {

constexpr double kBox = 22, kGap = 8;

ui::ImagePtr boxImage(bool checked) {
    return ui::Image::drawn(
        checked ? "TVKCheckboxChecked" : "TVKCheckboxUnchecked", {kBox, kBox},
        [checked](ui::Canvas& canvas, const ui::Rect& r) {
            ui::Color grey = ui::Color::rgb(0.56, 0.56, 0.58);
            canvas.strokeLine({r.x(), r.y()}, {r.x() + r.width(), r.y()}, grey, 2);
            canvas.strokeLine({r.x(), r.y() + r.height()}, {r.x() + r.width(), r.y() + r.height()},
                              grey, 2);
            canvas.strokeLine({r.x(), r.y()}, {r.x(), r.y() + r.height()}, grey, 2);
            canvas.strokeLine({r.x() + r.width(), r.y()}, {r.x() + r.width(), r.y() + r.height()},
                              grey, 2);
            if (!checked)
                return;
            canvas.strokeLine({r.x() + 5, r.midY()}, {r.midX() - 1, r.y() + r.height() - 5}, grey,
                              2.5);
            canvas.strokeLine({r.midX() - 1, r.y() + r.height() - 5},
                              {r.x() + r.width() - 4, r.y() + 4}, grey, 2.5);
        });
}

// The "TVKCheckbox" nib: the box image on the left, the label beside it, in one content view.
void loadTVKCheckboxNib(TVKCheckbox& owner) {
    owner.checkboxView = ui::View::make();
    owner.checkboxImageView = ui::View::make<ui::ImageView>();
    owner.checkboxImageView->setImage(boxImage(false));
    owner.checkboxImageView->setHighlightedImage(boxImage(true));
    owner.label = ui::View::make<ui::Label>();
    owner.checkboxView->addSubview(owner.checkboxImageView);
    owner.checkboxView->addSubview(owner.label);
    // The content view owns both as subviews, so they outlive its layout handler.
    ui::ImageView* image = owner.checkboxImageView.get();
    ui::Label* text = owner.label.get();
    owner.checkboxView->setLayoutHandler([image, text](ui::View& content) {
        ui::Rect b = content.bounds();
        image->setFrame(ui::Rect(0, (b.height() - kBox) / 2, kBox, kBox));
        text->setFrame(
            ui::Rect(kBox + kGap, 0, std::max(0.0, b.width() - kBox - kGap), b.height()));
    });
}

}  // namespace

std::shared_ptr<TVKCheckbox> TVKCheckbox::make(ui::Rect frame) {
    std::shared_ptr<TVKCheckbox> box(new TVKCheckbox(frame));
    box->commonSetUp();
    return box;
}

void TVKCheckbox::commonSetUp() {
    loadTVKCheckboxNib(*this);
    checkboxView->setTranslatesAutoresizingMaskIntoConstraints(false);
    addSubview(checkboxView);
    auto self = std::static_pointer_cast<ui::View>(shared_from_this());
    for (auto attribute : {ui::LayoutAttribute::Top, ui::LayoutAttribute::Bottom,
                           ui::LayoutAttribute::Leading, ui::LayoutAttribute::Trailing}) {
        addConstraint(std::make_shared<ui::LayoutConstraint>(
            ui::LayoutConstraint{checkboxView, attribute, self, attribute, 1, 0}));
    }
    setUserInteractionEnabled(true);
    checkboxView->setUserInteractionEnabled(false);
    checkboxImageView->setUserInteractionEnabled(false);
    label->setUserInteractionEnabled(false);
    addTapRecognizer([this] { didTapView(); });
    // The four constraints hold the content to the control's bounds.
    setLayoutHandler([](ui::View& view) {
        auto& box = static_cast<TVKCheckbox&>(view);
        box.checkboxView->setFrame(box.bounds());
    });
}

void TVKCheckbox::setChecked(bool checked) {
    checked_ = checked;
    checkboxImageView->setHighlighted(checked);
}

void TVKCheckbox::setText(std::string text) {
    text_ = std::move(text);
    label->setText(text_);
    setNeedsLayout();
    layoutIfNeeded();
}

void TVKCheckbox::setTextColor(ui::Color color) {
    textColor_ = color;
    label->setTextColor(color);
    setNeedsDisplay();
}

void TVKCheckbox::setFont(ui::Font font) {
    font_ = std::move(font);
    label->setFont(font_);
    setNeedsLayout();
    layoutIfNeeded();
}

void TVKCheckbox::didTapView() {
    setChecked(!checked_);
    sendActionsForControlEvents(ui::ControlEventValueChanged);
}

}  // namespace quarra
