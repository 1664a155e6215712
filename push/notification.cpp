#include "push/notification.h"

#include "platform/foundation/json.h"
#include "platform/ui/application.h"
#include "push/notification_dispatch.h"
#include "push/reraviror.h"

namespace push {

using foundation::Dict;
using foundation::Value;

namespace {

bool appIsActive() {
  const auto* app = platform::ui::Application::shared();
  return app && app->state() == platform::ui::ApplicationState::active;
}

std::string compactJson(const Value& value) {
  auto bytes = foundation::json::serialize(value);
  if (!bytes) return std::string();
  return foundation::to_string(*bytes);
}

}  // namespace

OSNotificationAction::OSNotificationAction(OSOpenActionKind type, std::optional<std::string> actionID)
    : type_(type), actionID_(std::move(actionID)) {}

OSNotification::OSNotification(std::shared_ptr<OSNotificationPayload> payload, OSInFocusDisplayMode displayType)
    : payload_(std::move(payload)), displayType_(displayType) {
  static const Dict kEmpty;
  const Dict& raw = payload_ ? payload_->rawPayload() : kEmpty;
  silentNotification_ = isRemoteSilentNotification(raw);
  const Value& mutableContent = raw.get("aps")["mutable-content"];
  mutableContent_ = mutableContent.is_number() && mutableContent.as_double() == 1.0;
  shown_ = true;
  isAppInFocus_ = appIsActive();
  if (silentNotification_) {
    shown_ = false;
  } else if (isAppInFocus_ && RerAviror::inFocusDisplayType() == 0) {
    shown_ = false;
  }
}

Dict OSNotification::jsonObject() const {
  Dict p;
  if (payload_) {
    const OSNotificationPayload& pl = *payload_;
    auto putText = [&p](const char* key, const std::optional<std::string>& v) {
      if (v) p.set(key, *v);
    };
    putText("notificationID", pl.notificationID());
    putText("sound", pl.sound());
    putText("title", pl.title());
    putText("body", pl.body());
    putText("subtitle", pl.subtitle());
    if (pl.additionalData()) p.set("additionalData", *pl.additionalData());
    if (pl.actionButtons()) p.set("actionButtons", *pl.actionButtons());
    p.set("rawPayload", pl.rawPayload());
    putText("launchURL", pl.launchURL());
    if (pl.contentAvailable()) p.set("contentAvailable", true);
    if (pl.badge() != 0) p.set("badge", static_cast<std::int64_t>(pl.badge()));
  }
  Dict top;
  top.set("payload", std::move(p));
  if (displayType_ != 0) top.set("displayType", static_cast<std::int64_t>(displayType_));
  top.set("shown", shown_);
  top.set("isAppInFocus", isAppInFocus_);
  if (silentNotification_) top.set("silentNotification", true);
  return top;
}

std::string OSNotification::stringify() const { return compactJson(Value(jsonObject())); }

OSNotificationOpenedResult::OSNotificationOpenedResult(std::shared_ptr<OSNotification> notification,
                                                       std::shared_ptr<OSNotificationAction> action)
    : notification_(std::move(notification)), action_(std::move(action)) {}

std::string OSNotificationOpenedResult::stringify() const {
  Dict action;
  if (action_ && action_->actionID()) action.set("actionID", *action_->actionID());
  if (action_ && action_->type() != 0) action.set("type", static_cast<std::int64_t>(action_->type()));
  Dict top;
  top.set("action", std::move(action));
  // The notification's own text, read back, so both renderings agree.
  Value notification = Dict{};
  if (notification_) {
    auto parsed = foundation::json::parse(notification_->stringify());
    if (parsed) notification = std::move(*parsed);
  }
  top.set("notification", std::move(notification));
  return compactJson(Value(std::move(top)));
}

}  // namespace push
