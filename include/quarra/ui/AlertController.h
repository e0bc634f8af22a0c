#pragma once
// A message with buttons ("actions"), presented over the top controller. Choosing an action
// dismisses the alert first and then runs the action's handler.
#include <functional>
#include <string>
#include <vector>

#include "quarra/ui/Label.h"
#include "quarra/ui/ViewController.h"

namespace quarra::ui {

enum class AlertStyle { ActionSheet = 0, Alert = 1 };
enum class AlertActionStyle { Default = 0, Cancel = 1, Destructive = 2 };

struct AlertAction {
    std::string title;
    AlertActionStyle style = AlertActionStyle::Default;
    // May be empty.
    std::function<void(const AlertAction&)> handler;
};

class AlertController : public ViewController {
  public:
    AlertController(std::string title, std::string message, AlertStyle style = AlertStyle::Alert)
        : title_(std::move(title)), message_(std::move(message)), style_(style) {}

    static std::shared_ptr<AlertController> make(std::string title, std::string message,
                                                 AlertStyle style = AlertStyle::Alert) {
        return std::make_shared<AlertController>(std::move(title), std::move(message), style);
    }

    const std::string& title() const { return title_; }
    const std::string& message() const { return message_; }
    AlertStyle preferredStyle() const { return style_; }
    void addAction(AlertAction action) { actions_.push_back(std::move(action)); }
    const std::vector<AlertAction>& actions() const { return actions_; }

    // The user chooses the action at `index`: false when there is none.
    bool chooseAction(std::size_t index);

  protected:
    ViewPtr loadView() override;

  private:
    std::string title_;
    std::string message_;
    AlertStyle style_;
    std::vector<AlertAction> actions_;
};

}  // namespace quarra::ui
