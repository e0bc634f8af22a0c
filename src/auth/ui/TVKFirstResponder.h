#pragma once
// Which responder has the keyboard focus, found by sending an action without a target through the
// application (it reaches the first responder). Main thread only.
#include <memory>

#include "quarra/ui/Responder.h"

namespace quarra {

struct TVKFirstResponder {
    // Null when nothing has the focus (never an earlier answer).
    static std::shared_ptr<ui::Responder> currentFirstResponder();
    // The action: remembers `responder` as the answer.
    static void findFirstResponder(ui::Responder& responder);
};

}  // namespace quarra
