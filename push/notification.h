#pragma once
// The objects handed to the app's received- and opened-blocks, with their
// compact JSON text.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "push/payload.h"

namespace push {

// How a push arriving in focus is shown.
using OSInFocusDisplayMode = std::uint64_t;
inline constexpr OSInFocusDisplayMode OSNotificationDisplayTypeNone = 0;
inline constexpr OSInFocusDisplayMode OSNotificationDisplayTypeInAppAlert = 1;
inline constexpr OSInFocusDisplayMode OSNotificationDisplayTypeNotification = 2;

// What the user did with a notification.
using OSOpenActionKind = std::uint64_t;
inline constexpr OSOpenActionKind OSNotificationActionTypeOpened = 0;
inline constexpr OSOpenActionKind OSNotificationActionTypeActionTaken = 1;

class OSNotificationAction {
 public:
  OSNotificationAction(OSOpenActionKind type, std::optional<std::string> actionID);
  OSOpenActionKind type() const { return type_; }
  const std::optional<std::string>& actionID() const { return actionID_; }

 private:
  OSOpenActionKind type_;
  std::optional<std::string> actionID_;
};

class OSNotification {
 public:
  // Reads the application state and the facade's display mode now.
  OSNotification(std::shared_ptr<OSNotificationPayload> payload, OSInFocusDisplayMode displayType);

  const std::shared_ptr<OSNotificationPayload>& payload() const { return payload_; }
  OSInFocusDisplayMode displayType() const { return displayType_; }
  bool wasShown() const { return shown_; }
  bool wasAppInFocus() const { return isAppInFocus_; }
  bool isSilentNotification() const { return silentNotification_; }
  // "aps" → "mutable-content" is the number 1.
  bool hasMutableContent() const { return mutableContent_; }

  // Compact JSON: {"payload": {...}, "displayType", "shown", "isAppInFocus", "silentNotification"}.
  std::string stringify() const;
  foundation::Dict jsonObject() const;

 private:
  std::shared_ptr<OSNotificationPayload> payload_;
  OSInFocusDisplayMode displayType_;
  bool shown_ = true, isAppInFocus_ = false, silentNotification_ = false, mutableContent_ = false;
};

class OSNotificationOpenedResult {
 public:
  OSNotificationOpenedResult(std::shared_ptr<OSNotification> notification, std::shared_ptr<OSNotificationAction> action);

  const std::shared_ptr<OSNotification>& notification() const { return notification_; }
  const std::shared_ptr<OSNotificationAction>& action() const { return action_; }

  // Compact JSON: {"action": {"actionID", "type"}, "notification": {...}}.
  std::string stringify() const;

 private:
  std::shared_ptr<OSNotification> notification_;
  std::shared_ptr<OSNotificationAction> action_;
};

}  // namespace push
