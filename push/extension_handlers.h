#pragma once
// The notification service extension's handlers and the badge count that the
// extension and the app share through the app group's user defaults.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/notify/types.h"

namespace push {

namespace notify = platform::notify;

class OSNotificationPayload;

inline constexpr std::string_view kAppGroupsInfoKey = "RerAviror_app_groups_key";
inline constexpr std::string_view kBadgeCountKey = "reravirorBadgeCount";

class RerAvirorExtensionBadgeHandler {
 public:
  // Info.plist "RerAviror_app_groups_key", else "group.<primary id>.reraviror";
  // trimmed of spaces and tabs at both ends.
  static std::string appGroupName();
  // The main bundle's identifier; inside an extension (.appex) the
  // identifier of the app two path levels up.
  static std::optional<std::string> primaryBundleIdentifier();
  // The count stored in the app group (0 when absent).
  static std::int64_t currentCachedBadgeValue();
  // Stores the count and synchronises the suite.
  static void updateCachedBadgeValue(std::int64_t value);
  // A badge increment changes the stored count (clamped to 0..INT32_MAX) and
  // gives the content the new count; else a badge other than 0 is stored
  // and the content keeps its own.
  static void handleBadgeCountWithNotificationRequest(const notify::Request& request,
                                                      const OSNotificationPayload& payload,
                                                      notify::Content& content);
};

class RerAvirorNotificationServiceExtensionHandler {
 public:
  // The content (the given one, else the request's), its badge, the received
  // event, the buttons (unless the request names a category) and the attachments.
  static notify::Content didReceiveNotificationExtensionRequest(const notify::Request& request,
                                                                std::optional<notify::Content> content);
  // Time is running out: the content and its buttons only.
  static notify::Content serviceExtensionTimeWillExpireRequest(const notify::Request& request,
                                                               std::optional<notify::Content> content);
  static void addActionButtonsToExtentionRequest(const notify::Request& request, const OSNotificationPayload& payload,
                                                 notify::Content& content);
};

}  // namespace push
