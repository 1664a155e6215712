#include "push/payload.h"

#include <limits>

namespace push {

using foundation::Array;
using foundation::Dict;
using foundation::Value;

namespace {

std::optional<std::string> text(const Value& v) {
  if (const std::string* s = v.string()) return *s;
  return std::nullopt;
}

std::optional<Dict> dict(const Value& v) {
  if (const Dict* d = v.dict()) return *d;
  return std::nullopt;
}

bool present(const Value& v) { return !v.is_null(); }

// The 32-bit integer value of a number; anything else counts as 0.
std::int64_t int32Value(const Value& v) {
  if (!v.is_number()) return 0;
  const std::int64_t n = v.as_int().value_or(0);
  if (n > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (n < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return n;
}

std::uint64_t badgeValue(const Value& v) {
  const std::int64_t n = int32Value(v);
  return n < 0 ? 0 : static_cast<std::uint64_t>(n);
}

}  // namespace

std::shared_ptr<OSNotificationPayload> OSNotificationPayload::parseWithApns(const std::optional<Dict>& message) {
  if (!message) return nullptr;
  return parseWithApns(*message);
}

std::shared_ptr<OSNotificationPayload> OSNotificationPayload::parseWithApns(const Dict& message) {
  return std::make_shared<OSNotificationPayload>(message);
}

OSNotificationPayload::OSNotificationPayload(Dict rawMessage) : rawPayload_(std::move(rawMessage)) {
  if (rawPayload_.get("os_data").is_dict()) {
    parseOSDataPayload();
  } else {
    parseOriginalPayload();
  }
  parseOtherApnsFields();
}

void OSNotificationPayload::parseOriginalPayload() {
  const Value& aps = rawPayload_.get("aps");
  if (present(rawPayload_.get("m")) && !present(aps["alert"])) {
    parseRemoteSlient(Value(rawPayload_));
  } else {
    parseApnsFields();
    attachments_ = dict(rawPayload_.get("att"));
    parseActionButtons(rawPayload_.get("buttons"));
  }
  const Value& custom = rawPayload_.get("custom");
  parseCommonRerAvirorFields(custom);
  additionalData_ = dict(custom["a"]);

  if (auto selected = text(rawPayload_.get("actionSelected"))) {
    Dict data = additionalData_.value_or(Dict{});
    data.set("actionSelected", *selected);
    additionalData_ = std::move(data);
  }
}

void OSNotificationPayload::parseOSDataPayload() {
  const Value& osData = rawPayload_.get("os_data");
  const Value& buttons = osData["buttons"];
  // Only a dictionary is a short form; a list under "buttons" is read as the button list.
  if (buttons.is_dict() && !present(rawPayload_.get("aps")["alert"])) {
    parseRemoteSlient(buttons);
  } else {
    parseApnsFields();
    attachments_ = dict(osData["att"]);
    if (buttons.is_array()) {
      parseActionButtons(buttons);
    } else if (buttons["o"].is_array()) {
      parseActionButtons(buttons["o"]);
    } else if (rawPayload_.get("actionbuttons").is_array()) {
      parseActionButtons(rawPayload_.get("actionbuttons"));
    }
  }
  parseCommonRerAvirorFields(osData);
  parseOSDataAdditionalData();
}

void OSNotificationPayload::parseOSDataAdditionalData() {
  Dict data;
  for (const auto& [key, value] : rawPayload_) {
    if (key != "aps" && key != "os_data") data.set(key, value);
  }
  additionalData_ = std::move(data);
}

void OSNotificationPayload::parseCommonRerAvirorFields(const Value& section) {
  notificationID_ = text(section["i"]);
  launchURL_ = text(section["u"]);
  templateID_ = text(section["ti"]);
  templateName_ = text(section["tn"]);
  const Value& inc = section["badge_inc"];
  badgeIncrement_ = inc.is_number() ? inc.as_int().value_or(0) : 0;
}

void OSNotificationPayload::parseApnsFields() {
  const Value& aps = rawPayload_.get("aps");
  parseAlertField(aps["alert"]);
  badge_ = badgeValue(aps["badge"]);
  sound_ = text(aps["sound"]);
}

void OSNotificationPayload::parseAlertField(const Value& alert) {
  if (alert.is_dict()) {
    body_ = text(alert["body"]);
    title_ = text(alert["title"]);
    subtitle_ = text(alert["subtitle"]);
  } else {
    body_ = text(alert);
  }
}

void OSNotificationPayload::parseRemoteSlient(const Value& shortForm) {
  parseAlertField(shortForm["m"]);
  badge_ = badgeValue(shortForm["b"]);
  sound_ = text(shortForm["s"]);
  attachments_ = dict(shortForm["at"]);
  parseActionButtons(shortForm["o"]);
}

void OSNotificationPayload::parseActionButtons(const Value& list) {
  Array buttons;
  if (const Array* entries = list.array()) {
    for (const Value& entry : *entries) {
      auto name = text(entry["n"]);
      if (!name) continue;
      auto id = text(entry["i"]);
      buttons.emplace_back(Dict{{"id", id.value_or(*name)}, {"text", *name}});
    }
  }
  actionButtons_ = std::move(buttons);
}

void OSNotificationPayload::parseOtherApnsFields() {
  const Value& aps = rawPayload_.get("aps");
  contentAvailable_ = present(aps["content-available"]);
  mutableContent_ = present(aps["mutable-content"]);
  threadId_ = text(aps["thread-id"]);
  category_ = text(aps["category"]);
}

}  // namespace push
