#pragma once
// Something that can take the keyboard focus. At most one responder of the process is the first
// responder; the application keeps it (weakly). Main thread only.
#include <memory>

namespace quarra::ui {

class Responder : public std::enable_shared_from_this<Responder> {
  public:
    Responder() = default;
    virtual ~Responder() = default;
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // Whether this responder may take the focus now; the base answers no.
    virtual bool canBecomeFirstResponder() { return false; }
    // Takes the focus from the current first responder, when this one can take it and the
    // current one gives it up. True when this is the first responder afterwards.
    virtual bool becomeFirstResponder();
    // Gives the focus up; true when this is not the first responder afterwards.
    virtual bool resignFirstResponder();
    bool isFirstResponder() const;
};

}  // namespace quarra::ui
