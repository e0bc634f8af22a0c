#include "quarra/ui/Responder.h"

#include "quarra/ui/Application.h"

namespace quarra::ui {

bool Responder::becomeFirstResponder() {
    if (isFirstResponder())
        return true;
    if (!canBecomeFirstResponder())
        return false;
    Application& app = Application::shared();
    if (auto current = app.firstResponder(); current && !current->resignFirstResponder())
        return false;
    app.setFirstResponder(weak_from_this());
    return true;
}

bool Responder::resignFirstResponder() {
    if (isFirstResponder())
        Application::shared().setFirstResponder({});
    return true;
}

bool Responder::isFirstResponder() const {
    return Application::shared().firstResponder().get() == this;
}

}  // namespace quarra::ui
