#include <optional>
#include <utility>

#include "platform/dispatch/sync.h"
#include "platform/notify/center.h"
#include "push/notification_settings_adapters.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace dispatch = platform::dispatch;
namespace notify = platform::notify;

namespace {

constexpr const char* kQueueLabel = "com.reraviror.notification.settings.ios10";

struct QueueSlot {
  std::mutex mutex;
  std::optional<dispatch::Queue> queue;
};
QueueSlot& queueSlot() {
  static auto* slot = new QueueSlot();
  return *slot;
}

bool enabled(notify::Setting setting) { return setting == notify::Setting::enabled; }

// Writes the centre's answer into the state, in the order the observers see it.
void applySettings(OSPermissionState& state, const notify::Settings& settings) {
  const auto status = settings.authorization_status;
  state.setAnsweredPrompt(status != notify::AuthorizationStatus::not_determined &&
                          status != notify::AuthorizationStatus::provisional);
  state.setProvisional(status == notify::AuthorizationStatus::provisional);
  state.setAccepted(status == notify::AuthorizationStatus::authorized && !state.provisional());
  std::int32_t types = 0;
  if (enabled(settings.badge)) types += 1;
  if (enabled(settings.sound)) types += 2;
  if (enabled(settings.alert)) types += 4;
  if (enabled(settings.lock_screen)) types += 8;
  state.setNotificationTypes(types);
  if (isIOSVersionGreaterOrEqual(12.0) && types == 0 && status == notify::AuthorizationStatus::provisional) {
    state.setNotificationTypes(notify::provisional);
  }
}

}  // namespace

RerAvirorNotificationSettingsIOS10::RerAvirorNotificationSettingsIOS10() {
  auto& slot = queueSlot();
  std::lock_guard lock(slot.mutex);
  slot.queue = dispatch::Queue::serial(kQueueLabel);
}

dispatch::Queue RerAvirorNotificationSettingsIOS10::getQueue() {
  auto& slot = queueSlot();
  std::lock_guard lock(slot.mutex);
  if (!slot.queue) slot.queue = dispatch::Queue::serial(kQueueLabel);
  return *slot.queue;
}

std::shared_ptr<OSPermissionState> RerAvirorNotificationSettingsIOS10::defaultPermissionState() {
  if (auto state = RerAviror::currentPermissionState()) return state;
  auto state = std::make_shared<OSPermissionState>();
  state->setNotificationTypes(0);
  return state;
}

std::int32_t RerAvirorNotificationSettingsIOS10::getNotificationTypes() {
  return getNotificationPermissionState()->notificationTypes();
}

void RerAvirorNotificationSettingsIOS10::getNotificationPermissionState(
    std::function<void(std::shared_ptr<OSPermissionState>)> completion) {
  if (*useCachedStatus_) {
    if (completion) completion(RerAviror::currentPermissionState());
    return;
  }
  getQueue().async([cached = useCachedStatus_, completion = std::move(completion)]() mutable {
    auto answer = [cached, completion = std::move(completion)](notify::Settings settings) {
      auto state = RerAviror::currentPermissionState();
      applySettings(*state, settings);
      *cached = true;
      if (completion) completion(state);
      *cached = false;
    };
    if (auto center = notify::Center::current()) {
      center->get_notification_settings(std::move(answer));
    } else {
      answer(notify::Settings{});
    }
  });
}

std::shared_ptr<OSPermissionState> RerAvirorNotificationSettingsIOS10::getNotificationPermissionState() {
  if (*useCachedStatus_) return RerAviror::currentPermissionState();
  // Waiting on the adapter's own queue would block the answer it waits for.
  if (dispatch::Queue::current_label() == kQueueLabel) return defaultPermissionState();

  // The centre may answer after the wait gave up: the holder outlives this call.
  struct Holder {
    std::mutex mutex;
    std::shared_ptr<OSPermissionState> answer;
    dispatch::Semaphore answered{0};
  };
  auto holder = std::make_shared<Holder>();
  holder->answer = RerAviror::currentPermissionState();
  getQueue().sync([this, holder] {
    getNotificationPermissionState([holder](std::shared_ptr<OSPermissionState> state) {
      {
        std::lock_guard lock(holder->mutex);
        holder->answer = std::move(state);
      }
      holder->answered.signal();
    });
  });
  holder->answered.wait(dispatch::Duration(0.1));
  std::lock_guard lock(holder->mutex);
  return holder->answer ? holder->answer : defaultPermissionState();
}

void RerAvirorNotificationSettingsIOS10::promptForNotifications(std::function<void(bool accepted)> completion) {
  std::uint32_t options = notify::badge | notify::sound | notify::alert;
  if (isIOSVersionGreaterOrEqual(12.0) && RerAviror::providesAppNotificationSettings()) {
    options |= notify::provides_app_settings;
  }
  auto answer = [completion = std::move(completion)](bool granted, std::optional<platform::foundation::Error>) {
    dispatch_async_on_main_queue([granted, completion] {
      auto state = RerAviror::currentPermissionState();
      state->setProvisional(false);
      state->setAccepted(granted);
      state->setAnsweredPrompt(true);
      RerAviror::updateNotificationTypes(granted ? 15 : 0);
      if (completion) completion(granted);
    });
  };
  if (auto center = notify::Center::current()) center->request_authorization(options, std::move(answer));
  RerAviror::registerForAPNsToken();
}

void RerAvirorNotificationSettingsIOS10::registerForProvisionalAuthorization(
    std::function<void(bool accepted)> completion) {
  if (!isIOSVersionGreaterOrEqual(12.0)) return;
  auto state = getNotificationPermissionState();
  if (state->status() != OSPermissionStatusNotDetermined || state->answeredPrompt()) {
    if (completion) completion(true);
    return;
  }
  auto center = notify::Center::current();
  if (!center) return;
  center->request_authorization(
      notify::provisional,
      [completion = std::move(completion)](bool granted, std::optional<platform::foundation::Error>) {
        dispatch_async_on_main_queue([granted, completion] {
          RerAviror::currentPermissionState()->setProvisional(granted);
          RerAviror::updateNotificationTypes(granted ? static_cast<std::int32_t>(notify::provisional) : 0);
          if (completion) completion(granted);
        });
      });
}

}  // namespace push
