#pragma once
// The typed record of a delivered push's user info. Both payload shapes are
// read ("custom" and "os_data"), with their short silent forms. A value of the
// wrong type counts as absent; nothing of the wrong type reaches a field.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace push {

namespace foundation = platform::foundation;

class OSNotificationPayload {
 public:
  // nullptr for a missing message.
  static std::shared_ptr<OSNotificationPayload> parseWithApns(const std::optional<foundation::Dict>& message);
  static std::shared_ptr<OSNotificationPayload> parseWithApns(const foundation::Dict& message);

  explicit OSNotificationPayload(foundation::Dict rawMessage);

  const std::optional<std::string>& notificationID() const { return notificationID_; }
  const std::optional<std::string>& templateID() const { return templateID_; }
  const std::optional<std::string>& templateName() const { return templateName_; }
  // "aps" holds the key, whatever its value.
  bool contentAvailable() const { return contentAvailable_; }
  bool mutableContent() const { return mutableContent_; }
  const std::optional<std::string>& category() const { return category_; }
  std::uint64_t badge() const { return badge_; }
  std::int64_t badgeIncrement() const { return badgeIncrement_; }
  const std::optional<std::string>& sound() const { return sound_; }
  const std::optional<std::string>& title() const { return title_; }
  const std::optional<std::string>& subtitle() const { return subtitle_; }
  const std::optional<std::string>& body() const { return body_; }
  const std::optional<std::string>& launchURL() const { return launchURL_; }
  const std::optional<foundation::Dict>& additionalData() const { return additionalData_; }
  const std::optional<foundation::Dict>& attachments() const { return attachments_; }
  // Entries {"id", "text"}, in received order.
  const std::optional<foundation::Array>& actionButtons() const { return actionButtons_; }
  const foundation::Dict& rawPayload() const { return rawPayload_; }
  const std::optional<std::string>& threadId() const { return threadId_; }

 private:
  void parseOriginalPayload();
  void parseOSDataPayload();
  void parseOSDataAdditionalData();
  void parseCommonRerAvirorFields(const foundation::Value& section);
  void parseApnsFields();
  void parseAlertField(const foundation::Value& alert);
  void parseRemoteSlient(const foundation::Value& shortForm);
  void parseActionButtons(const foundation::Value& list);
  void parseOtherApnsFields();

  std::optional<std::string> notificationID_, templateID_, templateName_;
  bool contentAvailable_ = false, mutableContent_ = false;
  std::optional<std::string> category_;
  std::uint64_t badge_ = 0;
  std::int64_t badgeIncrement_ = 0;
  std::optional<std::string> sound_, title_, subtitle_, body_, launchURL_;
  std::optional<foundation::Dict> additionalData_, attachments_;
  std::optional<foundation::Array> actionButtons_;
  foundation::Dict rawPayload_;
  std::optional<std::string> threadId_;
};

}  // namespace push
