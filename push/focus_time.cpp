#include "push/focus_time.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/dispatch/dispatch.h"
#include "platform/os/preferences.h"
#include "platform/ui/application.h"
#include "push/client.h"
#include "push/device_facts.h"
#include "push/reraviror.h"
#include "push/states.h"

namespace push {

namespace dispatch = platform::dispatch;
namespace ui = platform::ui;

namespace {

constexpr std::string_view kLastClosedTimeKey = "GT_LAST_CLOSED_TIME";
constexpr std::string_view kUnsentActiveTimeKey = "GT_UNSENT_ACTIVE_TIME";

struct TrackerState {
  std::mutex mutex;
  bool focusState = true;  // YES: in the background
  double lastOpenedTime = 0;
  std::optional<double> unsentActiveTime;  // the cache; -1 means "read the defaults"
  ui::BackgroundTaskId backgroundTask = ui::background_task_invalid;
};

TrackerState& focusTimeState() {
  static TrackerState* s = new TrackerState();
  return *s;
}

platform::os::UserDefaults& focusDefaults() { return platform::os::UserDefaults::standard(); }

}  // namespace

void RerAvirorTracker::onFocus(bool toBackground) {
  if (RerAviror::requiresUserPrivacyConsent()) return;
  auto& s = focusTimeState();
  {
    std::lock_guard lock(s.mutex);
    if (toBackground == s.focusState) return;
    s.focusState = toBackground;
  }
  const double now = dispatch::Clock::current().now_since_1970();
  double activeTotal = 0;
  bool badgeWasSet = false;

  if (toBackground) {
    focusDefaults().set(kLastClosedTimeKey, std::optional<foundation::Value>(std::in_place, now));
    focusDefaults().synchronize();
    double lastOpened;
    {
      std::lock_guard lock(s.mutex);
      lastOpened = s.lastOpenedTime;
    }
    const double elapsed = now - lastOpened + 0.5;
    if (elapsed < 0 || elapsed > kMaxElapsedSeconds) return;
    activeTotal = getUnsentActiveTime() + elapsed;
    if (activeTotal < kMinPingSeconds) {
      saveUnsentActiveTime(activeTotal);
      return;
    }
  } else {
    setLastOpenedTime(now);
    if (!RerAviror::sendNotificationTypesUpdate() && RerAviror::mUserId())
      RerAviror::registerUser();
    badgeWasSet = RerAviror::clearBadgeCount(false);
  }

  const auto userId = RerAviror::mUserId();
  if (!userId) return;
  const auto appId = RerAviror::app_id();
  const auto emailUserId = RerAviror::mEmailUserId();
  const auto emailAuthToken = RerAviror::mEmailAuthToken();

  if (!toBackground) {
    if (!badgeWasSet) return;
    std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests;
    requests["push"] = OSRequestOnFocus::withUserId(userId, appId, 0, std::nullopt);
    if (emailUserId) requests["email"] = OSRequestOnFocus::withUserId(emailUserId, appId, 0, emailAuthToken);
    RerAvirorClient::sharedClient().executeSimultaneousRequests(std::move(requests), nullptr, nullptr);
    return;
  }

  saveUnsentActiveTime(0);
  dispatch::Queue::global().async([userId, appId, emailUserId, emailAuthToken, activeTotal] {
    beginBackgroundFocusTask();
    const auto netType = getNetType();
    std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests;
    requests["push"] =
        OSRequestOnFocus::withUserId(userId, appId, std::string("ping"), 1, activeTotal, netType, std::nullopt);
    if (emailUserId) {
      requests["email"] = OSRequestOnFocus::withUserId(emailUserId, appId, std::string("ping"), 1, activeTotal,
                                                       netType, emailAuthToken);
    }
    RerAvirorClient::sharedClient().executeSimultaneousRequests(std::move(requests), nullptr, nullptr);
    endBackgroundFocusTask();
  });
}

double RerAvirorTracker::getUnsentActiveTime() {
  auto& s = focusTimeState();
  std::lock_guard lock(s.mutex);
  if (!s.unsentActiveTime) s.unsentActiveTime = -1;
  if (static_cast<std::int64_t>(*s.unsentActiveTime) == -1) {
    const auto stored = focusDefaults().object(kUnsentActiveTimeKey);
    s.unsentActiveTime = stored ? stored->as_double() : std::nullopt;
  }
  return s.unsentActiveTime.value_or(0);
}

void RerAvirorTracker::saveUnsentActiveTime(double seconds) {
  {
    std::lock_guard lock(focusTimeState().mutex);
    focusTimeState().unsentActiveTime = seconds;
  }
  focusDefaults().set(kUnsentActiveTimeKey, std::optional<foundation::Value>(std::in_place, seconds));
  focusDefaults().synchronize();
}

void RerAvirorTracker::beginBackgroundFocusTask() {
  auto* app = ui::Application::shared();
  if (!app) return;
  const auto id = app->begin_background_task(std::nullopt, [] { endBackgroundFocusTask(); });
  std::lock_guard lock(focusTimeState().mutex);
  focusTimeState().backgroundTask = id;
}

void RerAvirorTracker::endBackgroundFocusTask() {
  ui::BackgroundTaskId id;
  {
    std::lock_guard lock(focusTimeState().mutex);
    id = focusTimeState().backgroundTask;
    focusTimeState().backgroundTask = ui::background_task_invalid;
  }
  if (auto* app = ui::Application::shared(); app && id != ui::background_task_invalid) app->end_background_task(id);
}

void RerAvirorTracker::setLastOpenedTime(double secondsSince1970) {
  std::lock_guard lock(focusTimeState().mutex);
  focusTimeState().lastOpenedTime = secondsSince1970;
}

void RerAvirorTracker::resetLocals() {
  auto& s = focusTimeState();
  std::lock_guard lock(s.mutex);
  s.focusState = true;
  s.lastOpenedTime = 0;
  s.unsentActiveTime.reset();
  s.backgroundTask = ui::background_task_invalid;
}

void RerAviror::onFocus(bool toBackground) { RerAvirorTracker::onFocus(toBackground); }

}  // namespace push
