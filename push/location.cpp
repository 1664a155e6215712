#include "push/location.h"

#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/os/bundle.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "push/client.h"
#include "push/device_facts.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace dispatch = platform::dispatch;
namespace location = platform::location;
namespace ui = platform::ui;

namespace {

// Main-thread state; the last fix also under its own lock, as registration
// reads it from its queue.
struct LocationState {
  std::shared_ptr<RerAvirorLocation> instance;
  std::shared_ptr<location::Manager> locationManager;
  bool updatesStarted = false;
  bool firstStartDelayed = false;
  bool locationSentOnce = false;
  dispatch::TimerId locationSendTimer = 0;
  double timerFireDate = 0;  // seconds since 1970
  ui::BackgroundTaskId backgroundTask = ui::background_task_invalid;
};

// Never destroyed: registration reads the fix from its own queue.
std::recursive_mutex& g_stateMutex = *new std::recursive_mutex;
std::mutex& g_lastLocationMutex = *new std::mutex;
std::optional<OSLastLocation> g_lastLocation;

LocationState& st() {
  static LocationState* s = new LocationState();
  return *s;
}

double now() { return dispatch::Clock::current().now_since_1970(); }

bool applicationActive() {
  auto* app = ui::Application::shared();
  return app && app->state() == ui::ApplicationState::active;
}

bool hasInfoKey(std::string_view key) { return !platform::os::Bundle::main().object_for_info_key(key).is_null(); }

bool backgroundModesHoldLocation() {
  const auto* modes = platform::os::Bundle::main().object_for_info_key("UIBackgroundModes").array();
  if (!modes) return false;
  for (const auto& mode : *modes)
    if (mode.string() && *mode.string() == "location") return true;
  return false;
}

// A one-shot send timer on the main run loop, replacing (and invalidating)
// the stored one.
void scheduleSendTimer(double delay) {
  auto& loop = dispatch::RunLoop::main();
  std::lock_guard lock(g_stateMutex);
  auto& s = st();
  if (s.locationSendTimer) loop.invalidate(s.locationSendTimer);
  s.locationSendTimer = loop.add_timer(dispatch::Duration(delay), dispatch::Duration(0),
                                       [] { RerAvirorLocation::sendLocation(); });
  s.timerFireDate = now() + delay;
}

}  // namespace

std::shared_ptr<RerAvirorLocation> RerAvirorLocation::sharedInstance() {
  std::lock_guard lock(g_stateMutex);
  if (!st().instance) st().instance = std::make_shared<RerAvirorLocation>();
  return st().instance;
}

std::optional<OSLastLocation> RerAvirorLocation::lastLocation() {
  std::lock_guard lock(g_lastLocationMutex);
  return g_lastLocation;
}

void RerAvirorLocation::clearLastLocation() {
  std::lock_guard lock(g_lastLocationMutex);
  g_lastLocation.reset();
}

void RerAvirorLocation::getLocation(bool prompt) {
  bool delayed;
  {
    std::lock_guard lock(g_stateMutex);
    delayed = st().firstStartDelayed;
  }
  if (delayed) {
    internalGetLocation(prompt);
    return;
  }
  dispatch::Queue::main().after(dispatch::Duration(kFirstStartDelaySeconds), [prompt] {
    {
      std::lock_guard lock(g_stateMutex);
      st().firstStartDelayed = true;
    }
    internalGetLocation(prompt);
  });
}

void RerAvirorLocation::internalGetLocation(bool prompt) {
  std::lock_guard lock(g_stateMutex);
  auto& s = st();
  if (s.updatesStarted) return;
  if (!platform::rt::Runtime::shared().find(location::kManagerClass)) return;
  if (!location::Manager::services_enabled()) return;
  if (location::Manager::authorization_status() == location::AuthorizationStatus::not_determined && !prompt) return;
  auto manager = location::Manager::make();
  if (!manager) return;
  s.locationManager = manager;
  manager->set_delegate(sharedInstance());

  if (isIOSVersionGreaterOrEqual(8.0)) {
    const bool alwaysDescription =
        hasInfoKey("NSLocationAlwaysUsageDescription") || hasInfoKey("NSLocationAlwaysAndWhenInUseUsageDescription");
    if (backgroundModesHoldLocation() && alwaysDescription) {
      manager->request_always_authorization();
      if (isIOSVersionGreaterOrEqual(9.0)) manager->allows_background_location_updates = true;
    } else if (hasInfoKey("NSLocationWhenInUseUsageDescription")) {
      manager->request_when_in_use_authorization();
    } else {
      writeLogLine(kLogError,
                   "Include a privacy NSLocationAlwaysUsageDescription or NSLocationWhenInUseUsageDescription in "
                   "your info.plist to request location permissions.");
    }
  }
  manager->start_updating();
  s.updatesStarted = true;
}

void RerAvirorLocation::did_update(location::Manager& manager, std::vector<location::Location> locations) {
  if (RerAviror::requiresUserPrivacyConsent()) return;
  manager.stop_updating();
  if (locations.empty()) return;
  const auto& fix = locations.back();
  {
    std::lock_guard lock(g_lastLocationMutex);
    g_lastLocation = OSLastLocation{fix.latitude, fix.longitude, fix.vertical_accuracy, fix.horizontal_accuracy};
  }
  bool hasTimer, sentOnce;
  {
    std::lock_guard lock(g_stateMutex);
    hasTimer = st().locationSendTimer != 0;
    sentOnce = st().locationSentOnce;
  }
  if (!hasTimer) resetSendTimer();
  if (!sentOnce) sendLocation();
}

void RerAvirorLocation::did_fail(location::Manager&, foundation::Error error) {
  writeLogLine(kLogError, "CLLocationManager did fail with error: " + error.description());
}

void RerAvirorLocation::resetSendTimer() {
  scheduleSendTimer(applicationActive() ? kForegroundSendDelaySeconds : kBackgroundSendDelaySeconds);
}

void RerAvirorLocation::sendLocation() {
  if (RerAviror::requiresUserPrivacyConsent()) return;
  const auto fix = lastLocation();
  const auto userId = RerAviror::mUserId();
  if (!fix || !userId) return;
  bool sentBefore;
  {
    std::lock_guard lock(g_stateMutex);
    sentBefore = st().locationSentOnce;
    st().locationSentOnce = true;
  }
  if (sentBefore) resetSendTimer();

  const auto appId = RerAviror::app_id();
  const auto netType = getNetType();
  const bool background = !applicationActive();
  std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests;
  if (const auto emailUserId = RerAviror::mEmailUserId()) {
    requests["email"] = OSRequestSendLocation::withUserId(emailUserId, appId, *fix, netType, background,
                                                          RerAviror::mEmailAuthToken());
  }
  requests["push"] = OSRequestSendLocation::withUserId(userId, appId, *fix, netType, background, std::nullopt);
  RerAvirorClient::sharedClient().executeSimultaneousRequests(std::move(requests), nullptr, nullptr);
}

void RerAvirorLocation::onfocus(bool inFocus) {
  if (RerAviror::requiresUserPrivacyConsent()) return;
  std::lock_guard lock(g_stateMutex);
  auto& s = st();
  if (!s.locationManager || !s.updatesStarted) return;
  const double remaining = s.locationSendTimer ? s.timerFireDate - now() : 0;
  const double delay =
      remaining > 0 ? remaining : (inFocus ? kForegroundSendDelaySeconds : kBackgroundSendDelaySeconds);
  if (inFocus) {
    if (s.locationSendTimer && s.locationSentOnce) scheduleSendTimer(delay);
    return;
  }
  if (location::Manager::authorization_status() == location::AuthorizationStatus::authorized_always) {
    beginTask();
    scheduleSendTimer(delay);
  } else {
    // Forgotten, not invalidated: a send already scheduled still happens.
    s.locationSendTimer = 0;
  }
}

void RerAvirorLocation::beginTask() {
  auto* app = ui::Application::shared();
  if (!app) return;
  const auto id = app->begin_background_task(std::nullopt, [] { endTask(); });
  std::lock_guard lock(g_stateMutex);
  st().backgroundTask = id;
}

void RerAvirorLocation::endTask() {
  ui::BackgroundTaskId id;
  {
    std::lock_guard lock(g_stateMutex);
    id = st().backgroundTask;
    st().backgroundTask = ui::background_task_invalid;
  }
  if (auto* app = ui::Application::shared(); app && id != ui::background_task_invalid) app->end_background_task(id);
}

void RerAvirorLocation::resetLocals() {
  std::lock_guard lock(g_stateMutex);
  auto& s = st();
  if (s.locationSendTimer) dispatch::RunLoop::main().invalidate(s.locationSendTimer);
  s = LocationState{};
  clearLastLocation();
}

std::optional<double> RerAvirorLocation::sendTimerRemaining() {
  std::lock_guard lock(g_stateMutex);
  if (!st().locationSendTimer) return std::nullopt;
  return st().timerFireDate - now();
}

// ---- facade ----

void RerAviror::getLocation(bool prompt) { RerAvirorLocation::getLocation(prompt); }

void RerAviror::onfocus(const std::string& state) { RerAvirorLocation::onfocus(state == "1"); }

void RerAviror::sendLocation() { RerAvirorLocation::sendLocation(); }

std::optional<OSLastLocation> RerAviror::takeLastLocation() {
  if (!locationShared()) return std::nullopt;
  std::lock_guard lock(g_lastLocationMutex);
  std::optional<OSLastLocation> fix;
  fix.swap(g_lastLocation);
  return fix;
}

}  // namespace push
