// Notification building and the shared delegate object.
#include "push/notification_builder.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/sync.h"
#include "platform/notify/center.h"
#include "platform/ui/application.h"
#include "push/attachments.h"
#include "push/extension_handlers.h"
#include "push/in_app_alert.h"
#include "push/launch_url.h"
#include "push/presentation.h"
#include "push/web_view.h"
#include "push/notification_dispatch.h"
#include "push/payload.h"
#include "push/utilities.h"

namespace push {

namespace RerAvirorHelper {

std::shared_ptr<RerAvirorObject> sharedInstance() {
  static std::mutex mutex;
  static std::shared_ptr<RerAvirorObject> instance;
  std::lock_guard lock(mutex);
  rt::Runtime& runtime = rt::Runtime::shared();
  rt::Class* cls = runtime.find(kRerAvirorClassName);
  if (!cls) cls = &rt::ClassBuilder<RerAvirorObject>(std::string(kRerAvirorClassName), "NSObject").define(runtime);
  // A registry swapped by a test scope has its own class: the object follows it.
  if (!instance || &instance->isa() != cls) {
    instance = std::dynamic_pointer_cast<RerAvirorObject>(cls->create());
    if (!instance) instance = std::make_shared<RerAvirorObject>(*cls);
  }
  return instance;
}

void registerAsUNNotificationCenterDelegate() {
  auto center = notify::Center::current();
  if (!center || center->delegate()) return;
  center->set_delegate(sharedInstance());
}

namespace {

// The payload's buttons as actions, in payload order; entries without an id are skipped.
std::vector<notify::Action> buttonActions(const OSNotificationPayload& payload, std::uint32_t options) {
  std::vector<notify::Action> actions;
  if (!payload.actionButtons()) return actions;
  for (const foundation::Value& button : *payload.actionButtons()) {
    const std::string* id = button["id"].string();
    if (!id) continue;
    const std::string* text = button["text"].string();
    actions.push_back(notify::Action{*id, text ? *text : "", options});
  }
  return actions;
}

}  // namespace

std::optional<std::vector<notify::Category>> existingCategories() {
  auto center = notify::Center::current();
  if (!center) return std::nullopt;
  struct Answer {
    std::vector<notify::Category> categories;
  };
  auto answer = std::make_shared<Answer>();
  platform::dispatch::Semaphore answered;
  center->get_notification_categories([answer, answered](std::vector<notify::Category> categories) {
    answer->categories = std::move(categories);
    answered.signal();
  });
  answered.wait();
  return std::move(answer->categories);
}

void addActionButtons(const OSNotificationPayload& payload, notify::Content& content) {
  if (!payload.actionButtons() || payload.actionButtons()->empty()) return;
  std::vector<notify::Action> actions = buttonActions(payload, kActionOptionForeground);
  if (actions.size() == 2) std::swap(actions[0], actions[1]);

  auto existing = existingCategories();
  notify::Category category{std::string(kDynamicCategory), std::move(actions), {}, kCategoryOptionCustomDismissAction};
  std::vector<notify::Category> categories;
  if (existing) {
    for (auto& old : *existing) {
      if (old.identifier != kDynamicCategory) categories.push_back(std::move(old));
    }
  }
  categories.push_back(std::move(category));
  if (auto center = notify::Center::current()) center->set_notification_categories(std::move(categories));
  content.category_identifier = std::string(kDynamicCategory);
}

notify::Request prepareUNNotificationRequest(const OSNotificationPayload& payload) {
  notify::Content content;
  addActionButtons(payload, content);
  content.title = payload.title().value_or("");
  content.subtitle = payload.subtitle().value_or("");
  content.body = payload.body().value_or("");
  content.user_info = payload.rawPayload();
  content.sound = notify::Sound{payload.sound()};
  if (payload.badge() != 0) content.badge = static_cast<std::int64_t>(payload.badge());
  addAttachments(payload, content);

  notify::Trigger trigger;
  trigger.kind = notify::Trigger::time_interval;
  trigger.interval = 0.25;
  trigger.repeats = false;
  return notify::Request{randomStringWithLength(16), std::move(content), trigger};
}

void addNotificationRequest(std::shared_ptr<OSNotificationPayload> payload,
                            std::function<void(platform::ui::BackgroundFetchResult)> completion) {
  platform::dispatch::Queue::global().async([payload = std::move(payload), completion = std::move(completion)] {
    beginBackgroundMediaTask();
    if (payload) {
      notify::Request request = prepareUNNotificationRequest(*payload);
      if (auto center = notify::Center::current()) center->add(std::move(request), [](auto) {});
    }
    if (completion) completion(platform::ui::BackgroundFetchResult::new_data);
    endBackgroundMediaTask();
  });
}

std::shared_ptr<notify::LocalNotification> createUILocalNotification(const OSNotificationPayload& payload) {
  auto notification = notify::LocalNotification::make();
  notify::Category category;
  category.identifier = std::string(kDynamicCategory);
  // Legacy actions open the app (foreground activation), are not destructive
  // and need no authentication.
  std::vector<notify::Action> actions;
  for (notify::Action& action : buttonActions(payload, kActionOptionForeground)) {
    actions.push_back(std::move(action));
    if (actions.size() == 2) category.minimal_actions = {actions[1], actions[0]};
  }
  category.actions = std::move(actions);

  std::vector<notify::Category> categories;
  if (platform::ui::Application* application = platform::ui::Application::shared()) {
    // A set by identifier: an older "__dynamic__" gives way to the new one.
    for (auto& old : application->current_user_notification_settings().categories) {
      if (old.identifier != kDynamicCategory) categories.push_back(std::move(old));
    }
    categories.push_back(category);
    application->register_user_notification_settings(
        notify::LegacySettings{notify::badge | notify::sound | notify::alert, std::move(categories)});
  }
  notification->category = category.identifier;
  return notification;
}

std::shared_ptr<notify::LocalNotification> prepareUILocalNotification(const OSNotificationPayload& payload) {
  auto notification = createUILocalNotification(payload);
  if (notification->responds_to(notify::sel::alert_title)) notification->alert_title = payload.title().value_or("");
  notification->alert_body = payload.body().value_or("");
  notification->user_info = payload.rawPayload();
  notification->sound_name = payload.sound() ? *payload.sound() : std::string(kLocalNotificationDefaultSoundName);
  notification->application_icon_badge_number = static_cast<std::int64_t>(payload.badge());
  return notification;
}

}  // namespace RerAvirorHelper
namespace {

class PresentationImpl : public Presentation {
 public:
  void showInAppAlert(const foundation::Dict& userInfo) override { RerAvirorAlertView::showInAppAlert(userInfo); }
  void addNotificationRequest(const std::shared_ptr<OSNotificationPayload>& payload, FetchCompletion completion) override {
    RerAvirorHelper::addNotificationRequest(payload, std::move(completion));
  }
  std::shared_ptr<notify::LocalNotification> prepareUILocalNotification(
      const std::shared_ptr<OSNotificationPayload>& payload) override {
    return payload ? RerAvirorHelper::prepareUILocalNotification(*payload) : nullptr;
  }
  void displayWebView(const foundation::Url& url) override { RerAvirorHelper::displayWebView(url); }
  std::shared_ptr<platform::ui::ViewController> webVC() override { return RerAvirorHelper::webVC(); }
  std::optional<notify::Content> didReceiveNotificationExtensionRequest(
      const notify::Request& request, std::optional<notify::Content> content) override {
    return RerAvirorNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(request,
                                                                                               std::move(content));
  }
  std::optional<notify::Content> serviceExtensionTimeWillExpireRequest(
      const notify::Request& request, std::optional<notify::Content> content) override {
    return RerAvirorNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(request,
                                                                                              std::move(content));
  }
};

}  // namespace

void installPresentation() {
  if (std::dynamic_pointer_cast<PresentationImpl>(presentation())) return;
  setPresentation(std::make_shared<PresentationImpl>());
}

}  // namespace push
