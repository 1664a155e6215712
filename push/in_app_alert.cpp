// The in-app alert.
#include "push/in_app_alert.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/os/bundle.h"
#include "push/notification.h"
#include "push/notification_dispatch.h"
#include "push/payload.h"
#include "push/reraviror.h"

namespace push {

namespace {

struct Pending {
  std::mutex mutex;
  std::vector<std::shared_ptr<RerAvirorAlertViewDelegate>> delegates;
};

Pending& pending() {
  static auto* list = new Pending();  // lives for the process
  return *list;
}

const foundation::Array* arrayAt(const foundation::Dict& dict, std::string_view key) {
  const foundation::Value* value = dict.find(key);
  return value ? value->array() : nullptr;
}

// Records the tapped button's id in the copy of the message, by its shape.
void recordActionSelected(foundation::Dict& message, const std::string& actionId) {
  const foundation::Value* osData = message.find("os_data");
  if (osData && !message.contains("actionbuttons")) {
    message.set("actionSelected", actionId);
    return;
  }
  if (message.contains("buttons")) {
    message.set("actionSelected", actionId);
    return;
  }
  foundation::Dict custom;
  if (const foundation::Value* found = message.find("custom"); found && found->dict()) custom = *found->dict();
  foundation::Dict additional;
  if (const foundation::Value* found = custom.find("a"); found && found->dict()) additional = *found->dict();
  if (arrayAt(additional, "actionButtons") || arrayAt(message, "o") || arrayAt(message, "actionbuttons")) {
    additional.set("actionSelected", actionId);
  }
  custom.set("a", std::move(additional));
  message.set("custom", std::move(custom));
}

}  // namespace

RerAvirorAlertViewDelegate::RerAvirorAlertViewDelegate(foundation::Dict message, foundation::Array buttons)
    : message_(std::move(message)), buttons_(std::move(buttons)) {}

std::shared_ptr<RerAvirorAlertViewDelegate> RerAvirorAlertViewDelegate::initWithMessageDict(
    foundation::Dict message, foundation::Array buttons) {
  auto delegate = std::make_shared<RerAvirorAlertViewDelegate>(std::move(message), std::move(buttons));
  std::lock_guard lock(pending().mutex);
  pending().delegates.push_back(delegate);
  return delegate;
}

std::vector<std::shared_ptr<RerAvirorAlertViewDelegate>> RerAvirorAlertViewDelegate::pendingAlertDelegates() {
  std::lock_guard lock(pending().mutex);
  return pending().delegates;
}

void RerAvirorAlertViewDelegate::clicked_button(ui::AlertView&, int buttonIndex) {
  auto self = shared_from_this();  // the pending list may hold the last reference
  OSOpenActionKind actionType = buttonIndex == 0 ? OSNotificationActionTypeOpened : OSNotificationActionTypeActionTaken;
  if (buttonIndex > 0) {
    foundation::Dict annotated = message_;
    const auto index = static_cast<std::size_t>(buttonIndex - 1);
    if (index < buttons_.size()) {
      if (const std::string* id = buttons_[index]["id"].string()) recordActionSelected(annotated, *id);
    }
    message_ = std::move(annotated);
  }
  RerAviror::handleNotificationOpened(message_, true, actionType, OSNotificationDisplayTypeInAppAlert);

  std::lock_guard lock(pending().mutex);
  auto& list = pending().delegates;
  list.erase(std::remove(list.begin(), list.end(), self), list.end());
}

void RerAvirorAlertView::showInAppAlert(const foundation::Dict& userInfo) {
  auto payload = OSNotificationPayload::parseWithApns(userInfo);
  foundation::Array buttons;
  if (payload && payload->actionButtons()) buttons = *payload->actionButtons();
  auto delegate = RerAvirorAlertViewDelegate::initWithMessageDict(userInfo, buttons);

  std::string title = payload ? payload->title().value_or("") : "";
  std::string body = payload ? payload->body().value_or("") : "";
  std::string close = platform::os::Bundle::main().localized_string("Close", "");
  auto alert = std::make_shared<ui::AlertView>(title, body, delegate, close, std::vector<std::string>{});
  for (const foundation::Value& button : buttons) {
    const std::string* text = button["text"].string();
    alert->add_button(text ? *text : "");
  }
  alert->show();

  handleNotificationReceived(OSNotificationDisplayTypeInAppAlert);
}

}  // namespace push
