// App-state handling of the engine and the upload seam that installs it.
#include "analytics/upload/app_state.h"

#include <cmath>
#include <memory>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/support/user_defaults.h"
#include "analytics/upload/config_fetch.h"
#include "analytics/upload/upload.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/notification.h"
#include "platform/os/process_info.h"
#include "platform/ui/application.h"

namespace analytics {

namespace fd = platform::foundation;
namespace ui = platform::ui;

namespace {

double appStateNow() { return platform::dispatch::Clock::current().now_since_1970(); }

std::shared_ptr<APMRemoteConfig> appStateConfig(const APMMeasurement& engine) {
  if (auto config = engine.instanceRemoteConfig()) return config;
  return APMRemoteConfig::defaultInstance();
}

void appStateStoreDeepLink(const std::string& link) {
  auto& defaults = APMUserDefaults::standardUserDefaults();
  defaults.setObject(fd::Value(link), kAPMDeepLinkKey);
  defaults.setObject(fd::Value(appStateNow()), kAPMDeepLinkTimestampKey);
}

}  // namespace

void APMSwapBackgroundTaskWithNewTaskID(APMMeasurement& engine, std::uint64_t taskID) {
  const std::uint64_t old = engine.exchangeBackgroundUpdateTask(taskID);
  if (old == ui::background_task_invalid) return;
  APMMeasurement::monitor().logWithLevel(7, 23142, "Cancelling background upload task. Task ID ",
                                         fd::Value(static_cast<std::int64_t>(old)));
  if (auto* application = ui::Application::shared()) application->end_background_task(old);
}

void APMTerminateBackgroundTask(APMMeasurement& engine) {
  if (APMPersistedConfig* persisted = engine.persistedConfig()) persisted->synchronizeToDisk();
  APMSwapBackgroundTaskWithNewTaskID(engine, ui::background_task_invalid);
}

void APMHandleAppWillResignActive(APMMeasurement& engine) {
  if (APMPersistedConfig* persisted = engine.persistedConfig()) persisted->synchronizeToDisk();
  if (!appStateConfig(engine)->uploadWhenAppInBackgroundEnabled()) return;
  auto& monitor = APMMeasurement::monitor();
  monitor.logWithLevel(7, 23144, "App will resign active state. Scheduling data upload");
  std::weak_ptr<APMMeasurement> weak = engine.weak_from_this();
  auto* application = ui::Application::shared();
  const ui::BackgroundTaskId task =
      application ? application->begin_background_task(std::string(kAPMBackgroundTaskName),
                                                        [weak] {
                                                          if (auto self = weak.lock()) APMTerminateBackgroundTask(*self);
                                                        })
                  : ui::background_task_invalid;
  APMSwapBackgroundTaskWithNewTaskID(engine, task);
  monitor.logWithLevel(7, 23145, "Background task started. Task ID", fd::Value(static_cast<std::int64_t>(task)));
  APMAnalytics::dispatchAsyncOnSerialQueue([weak] {
    auto self = weak.lock();
    if (!self || !self->scheduler()) return;
    self->scheduler()->scheduleOnWorkerQueueBlockID("APMMeasurement:4128", [weak] {
      if (auto strong = weak.lock()) APMUploadData(*strong);
    });
  });
}

void APMHandleAppWillEnterForeground(APMMeasurement& engine) { APMTerminateBackgroundTask(engine); }

void APMHandleAppDidBecomeActive(APMMeasurement& engine) {
  if (!appStateConfig(engine)->blacklistInternal() || !engine.scheduler()) return;
  std::weak_ptr<APMMeasurement> weak = engine.weak_from_this();
  engine.scheduler()->scheduleOnWorkerQueueBlockID("APMMeasurement:4088", [weak] {
    auto self = weak.lock();
    if (!self) return;
    const double last = appStateConfig(*self)->lastRemoteConfigUpdateTimestamp();
    if (std::fabs(appStateNow() - last) < kAPMRemoteConfigStaleInterval) return;
    if (APMIsNetworkReadyForRequest(*self)) {
      APMFetchRemoteConfig(*self);
    } else {
      APMMeasurement::monitor().logWithLevel(7, 23143,
                                             "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void APMHandleAppDidFinishLaunching(const fd::Dict& launchOptions) {
  if (launchOptions.empty()) return;
  bool stored = false;
  if (platform::os::ProcessInfo::shared().operating_system_version().major >= 9) {
    const fd::Value& activities = launchOptions.get(ui::launch_key::user_activity_dictionary);
    const fd::Dict* dict = activities.dict();
    if (dict && !dict->empty()) {
      auto activity = dict->get(ui::launch_key::user_activity).object<ui::UserActivity>();
      auto campaigns = APMCampaignsSeamInstalled();
      if (activity && campaigns) {
        if (const auto link = campaigns->deepLinkFromUserActivity(activity)) {
          if (!link->absolute_string().empty()) {
            appStateStoreDeepLink(link->absolute_string());
            stored = true;
          }
        }
      }
    }
  }
  if (stored) return;
  if (auto url = launchOptions.get(ui::launch_key::url).object<fd::Url>()) {
    if (!url->absolute_string().empty()) appStateStoreDeepLink(url->absolute_string());
  }
}

std::int64_t APMMonitorLevelForNetworkLevel(std::int64_t networkLevel) {
  switch (networkLevel) {
    case 3: return 1;
    case 4: return 4;
    case 5: return 3;
    case 6: return 6;
    case 7: return 7;
    default: return 3;
  }
}

// ---- the seam -----------------------------------------------------------------------

bool APMUploadRoad::hasDataToUpload(APMMeasurement& engine) { return APMHasDataToUpload(engine); }
double APMUploadRoad::nextUploadingTime(APMMeasurement& engine) { return APMNextUploadingTime(engine); }
void APMUploadRoad::uploadData(APMMeasurement& engine) { APMUploadData(engine); }

void APMUploadRoad::swapBackgroundTaskWithNewTaskID(APMMeasurement& engine, std::uint64_t taskID) {
  APMSwapBackgroundTaskWithNewTaskID(engine, taskID);
}

void APMUploadRoad::terminateBackgroundTask(APMMeasurement& engine) { APMTerminateBackgroundTask(engine); }

void APMUploadRoad::observeApplicationState(APMMeasurement& engine) {
  auto& center = fd::NotificationCenter::default_center();
  std::weak_ptr<APMMeasurement> weak = engine.weak_from_this();
  const auto observe = [&](std::string_view name, void (*handler)(APMMeasurement&)) {
    center.add_observer(&engine, std::string(name), nullptr, nullptr, [weak, handler](const fd::Notification&) {
      if (auto self = weak.lock()) handler(*self);
    });
  };
  observe(ui::notification_name::did_become_active, &APMHandleAppDidBecomeActive);
  observe(ui::notification_name::will_resign_active, &APMHandleAppWillResignActive);
  observe(ui::notification_name::will_enter_foreground, &APMHandleAppWillEnterForeground);
}

void APMUploadRoad::handleAppDidFinishLaunching(const fd::Dict& userInfo) { APMHandleAppDidFinishLaunching(userInfo); }

void APMUploadRoad::logNetworkMessage(std::int64_t level, std::int64_t code, const std::optional<std::string>& message,
                                      const std::vector<fd::Value>& contexts) {
  APMMeasurement::monitor().logWithLevel(APMMonitorLevelForNetworkLevel(level), code,
                                         message ? APMMessage(*message) : APMMessage(),
                                         fd::Array(contexts.begin(), contexts.end()));
}

}  // namespace analytics
