// Received and opened notification processing, badge clearing and the
// analytics bridge's start.
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "platform/os/process_info.h"
#include "platform/runtime/message.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "push/analytics_bridge.h"
#include "push/client.h"
#include "push/log.h"
#include "push/notification_dispatch.h"
#include "push/notification_settings.h"
#include "push/presentation.h"
#include "push/request.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

using foundation::Dict;
using foundation::Value;

namespace {

constexpr std::string_view kLastMessageOpenedKey = "GT_LAST_MESSAGE_OPENED_";
constexpr std::string_view kDup = "dup";

struct ProcessingState {
  std::mutex mutex;
  std::optional<std::string> lastAppActiveMessageId;
  std::optional<std::string> lastnonActiveMessageId;
  bool badgeClearingDisabled = false;
};

ProcessingState& ps() {
  static auto* s = new ProcessingState();
  return *s;
}

bool processingAppIsActive(platform::ui::Application* app) {
  return app && app->state() == platform::ui::ApplicationState::active;
}

std::optional<std::string> valueText(const Value& v) {
  if (const std::string* s = v.string()) return *s;
  return std::nullopt;
}

// "custom" → "a" → "actionSelected", else the top-level one.
std::optional<std::string> actionSelected(const Dict& payload) {
  if (auto inCustom = valueText(payload.get("custom")["a"]["actionSelected"])) return inCustom;
  return valueText(payload.get("actionSelected"));
}

// Runs the duplicate check against one of the last-id statics.
bool isDuplicate(const Dict* section, std::optional<std::string> ProcessingState::*last) {
  std::optional<std::string> previous;
  {
    std::lock_guard lock(ps().mutex);
    previous = ps().*last;
  }
  auto answer = RerAviror::checkForProcessedDups(section, previous);
  if (answer == kDup) return true;
  if (answer) {
    std::lock_guard lock(ps().mutex);
    ps().*last = std::move(answer);
  }
  return false;
}

}  // namespace

void RerAviror::notificationBlocks(OSHandleNotificationReceivedBlock receivedBlock,
                                   OSHandleNotificationActionBlock actionBlock) {
  push::notificationBlocks(std::move(receivedBlock), std::move(actionBlock));
}

void RerAviror::startAnalyticsBridge() {
  if (RerAvirorTrackDavidizeAnalytics::needsRemoteParams()) RerAvirorTrackDavidizeAnalytics::init();
}

std::optional<std::string> RerAviror::checkForProcessedDups(const Dict* section,
                                                            const std::optional<std::string>& lastMessageId) {
  if (!section) return std::nullopt;
  auto id = valueText(section->get("i"));
  if (!id) return std::nullopt;
  if (lastMessageId && *id == *lastMessageId) return std::string(kDup);
  return id;
}

void RerAviror::notificationReceived(const Dict& payload, bool isActive, bool opened) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
  if (!app_id()) return;
  if (!isRerAvirorPayload(payload)) return;

  reraviror_Log(kLogVerbose, "notificationOpened:isActive called!");

  const Dict* section = payload.get("os_data").dict();
  if (!section) section = payload.get("custom").dict();

  lastMessageReceived(payload);

  const auto displayType = static_cast<OSInFocusDisplayMode>(inFocusDisplayType());
  if (isActive) {
    if (isDuplicate(section, &ProcessingState::lastAppActiveMessageId)) return;
    if (displayType == OSNotificationDisplayTypeInAppAlert && !isRemoteSilentNotification(payload)) {
      presentShowInAppAlert(payload);
      return;
    }
    handleNotificationReceived(displayType);
  } else {
    if (isDuplicate(section, &ProcessingState::lastnonActiveMessageId)) return;
  }

  if (opened) {
    const OSOpenActionKind type =
        actionSelected(payload) ? OSNotificationActionTypeActionTaken : OSNotificationActionTypeOpened;
    handleNotificationOpened(payload, isActive, type, displayType);
  }
}

void RerAviror::handleNotificationOpened(const Dict& payload, bool isActive, std::uint64_t actionType,
                                         std::uint64_t displayType) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("handleNotificationOpened:isActive:actionType:displayType:"))
    return;

  // The opened road reads "custom" first, the received road "os_data".
  const Dict* section = payload.get("custom").dict();
  if (!section) section = payload.get("os_data").dict();
  static const Dict kNone;
  if (!section) section = &kNone;

  submitNotificationOpened(valueText(section->get("i")));
  launchWebURL(valueText(section->get("u")));
  clearBadgeCount(true);

  std::optional<std::string> actionID;
  if (actionType == OSNotificationActionTypeActionTaken) actionID = actionSelected(payload);

  lastMessageReceived(payload);

  if (!(isActive && displayType == OSNotificationDisplayTypeNone))
    handleNotificationAction(actionType, actionID, displayType);
}

void RerAviror::submitNotificationOpened(const std::optional<std::string>& messageId) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
  auto& defaults = platform::os::UserDefaults::standard();
  const auto stored = defaults.string(kLastMessageOpenedKey);
  if (!messageId || messageId == stored) return;

  auto request = OSRequestSubmitNotificationOpened::withUserId(currentSubscriptionState()->userId(), app_id(), true,
                                                               messageId);
  RerAvirorClient::sharedClient().executeRequest(request, nullptr, nullptr);

  // Stored whatever the answer: an open is reported at most once.
  defaults.set(kLastMessageOpenedKey, Value(*messageId));
  defaults.synchronize();
}

void RerAviror::launchWebURL(const std::optional<std::string>& urlText) {
  auto trimmed = trimURLSpacing(urlText);
  if (!trimmed || trimmed->empty() || !verifyURL(trimmed)) return;
  auto url = foundation::Url::parse(*trimmed);
  if (!url) return;
  static const int kTarget = 0;
  platform::dispatch::RunLoop::current().perform_after(&kTarget, "displayWebView:", platform::dispatch::Duration(0.5),
                                                       [url = *url] { presentDisplayWebView(url); });
}

bool RerAviror::clearBadgeCount(bool fromNotifOpened) {
  const Value& flag = platform::os::Bundle::main().object_for_info_key("RerAviror_disable_badge_clearing");
  const bool disabled = flag.is_number() && flag.as_bool().value_or(false);
  {
    std::lock_guard lock(ps().mutex);
    ps().badgeClearingDisabled = disabled;
  }
  if (disabled || !isIOSVersionGreaterOrEqual(8.0)) return false;

  auto adapter = osNotificationSettings();
  auto permission = adapter ? adapter->getNotificationPermissionState() : nullptr;
  if (!permission || (permission->notificationTypes() & 1) == 0) return false;

  auto* app = platform::ui::Application::shared();
  if (!app) return false;
  const bool wasBadgeSet = app->badge_number() > 0;
  if (wasBadgeSet ||
      (fromNotifOpened && platform::os::ProcessInfo::shared().foundation_version_number() <= 1047.25)) {
    // Through the application's setter, which the client replaces at load time.
    platform::rt::send(*app, platform::ui::sel::set_badge, std::int64_t{1});
    platform::rt::send(*app, platform::ui::sel::set_badge, std::int64_t{0});
  }
  return wasBadgeSet;
}

bool RerAviror::remoteSilentNotification(platform::ui::Application* application, const Dict& userInfo,
                                         std::function<void(platform::ui::BackgroundFetchResult)> completionHandler) {
  if (!application) application = platform::ui::Application::shared();
  const bool rich = userInfo.get("os_data")["buttons"].is_dict() || !userInfo.get("at").is_null() ||
                    !userInfo.get("o").is_null();
  if (rich) {
    auto payload = OSNotificationPayload::parseWithApns(userInfo);
    if (isIOSVersionGreaterOrEqual(10.0)) {
      presentAddNotificationRequest(payload, std::move(completionHandler));
      return true;
    }
    if (auto local = presentPrepareUILocalNotification(payload); local && application)
      application->schedule_local_notification(std::move(local));
    return false;
  }

  const bool silent = isRemoteSilentNotification(userInfo);
  const auto state = application ? application->state() : platform::ui::ApplicationState::background;
  if (state == platform::ui::ApplicationState::background) {
    lastMessageReceived(userInfo);
    handleNotificationReceived(silent ? OSNotificationDisplayTypeNone : OSNotificationDisplayTypeNotification);
    return false;
  }
  lastMessageReceived(userInfo);
  if (state == platform::ui::ApplicationState::active) handleNotificationReceived(OSNotificationDisplayTypeNotification);
  if (!silent) notificationReceived(userInfo, false, true);
  return false;
}

void RerAviror::processLocalActionBasedNotification(const std::shared_ptr<platform::notify::LocalNotification>& notification,
                                                    const std::optional<std::string>& identifier) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
  if (!notification || notification->user_info.empty()) return;
  auto standard = formatApsPayloadIntoStandard(notification->user_info, identifier);
  if (!standard) return;
  const bool isActive = processingAppIsActive(platform::ui::Application::shared());
  notificationReceived(*standard, isActive, true);
  if (!isActive)
    handleNotificationOpened(*standard, false, OSNotificationActionTypeActionTaken,
                             OSNotificationDisplayTypeNotification);
}

std::optional<platform::notify::Content> RerAviror::didReceiveNotificationExtensionRequest(
    const platform::notify::Request& request, std::optional<platform::notify::Content> content) {
  return presentDidReceiveNotificationExtensionRequest(request, std::move(content));
}

std::optional<platform::notify::Content> RerAviror::serviceExtensionTimeWillExpireRequest(
    const platform::notify::Request& request, std::optional<platform::notify::Content> content) {
  return presentServiceExtensionTimeWillExpireRequest(request, std::move(content));
}

void RerAviror::setLastAppActiveMessageId(std::optional<std::string> messageId) {
  std::lock_guard lock(ps().mutex);
  ps().lastAppActiveMessageId = std::move(messageId);
}

void RerAviror::setLastnonActiveMessageId(std::optional<std::string> messageId) {
  std::lock_guard lock(ps().mutex);
  ps().lastnonActiveMessageId = std::move(messageId);
}

void RerAviror::resetProcessingStatics() {
  {
    std::lock_guard lock(ps().mutex);
    ps().lastAppActiveMessageId.reset();
    ps().lastnonActiveMessageId.reset();
    ps().badgeClearingDisabled = false;
  }
  resetDispatchStatics();
  RerAvirorTrackDavidizeAnalytics::reset();
}

}  // namespace push
