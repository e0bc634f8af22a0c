#include "PasscodeTerminal.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "ScreenReader.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Sounds.h"

using namespace quarra;
using screens::Element;

namespace {

// Lets the screen's pauses and slides (at most 0.6 s) play out.
void settle() {
    RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(700));
}

// The lock screen's two word buttons beside the 0: Reset or Cancel on its left, Delete on its
// right.
struct WordButtons {
    std::optional<Element> reset, erase;
};

WordButtons wordButtons() {
    WordButtons found;
    auto zero = screens::labelled("0");
    if (!zero)
        return found;
    for (auto& button : screens::withRole(Element::Role::Button)) {
        if (button.label.size() == 1 && button.label[0] >= '0' && button.label[0] <= '9')
            continue;
        (button.frame.midX() < zero->frame.midX() ? found.reset : found.erase) = button;
    }
    return found;
}

void printScreen(std::ostream& out) {
    out << "\n";
    std::string dots;
    for (const auto& element : screens::all()) {
        if (element.role == Element::Role::Text && !element.label.empty())
            out << "  " << element.label << "\n";
        else if (element.role == Element::Role::Text && !element.value.empty())
            dots = element.value;
    }
    out << "  " << dots << "\n";
    WordButtons words = wordButtons();
    if (words.reset)
        out << "  [r] " << words.reset->label;
    if (words.erase)
        out << (words.reset ? "   " : "  ") << "[d] " << words.erase->label;
    out << "\n";
}

struct PrintingDelegate : TVKPasscodeManagerDelegate {
    std::ostream* out;
    explicit PrintingDelegate(std::ostream& o) : out(&o) {}
    void unlockWasSuccessful() override { *out << "\n  unlocked\n"; }
};

}  // namespace

int drivePasscodeInTerminal(std::istream& in, std::ostream& out) {
    auto delegate = std::make_shared<PrintingDelegate>(out);
    TVKQuarraAuth::sharedInstance().setPasscodeDelegate(delegate);
    ui::Sounds::setObserver([&out](unsigned sound) {
        if (sound == ui::SystemSoundVibrate)
            out << "  *bzzt* (the device vibrates; the dots shake)\n";
    });
    out << "digits to type, d delete, r reset, b background and back, q quit\n";
    auto& app = ui::Application::shared();
    app.finishLaunching();
    std::string line;
    for (;;) {
        if (auto alert = screens::alertShown()) {
            out << "\n  " << alert->message() << "\n  [Enter] " << alert->actions().at(0).title
                << "\n> " << std::flush;
            if (!std::getline(in, line))
                break;
            alert->chooseAction(0);
            continue;
        }
        if (screens::digitPadShown()) {
            printScreen(out);
        } else if (!TVKQuarraAuth::sharedInstance().currentUser()) {
            out << "\n  signed out: the host would show its sign-in screen now\n";
            break;
        } else {
            out << "\n  the host's own screen ([b] background and back, [q] quit)\n";
        }
        out << "> " << std::flush;
        if (!std::getline(in, line))
            break;
        bool quit = false;
        for (char c : line) {
            const bool pad = screens::digitPadShown();
            WordButtons words = pad ? wordButtons() : WordButtons{};
            if (c >= '0' && c <= '9' && pad) {
                ui::WindowHost::tapElement(std::string(1, c));
            } else if (c == 'd' && words.erase) {
                screens::click(*words.erase);
            } else if (c == 'r' && words.reset) {
                screens::click(*words.reset);
            } else if (c == 'b') {
                app.enterBackground();
                out << "  (in the background)\n";
                app.enterForeground();
            } else if (c == 'q') {
                quit = true;
            }
            RunLoop::main().runPending();
        }
        settle();
        if (quit)
            break;
    }
    ui::Sounds::setObserver(nullptr);
    return 0;
}
