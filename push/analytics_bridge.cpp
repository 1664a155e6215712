#include "push/analytics_bridge.h"

#include <exception>
#include <mutex>

#include "platform/os/preferences.h"
#include "platform/runtime/message.h"
#include "platform/runtime/runtime.h"
#include "push/extension_handlers.h"
#include "push/log.h"
#include "push/notification.h"
#include "push/payload.h"
#include "push/reraviror.h"

namespace push {

using foundation::Dict;
using foundation::Value;

namespace {

constexpr std::string_view kEnabledKey = "OS_ENABLE_DAVIDIZE_ANALYTICS";
constexpr std::string_view kReceivedTimeKey = "OS_LAST_RECIEVED_TIME";
constexpr std::string_view kReceivedIdKey = "OS_LAST_RECIEVED_NOTIFICATION_ID";
constexpr std::string_view kReceivedCampaignKey = "OS_LAST_RECIEVED_GAF_CAMPAIGN";

constexpr double kInfluenceWindowSeconds = 120;
constexpr double kAfterOpenSeconds = 30;

struct BridgeState {
  std::mutex mutex;
  bool eventsEnabled = false;
  double lastOpenEventTime = 0;
};

BridgeState& bs() {
  static auto* s = new BridgeState();
  return *s;
}

double bridgeNow() { return foundation::Date::now().since_1970; }

// None when the group's name is the app's own bundle identifier: reads then answer zero and writes do nothing.
std::shared_ptr<platform::os::UserDefaults> appGroup() {
  return platform::os::UserDefaults::suite(RerAvirorTrackDavidizeAnalytics::appGroupKey());
}

Dict eventParameters(const std::string& notificationId, const std::string& campaign) {
  return Dict{{"source", "RerAviror"}, {"medium", "notification"}, {"notification_id", notificationId},
              {"campaign", campaign}};
}

// The first `count` code points of UTF-8 text; never splits a character.
std::string firstCodePoints(const std::string& text, std::size_t count) {
  std::size_t i = 0, seen = 0;
  while (i < text.size() && seen < count) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t len = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
    if (i + len > text.size()) len = text.size() - i;
    i += len;
    ++seen;
  }
  return text.substr(0, i);
}

}  // namespace

bool RerAvirorTrackDavidizeAnalytics::needsRemoteParams() {
  return platform::rt::Runtime::shared().find(kAnalyticsClassName) != nullptr;
}

void RerAvirorTrackDavidizeAnalytics::init() {
  const auto group = appGroup();
  const bool enabled = group && group->boolean(kEnabledKey);
  std::lock_guard lock(bs().mutex);
  bs().eventsEnabled = enabled;
}

void RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(const Dict& params) {
  // Present switches on, whatever the value.
  const bool enabled = params.contains("fba");
  {
    std::lock_guard lock(bs().mutex);
    bs().eventsEnabled = enabled;
  }
  auto group = appGroup();
  if (!group) return;
  if (enabled) {
    group->set(kEnabledKey, Value(true));
  } else {
    group->remove(kEnabledKey);
  }
  group->synchronize();
}

std::string RerAvirorTrackDavidizeAnalytics::appGroupKey() { return RerAvirorExtensionBadgeHandler::appGroupName(); }

void RerAvirorTrackDavidizeAnalytics::logEventWithName(const std::string& name, const Dict& parameters) {
  platform::rt::Class* cls = platform::rt::Runtime::shared().find(kAnalyticsClassName);
  if (!cls) return;
  try {
    platform::rt::send_if_responds(*cls, kLogEventWithNameParameters, name, parameters);
  } catch (const std::exception& e) {
    RerAviror::reraviror_Log(kLogError, std::string("Analytics event not logged: ") + e.what());
  }
}

std::string RerAvirorTrackDavidizeAnalytics::getCampaignNameFromPayload(const OSNotificationPayload& payload) {
  if (payload.templateName() && payload.templateID()) return *payload.templateName() + " - " + *payload.templateID();
  if (!payload.title()) return std::string();
  return firstCodePoints(*payload.title(), 10);
}

void RerAvirorTrackDavidizeAnalytics::trackOpenEvent(const OSNotificationOpenedResult& result) {
  {
    std::lock_guard lock(bs().mutex);
    if (!bs().eventsEnabled) return;
    bs().lastOpenEventTime = bridgeNow();
  }
  const auto& notification = result.notification();
  const auto payload = notification ? notification->payload() : nullptr;
  // Every event needs an id.
  if (!payload || !payload->notificationID()) return;
  logEventWithName("os_notification_opened",
                   eventParameters(*payload->notificationID(), getCampaignNameFromPayload(*payload)));
}

void RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(const OSNotificationPayload& payload) {
  if (!eventsEnabled()) return;
  const std::string campaign = getCampaignNameFromPayload(payload);
  if (auto group = appGroup()) {
    group->set(kReceivedIdKey, payload.notificationID() ? std::optional<Value>(*payload.notificationID()) : std::nullopt);
    group->set(kReceivedCampaignKey, Value(campaign));
    group->set(kReceivedTimeKey, Value(bridgeNow()));
    group->synchronize();
  }
  if (!payload.notificationID()) return;
  logEventWithName("os_notification_received", eventParameters(*payload.notificationID(), campaign));
}

void RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent() {
  double lastOpen;
  {
    std::lock_guard lock(bs().mutex);
    if (!bs().eventsEnabled) return;
    lastOpen = bs().lastOpenEventTime;
  }
  auto group = appGroup();
  const double received = group ? group->real(kReceivedTimeKey) : 0;
  if (received == 0) return;
  const double t = bridgeNow();
  if (t - received > kInfluenceWindowSeconds) return;
  if (t - lastOpen < kAfterOpenSeconds) return;
  const auto id = group->string(kReceivedIdKey);
  if (!id) return;
  logEventWithName("os_notification_influence_open",
                   eventParameters(*id, group->string(kReceivedCampaignKey).value_or(std::string())));
}

bool RerAvirorTrackDavidizeAnalytics::eventsEnabled() {
  std::lock_guard lock(bs().mutex);
  return bs().eventsEnabled;
}

void RerAvirorTrackDavidizeAnalytics::reset() {
  std::lock_guard lock(bs().mutex);
  bs().eventsEnabled = false;
  bs().lastOpenEventTime = 0;
}

}  // namespace push
