#include "push/dialog.h"

#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/ui/application.h"
#include "platform/ui/view.h"
#include "push/utilities.h"

namespace push {

namespace dispatch = platform::dispatch;

OSDialogRequest::OSDialogRequest(std::string title_, std::string message_, std::optional<std::string> actionTitle_,
                                 std::string cancelTitle_, OSDialogCompletion completion_)
    : title(std::move(title_)),
      message(std::move(message_)),
      actionTitle(std::move(actionTitle_)),
      cancelTitle(std::move(cancelTitle_)),
      completion(std::move(completion_)) {}

std::shared_ptr<RerAvirorDialogController> RerAvirorDialogController::sharedInstance() {
  static std::once_flag once;
  static std::shared_ptr<RerAvirorDialogController>* instance = nullptr;
  std::call_once(once, [] { instance = new std::shared_ptr<RerAvirorDialogController>(new RerAvirorDialogController()); });
  return *instance;
}

void RerAvirorDialogController::presentDialogWithTitle(std::string title, std::string message,
                                                       std::optional<std::string> actionTitle,
                                                       std::string cancelTitle, OSDialogCompletion completion) {
  auto request = std::make_shared<OSDialogRequest>(std::move(title), std::move(message), std::move(actionTitle),
                                                   std::move(cancelTitle), std::move(completion));
  dispatch::Queue::main().async([self = shared_from_this(), request] {
    self->queue_.push_back(request);
    if (self->queue_.size() <= 1) self->displayDialog(request);
  });
}

void RerAvirorDialogController::displayDialog(const std::shared_ptr<OSDialogRequest>& request) {
  if (isIOSVersionGreaterOrEqual(8.0)) {
    auto alert = ui::AlertController::make(request->title, request->message, 1);
    std::weak_ptr<RerAvirorDialogController> weak = weak_from_this();
    alert->add_action({request->cancelTitle, 1, [weak](const ui::AlertAction&) {
                         if (auto self = weak.lock()) self->delayResult(false);
                       }});
    if (request->actionTitle) {
      alert->add_action({*request->actionTitle, 0, [weak](const ui::AlertAction&) {
                           if (auto self = weak.lock()) self->delayResult(true);
                         }});
    }
    ui::Application* app = ui::Application::shared();
    ui::Window* window = app ? app->key_window() : nullptr;
    ui::ViewController* root = window ? window->root_view_controller() : nullptr;
    if (root) root->present(alert, true, nullptr);
  } else {
    std::vector<std::string> others;
    if (request->actionTitle) others.push_back(*request->actionTitle);
    auto alertView = std::make_shared<ui::AlertView>(request->title, request->message, weak_from_this(),
                                                     request->cancelTitle, std::move(others));
    alertView->show();
  }
}

void RerAvirorDialogController::did_dismiss(ui::AlertView&, int buttonIndex) { delayResult(buttonIndex > 0); }

void RerAvirorDialogController::delayResult(bool result) {
  dispatch::Queue::main().after(dispatch::Duration(kResultDelaySeconds), [self = shared_from_this(), result] {
    if (self->queue_.empty()) return;
    auto current = self->queue_.front();
    if (current->completion) current->completion(result);
    self->queue_.pop_front();
    if (!self->queue_.empty()) self->displayDialog(self->queue_.front());
  });
}

}  // namespace push
