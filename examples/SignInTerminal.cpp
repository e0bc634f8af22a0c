#include "SignInTerminal.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "ScreenReader.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraAuth.h"

using namespace quarra;
using screens::Element;

namespace {

// Reads a line with the terminal's echo off, so the password does not show.
bool readSecretLine(std::istream& in, std::string& line) {
    termios saved{};
    bool terminal =
        &in == &std::cin && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    bool read = static_cast<bool>(std::getline(in, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cout << "\n";
    }
    return read;
}

// The text right above `field`: its caption.
std::optional<Element> captionOf(const Element& field) {
    std::optional<Element> caption;
    for (auto& text : screens::withRole(Element::Role::Text)) {
        double bottom = text.frame.y() + text.frame.height();
        if (bottom <= field.frame.y() + 1 && (!caption || bottom > caption->frame.y()))
            caption = text;
    }
    return caption;
}

// The screen's action button (Next, Log in): the largest one.
std::optional<Element> actionButton() {
    std::optional<Element> largest;
    for (auto& button : screens::withRole(Element::Role::Button)) {
        auto area = [](const Element& e) { return e.frame.width() * e.frame.height(); };
        if (!largest || area(button) > area(*largest))
            largest = button;
    }
    return largest;
}

// Clicks into `field`, deletes what it holds and types `text`, as a person would.
void retype(const Element& field, const std::string& text) {
    screens::click(field);
    while (ui::WindowHost::pressKey(ui::Key::Backspace)) {
    }
    ui::WindowHost::insertText(text);
}

}  // namespace

int signInInTerminal(std::istream& in, std::ostream& out, const std::string& username,
                     const std::string& password) {
    const bool interactive = &in == &std::cin && isatty(STDIN_FILENO);
    // The handler may run after this returns (once the new user's passcode is chosen on the lock
    // screen), so what it sets outlives this call.
    struct Outcome {
        bool finished = false;
        ErrorPtr failure;
    };
    auto outcome = std::make_shared<Outcome>();
    TVKQuarraAuth::sharedInstance().authenticateWithHandler(
        [outcome](const TVKUserPtr&, const ErrorPtr& error) {
            outcome->failure = error;
            outcome->finished = true;
        });
    const bool& finished = outcome->finished;
    const ErrorPtr& failure = outcome->failure;
    const auto limit = std::chrono::minutes(5);
    RunLoop::main().runUntil(
        [&] { return finished || !screens::withRole(Element::Role::TextField).empty(); },
        std::chrono::seconds(30));
    if (!finished && screens::withRole(Element::Role::TextField).empty()) {
        out << "the sign-in screen did not come up\n";
        return 1;
    }
    int attempts = 0;
    // The lock screen comes over the sign-in screen when the new user has to choose a passcode
    // first; the sign-in ends once it is chosen, on that screen.
    while (!finished && !screens::digitPadShown()) {
        auto fields = screens::withRole(Element::Role::TextField);
        if (fields.empty())
            break;
        // Whatever the screen says beside the fields' captions and the buttons' own texts (a
        // checkbox's): its error texts.
        std::vector<std::string> captions;
        for (const auto& field : fields) {
            if (auto caption = captionOf(field))
                captions.push_back(caption->label);
        }
        auto buttons = screens::withRole(Element::Role::Button);
        auto onAButton = [&](const Element& text) {
            return std::any_of(buttons.begin(), buttons.end(), [&](const Element& button) {
                return text.frame.midX() >= button.frame.x() &&
                       text.frame.midX() <= button.frame.x() + button.frame.width() &&
                       text.frame.midY() >= button.frame.y() &&
                       text.frame.midY() <= button.frame.y() + button.frame.height();
            });
        };
        for (const auto& text : screens::withRole(Element::Role::Text)) {
            if (std::find(captions.begin(), captions.end(), text.label) != captions.end() ||
                onAButton(text))
                continue;
            std::string lines = text.label;
            for (std::size_t at = lines.find('\n'); at != std::string::npos;
                 at = lines.find('\n', at + 5))
                lines.replace(at, 1, "\n    ");
            out << "  ! " << lines << "\n";
        }
        const bool passwordStep = fields.size() > 1;
        const Element& field = fields.back();
        const std::string caption = captionOf(field) ? captionOf(field)->label : "";
        std::string line;
        if (!interactive) {
            // Nobody at a terminal: the demo user's credentials, typed once.
            if (++attempts > 2)
                return 1;
            line = passwordStep ? password : username;
            out << "  " << caption << ": " << (passwordStep ? "********" : line) << "\n";
        } else if (passwordStep) {
            out << "  " << caption << " for " << fields.front().value
                << " (empty: another user name): " << std::flush;
            if (!readSecretLine(in, line))
                return 1;
            if (line.empty() && fields.front().enabled) {
                // An empty password: back to the user name, which editing it does.
                screens::click(fields.front());
                ui::WindowHost::pressKey(ui::Key::Backspace);
                RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(300));
                continue;
            }
        } else {
            out << "  " << caption << ": " << std::flush;
            if (!std::getline(in, line))
                return 1;
        }
        retype(field, line);
        if (auto action = actionButton())
            out << "  [" << action->label << "]\n";
        ui::WindowHost::pressKey(ui::Key::Return);
        RunLoop::main().runUntil(
            [&] {
                auto action = actionButton();
                return finished || screens::digitPadShown() || (action && action->enabled);
            },
            limit);
        // Lets the step change (0.2 s) play out.
        RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(300));
    }
    if (failure) {
        out << "  sign-in ended: " << failure->localizedDescription() << "\n";
        return 1;
    }
    return 0;
}
