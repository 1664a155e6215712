// Service-extension handlers and the shared badge count.
#include "push/extension_handlers.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <optional>
#include <utility>

#include "push/analytics_bridge.h"
#include "push/attachments.h"
#include "push/notification_builder.h"
#include "push/payload.h"

#include "platform/os/bundle.h"
#include "platform/os/preferences.h"

namespace push {

namespace os = platform::os;
namespace foundation = platform::foundation;

namespace {

std::string trimSpacesAndTabs(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::shared_ptr<os::UserDefaults> groupDefaults() {
  return os::UserDefaults::suite(RerAvirorExtensionBadgeHandler::appGroupName());
}

}  // namespace

std::optional<std::string> RerAvirorExtensionBadgeHandler::primaryBundleIdentifier() {
  os::Bundle& main = os::Bundle::main();
  std::filesystem::path path = main.path();
  if (!path.has_filename()) path = path.parent_path();
  if (path.extension() != ".appex") return main.identifier();
  os::Bundle* app = os::Bundle::at_path(path.parent_path().parent_path());
  return app ? app->identifier() : std::nullopt;
}

std::string RerAvirorExtensionBadgeHandler::appGroupName() {
  const foundation::Value& configured = os::Bundle::main().object_for_info_key(kAppGroupsInfoKey);
  if (const std::string* name = configured.string()) return trimSpacesAndTabs(*name);
  std::string identifier = primaryBundleIdentifier().value_or("(null)");
  return trimSpacesAndTabs("group." + identifier + ".reraviror");
}

std::int64_t RerAvirorExtensionBadgeHandler::currentCachedBadgeValue() {
  auto defaults = groupDefaults();
  return defaults ? defaults->integer(kBadgeCountKey) : 0;
}

void RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(std::int64_t value) {
  auto defaults = groupDefaults();
  if (!defaults) return;
  defaults->set(kBadgeCountKey, std::optional<foundation::Value>(std::in_place, value));
  defaults->synchronize();
}

void RerAvirorExtensionBadgeHandler::handleBadgeCountWithNotificationRequest(const notify::Request&,
                                                                            const OSNotificationPayload& payload,
                                                                            notify::Content& content) {
  constexpr std::int64_t kMaxBadge = std::numeric_limits<std::int32_t>::max();
  if (std::int64_t increment = payload.badgeIncrement(); increment != 0) {
    std::int64_t count = 0;
    if (__builtin_add_overflow(currentCachedBadgeValue(), increment, &count)) {
      count = increment > 0 ? kMaxBadge : 0;
    }
    count = std::clamp<std::int64_t>(count, 0, kMaxBadge);
    content.badge = count;
    updateCachedBadgeValue(count);
  } else if (std::uint64_t badge = payload.badge(); badge != 0) {
    updateCachedBadgeValue(static_cast<std::int64_t>(std::min<std::uint64_t>(badge, kMaxBadge)));
  }
}

void RerAvirorNotificationServiceExtensionHandler::addActionButtonsToExtentionRequest(
    const notify::Request& request, const OSNotificationPayload& payload, notify::Content& content) {
  if (!request.content.category_identifier.empty()) return;
  RerAvirorHelper::addActionButtons(payload, content);
}

notify::Content RerAvirorNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(
    const notify::Request& request, std::optional<notify::Content> replacement) {
  notify::Content content = replacement ? std::move(*replacement) : request.content;
  auto payload = OSNotificationPayload::parseWithApns(request.content.user_info);
  if (!payload) return content;
  RerAvirorExtensionBadgeHandler::handleBadgeCountWithNotificationRequest(request, *payload, content);
  RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(*payload);
  addActionButtonsToExtentionRequest(request, *payload, content);
  RerAvirorHelper::addAttachments(*payload, content);
  return content;
}

notify::Content RerAvirorNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(
    const notify::Request& request, std::optional<notify::Content> replacement) {
  notify::Content content = replacement ? std::move(*replacement) : request.content;
  auto payload = OSNotificationPayload::parseWithApns(request.content.user_info);
  if (!payload) return content;
  addActionButtonsToExtentionRequest(request, *payload, content);
  return content;
}

}  // namespace push
