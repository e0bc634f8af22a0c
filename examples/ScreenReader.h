#pragma once
// What a person at the terminal needs of the SDK's screens, read through the public window-host
// interface only (as a screen reader reads them): the texts, fields and buttons of the topmost
// screen, and clicks on them.
#include <optional>
#include <string>
#include <vector>

#include "quarra/ui/AlertController.h"
#include "quarra/ui/WindowHost.h"

namespace screens {

using Element = quarra::ui::ScreenElement;

std::vector<Element> all();
std::vector<Element> withRole(Element::Role role);
// The first element whose label is `label`.
std::optional<Element> labelled(const std::string& label);
// A press and release at the element's middle.
bool click(const Element& element);
// The lock screen's digit pad is up.
bool digitPadShown();
// The alert presented over everything, if one is.
std::shared_ptr<quarra::ui::AlertController> alertShown();

}  // namespace screens
