#include "auth/ui/TVKHUDView.h"

#include <cmath>

namespace quarra {
namespace {

// The "TVKHUDView" nib: a dark rounded square with a three-quarter ring, centred in its owner.
void loadTVKHUDViewNib(TVKHUDView& owner) {
    constexpr double side = 80, spinner = 37;
    owner.hudView = ui::View::make(ui::Rect(0, 0, side, side));
    owner.hudView->setBackgroundColor(ui::Color::rgb(0, 0, 0, 0.6));
    owner.spinnerView = ui::View::make<ui::ImageView>(
        ui::Rect((side - spinner) / 2, (side - spinner) / 2, spinner, spinner));
    owner.spinnerView->setImage(ui::Image::drawn(
        "TVKSpinner", {spinner, spinner}, [](ui::Canvas& canvas, const ui::Rect& r) {
            canvas.strokeEllipse(ui::Rect(r.x() + 2, r.y() + 2, r.width() - 4, r.height() - 4),
                                 ui::Color::rgb(1, 1, 1, 0.3), 3);
            canvas.strokeLine({r.midX(), r.y()}, {r.midX(), r.y() + 8}, ui::Color::white(), 3);
        }));
    owner.hudView->addSubview(owner.spinnerView);
    owner.setLayoutHandler([](ui::View& view) {
        auto& hud = static_cast<TVKHUDView&>(view);
        ui::Rect b = hud.bounds();
        hud.hudView->setFrame(
            ui::Rect((b.width() - side) / 2, (b.height() - side) / 2, side, side));
    });
}

}  // namespace

std::shared_ptr<TVKHUDView> TVKHUDView::make(ui::Rect frame) {
    std::shared_ptr<TVKHUDView> hud(new TVKHUDView(frame));
    loadTVKHUDViewNib(*hud);
    hud->addSubview(hud->hudView);
    hud->setHidden(true);
    return hud;
}

void TVKHUDView::startAnimating() {
    ui::Animation rotation;
    rotation.keyPath = "transform.rotation";
    rotation.fromValue = 0.0f;
    rotation.toValue = static_cast<float>(2 * M_PI);
    rotation.duration = 0.7;
    rotation.repeatCount = ui::Animation::Forever;
    hudView->layer()->removeAllAnimations();
    hudView->layer()->addAnimation(rotation, "rotation");
    if (auto parent = superview())
        parent->bringSubviewToFront(std::static_pointer_cast<View>(shared_from_this()));
    setHidden(false);
}

void TVKHUDView::stopAnimating() {
    hudView->layer()->removeAllAnimations();
    setHidden(true);
}

}  // namespace quarra
