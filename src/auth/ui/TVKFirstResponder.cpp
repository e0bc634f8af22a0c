#include "auth/ui/TVKFirstResponder.h"

#include "quarra/ui/Application.h"

namespace quarra {
namespace {

std::weak_ptr<ui::Responder>& found() {
    static auto* responder = new std::weak_ptr<ui::Responder>();
    return *responder;
}

}  // namespace

std::shared_ptr<ui::Responder> TVKFirstResponder::currentFirstResponder() {
    found().reset();
    ui::Application::shared().sendActionToFirstResponder(
        [](ui::Responder& responder) { findFirstResponder(responder); });
    return found().lock();
}

void TVKFirstResponder::findFirstResponder(ui::Responder& responder) {
    found() = responder.weak_from_this();
}

}  // namespace quarra
