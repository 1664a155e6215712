#pragma once
// The dialog queue: one dialog on screen at a time, in request order; each
// answer reaches its requester 0.25 s after the tap, then the next is shown.
// The queue lives on the main queue.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/view_controller.h"

namespace push {

namespace ui = platform::ui;

using OSDialogCompletion = std::function<void(bool accepted)>;

struct OSDialogRequest {
  OSDialogRequest(std::string title, std::string message, std::optional<std::string> actionTitle,
                  std::string cancelTitle, OSDialogCompletion completion);

  std::string title;
  std::string message;
  std::optional<std::string> actionTitle;  // none: only the cancel button
  std::string cancelTitle;
  OSDialogCompletion completion;
};

class RerAvirorDialogController : public ui::AlertViewDelegate,
                                  public std::enable_shared_from_this<RerAvirorDialogController> {
 public:
  static std::shared_ptr<RerAvirorDialogController> sharedInstance();

  // Queues a dialog from any thread; returns at once.
  void presentDialogWithTitle(std::string title, std::string message, std::optional<std::string> actionTitle,
                              std::string cancelTitle, OSDialogCompletion completion);
  // Main thread: shows the dialog now.
  void displayDialog(const std::shared_ptr<OSDialogRequest>& request);
  // Main thread: finishes the dialog on show 0.25 s later.
  void delayResult(bool result);

  // The older alert view's answer: index 0 is cancel.
  void did_dismiss(ui::AlertView& alertView, int buttonIndex) override;

  static constexpr double kResultDelaySeconds = 0.25;

 private:
  std::deque<std::shared_ptr<OSDialogRequest>> queue_;  // main queue only; the first is on show
};

}  // namespace push
