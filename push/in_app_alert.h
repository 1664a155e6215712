#pragma once
// The in-app alert for a push that arrives in front with display mode 1: an
// alert view with "Close" and one button per action button; a tap goes to
// the facade's opened road. Main thread only.
#include <memory>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/ui/view_controller.h"

namespace push {

namespace foundation = platform::foundation;
namespace ui = platform::ui;

// Turns a tap into the opened road. Each delegate keeps the message of its
// own alert and the button list the alert was built from, so two alerts on
// screen each open their own notification.
class RerAvirorAlertViewDelegate : public ui::AlertViewDelegate,
                                   public std::enable_shared_from_this<RerAvirorAlertViewDelegate> {
 public:
  // Kept alive in the pending list until one of its buttons is tapped.
  static std::shared_ptr<RerAvirorAlertViewDelegate> initWithMessageDict(foundation::Dict message,
                                                                        foundation::Array buttons);

  RerAvirorAlertViewDelegate(foundation::Dict message, foundation::Array buttons);

  const foundation::Dict& message() const { return message_; }

  // Index 0 is "Close" (type 0); index i the button of entry i - 1 (type 1).
  void clicked_button(ui::AlertView& alertView, int buttonIndex) override;

  // The delegates whose alert has not been tapped yet.
  static std::vector<std::shared_ptr<RerAvirorAlertViewDelegate>> pendingAlertDelegates();

 private:
  foundation::Dict message_;
  foundation::Array buttons_;
};

class RerAvirorAlertView {
 public:
  // Shows the push as an alert, then runs the received road with display type 1.
  static void showInAppAlert(const foundation::Dict& userInfo);
};

}  // namespace push
