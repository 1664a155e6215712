// The adapters of the OS generations below 10.0.
#include <optional>
#include <utility>

#include "platform/os/preferences.h"
#include "platform/ui/application.h"
#include "push/notification_settings_adapters.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace ui = platform::ui;
namespace notify = platform::notify;
using platform::os::UserDefaults;

namespace {

constexpr std::uint32_t kPromptTypes = notify::badge | notify::sound | notify::alert;

std::shared_ptr<OSPermissionState> applyTypes(std::int32_t types) {
  auto state = RerAviror::currentPermissionState();
  state->setNotificationTypes(types);
  state->setAccepted(types > 0);
  state->setAnsweredPrompt(UserDefaults::standard().boolean("OS_NOTIFICATION_PROMPT_ANSWERED"));
  state->setProvisional(false);
  return state;
}

std::shared_ptr<OSPermissionState> answerAtOnce(RerAvirorNotificationSettings& adapter) {
  std::shared_ptr<OSPermissionState> answer;
  adapter.getNotificationPermissionState([&answer](std::shared_ptr<OSPermissionState> state) { answer = state; });
  return answer ? answer : RerAviror::currentPermissionState();
}

void applyPromptAnswer(bool accepted) {
  auto state = RerAviror::currentPermissionState();
  state->setAccepted(accepted);
  state->setAnsweredPrompt(true);
}

}  // namespace

void PendingPromptCallback::set(std::function<void(bool)> callback) {
  std::lock_guard lock(mutex_);
  notificationPromptReponseCallback_ = std::move(callback);
}

void PendingPromptCallback::answer(bool accepted) {
  std::function<void(bool)> callback;
  {
    std::lock_guard lock(mutex_);
    callback = std::exchange(notificationPromptReponseCallback_, nullptr);
  }
  if (callback) callback(accepted);
}

// ---- 8.0 and later ----

std::int32_t RerAvirorNotificationSettingsIOS8::getNotificationTypes() {
  ui::Application* app = ui::Application::shared();
  return app ? static_cast<std::int32_t>(app->current_user_notification_settings().types) : 0;
}

void RerAvirorNotificationSettingsIOS8::getNotificationPermissionState(
    std::function<void(std::shared_ptr<OSPermissionState>)> completion) {
  auto state = applyTypes(getNotificationTypes());
  if (completion) completion(state);
}

std::shared_ptr<OSPermissionState> RerAvirorNotificationSettingsIOS8::getNotificationPermissionState() {
  return answerAtOnce(*this);
}

void RerAvirorNotificationSettingsIOS8::promptForNotifications(std::function<void(bool accepted)> completion) {
  if (ui::Application* app = ui::Application::shared()) {
    notify::LegacySettings settings;
    settings.types = kPromptTypes;
    settings.categories = app->current_user_notification_settings().categories;
    app->register_user_notification_settings(std::move(settings));
  }
  pending_.set(std::move(completion));
  RerAviror::registerForAPNsToken();
}

void RerAvirorNotificationSettingsIOS8::onNotificationPromptResponse(std::int32_t notificationTypes) {
  const bool accepted = notificationTypes > 0;
  pending_.answer(accepted);
  applyPromptAnswer(accepted);
}

// ---- below 8.0 ----

std::int32_t RerAvirorNotificationSettingsIOS7::getNotificationTypes() {
  return RerAviror::currentSubscriptionState()->pushToken() ? static_cast<std::int32_t>(kPromptTypes) : 0;
}

void RerAvirorNotificationSettingsIOS7::getNotificationPermissionState(
    std::function<void(std::shared_ptr<OSPermissionState>)> completion) {
  const bool hasToken = UserDefaults::standard().string("GT_DEVICE_TOKEN").has_value();
  auto state = applyTypes(hasToken ? static_cast<std::int32_t>(kPromptTypes) : 0);
  if (completion) completion(state);
}

std::shared_ptr<OSPermissionState> RerAvirorNotificationSettingsIOS7::getNotificationPermissionState() {
  return answerAtOnce(*this);
}

void RerAvirorNotificationSettingsIOS7::promptForNotifications(std::function<void(bool accepted)> completion) {
  pending_.set(std::move(completion));
  if (ui::Application* app = ui::Application::shared()) app->register_for_remote_notification_types(kPromptTypes);
  RerAviror::setWaitingForApnsResponse(true);
  auto& defaults = UserDefaults::standard();
  defaults.set("GT_REGISTERED_WITH_APPLE", std::optional<platform::foundation::Value>(std::in_place, true));
  defaults.synchronize();
}

void RerAvirorNotificationSettingsIOS7::onAPNsResponse(bool success) {
  pending_.answer(success);
  applyPromptAnswer(success);
}

// ---- the pick ----

std::shared_ptr<RerAvirorNotificationSettings> makeNotificationSettingsAdapter() {
  if (isIOSVersionGreaterOrEqual(10.0)) return std::make_shared<RerAvirorNotificationSettingsIOS10>();
  if (isIOSVersionGreaterOrEqual(8.0)) return std::make_shared<RerAvirorNotificationSettingsIOS8>();
  return std::make_shared<RerAvirorNotificationSettingsIOS7>();
}

}  // namespace push
