#include "platform/notify/center.h"

#include <atomic>
#include <string>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/foundation/console.h"
#include "platform/foundation/text.h"
#include "platform/notify/legacy.h"
#include "platform/notify/system.h"
#include "platform/notify/testing_reset.h"
#include "platform/os/profile.h"

namespace platform::notify {
namespace {

std::mutex& instance_mutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<Center>& instance() {
  static std::shared_ptr<Center> center;
  return center;
}

// The legacy prompt and the delivery observer: process-wide, reset with the centre.
struct Shared {
  std::mutex mutex;
  std::optional<bool> legacy_granted;
  std::vector<std::function<void(bool)>> legacy_waiting;
  std::shared_ptr<const std::function<void(const Notification&)>> delivery_observer;
};

Shared& shared() {
  static Shared s;
  return s;
}

void notify_delivery(const Notification& notification) {
  std::shared_ptr<const std::function<void(const Notification&)>> observer;
  {
    std::lock_guard lock(shared().mutex);
    observer = shared().delivery_observer;
  }
  if (!observer || !*observer) return;
  dispatch::Queue::main().async([observer, notification] { (*observer)(notification); });
}

template <class T>
std::shared_ptr<T> create(std::string_view class_name) {
  rt::Class* cls = rt::Runtime::shared().find(class_name);
  if (!cls) return nullptr;
  return std::dynamic_pointer_cast<T>(cls->create());
}

}  // namespace

// ---- responses ---------------------------------------------------------------

std::shared_ptr<Response> Response::make(Notification notification, std::string action_identifier) {
  auto response = create<Response>(kResponseClass);
  if (!response) return nullptr;
  response->notification = std::move(notification);
  response->action_identifier = std::move(action_identifier);
  return response;
}

std::shared_ptr<TextInputResponse> TextInputResponse::make(Notification notification, std::string action_identifier,
                                                           std::string user_text) {
  auto response = create<TextInputResponse>(kTextInputResponseClass);
  if (!response) return nullptr;
  response->notification = std::move(notification);
  response->action_identifier = std::move(action_identifier);
  response->user_text = std::move(user_text);
  return response;
}

std::shared_ptr<LocalNotification> LocalNotification::make() {
  if (auto made = create<LocalNotification>(kLocalNotificationClass)) return made;
  return std::make_shared<LocalNotification>(*rt::Runtime::shared().find("NSObject"));
}

// ---- centre ------------------------------------------------------------------

Center::Center(rt::Class& cls) : rt::Object(cls), queue_(dispatch::Queue::serial("platform.notify.center")) {}

std::shared_ptr<Center> Center::current() {
  std::lock_guard lock(instance_mutex());
  auto& center = instance();
  if (!center) center = create<Center>(kCenterClass);
  return center;
}

rt::Id Center::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void Center::set_delegate(rt::Id delegate) { rt::send(*this, sel::center_set_delegate, std::move(delegate)); }

void Center::request_authorization(std::uint32_t options, AuthorizationCompletion completion) {
  rt::send(*this, sel::request_authorization, options, std::move(completion));
}

void Center::get_notification_settings(SettingsCompletion completion) {
  rt::send(*this, sel::get_settings, std::move(completion));
}

void Center::set_delegate_impl(rt::Id delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

void Center::request_authorization_impl(std::uint32_t /*options*/, AuthorizationCompletion completion) {
  const std::string& answer = os::profile().push.prompt_answer;
  bool granted = false;
  {
    std::lock_guard lock(mutex_);
    if (status_ == AuthorizationStatus::not_determined) {
      if (answer == "allow") {
        status_ = AuthorizationStatus::authorized;
      } else if (answer == "deny") {
        status_ = AuthorizationStatus::denied;
      } else {
        pending_authorizations_.push_back(std::move(completion));
        return;
      }
    }
    granted = status_ == AuthorizationStatus::authorized;
  }
  if (completion) queue_.async([completion = std::move(completion), granted] { completion(granted, std::nullopt); });
}

void Center::answer_authorization(bool granted) {
  std::vector<AuthorizationCompletion> waiting;
  {
    std::lock_guard lock(mutex_);
    if (status_ == AuthorizationStatus::not_determined) {
      status_ = granted ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
    }
    granted = status_ == AuthorizationStatus::authorized;
    waiting.swap(pending_authorizations_);
  }
  for (auto& completion : waiting) {
    if (completion) queue_.async([completion = std::move(completion), granted] { completion(granted, std::nullopt); });
  }
}

Settings Center::settings_locked() const {
  Settings settings;
  settings.authorization_status = status_;
  const Setting each = status_ == AuthorizationStatus::authorized ? Setting::enabled : Setting::disabled;
  settings.badge = settings.sound = settings.alert = settings.lock_screen = settings.notification_center = each;
  return settings;
}

void Center::get_settings_impl(SettingsCompletion completion) {
  if (!completion) return;
  Settings settings;
  {
    std::lock_guard lock(mutex_);
    settings = settings_locked();
  }
  queue_.async([completion = std::move(completion), settings] { completion(settings); });
}

void Center::set_notification_categories(std::vector<Category> categories) {
  std::lock_guard lock(mutex_);
  categories_ = std::move(categories);
}

void Center::get_notification_categories(std::function<void(std::vector<Category>)> completion) {
  if (!completion) return;
  std::vector<Category> categories;
  {
    std::lock_guard lock(mutex_);
    categories = categories_;
  }
  queue_.async([completion = std::move(completion), categories = std::move(categories)]() mutable {
    completion(std::move(categories));
  });
}

void Center::record_delivery(Notification notification) {
  {
    std::lock_guard lock(mutex_);
    delivered_.push_back(notification);
  }
  notify_delivery(notification);
}

void Center::schedule(Request request, std::uint64_t generation) {
  auto self = std::static_pointer_cast<Center>(shared_from_this());
  const double interval = request.trigger->interval;
  queue_.after(dispatch::Duration(interval), [self, request = std::move(request), generation]() mutable {
    {
      std::lock_guard lock(self->mutex_);
      if (generation != self->generation_) return;  // the centre was reset meanwhile
    }
    self->record_delivery(Notification{foundation::Date::now(), request});
    if (request.trigger->repeats) self->schedule(std::move(request), generation);
  });
}

void Center::add(Request request, std::function<void(std::optional<foundation::Error>)> completion) {
  const bool timed = request.trigger && request.trigger->kind == Trigger::time_interval && request.trigger->interval > 0;
  if (timed) {
    std::uint64_t generation;
    {
      std::lock_guard lock(mutex_);
      generation = generation_;
    }
    schedule(std::move(request), generation);
  } else {
    record_delivery(Notification{foundation::Date::now(), std::move(request)});
  }
  if (completion) queue_.async([completion = std::move(completion)] { completion(std::nullopt); });
}

void Center::get_delivered(std::function<void(std::vector<Notification>)> completion) {
  if (!completion) return;
  std::vector<Notification> delivered;
  {
    std::lock_guard lock(mutex_);
    delivered = delivered_;
  }
  queue_.async([completion = std::move(completion), delivered = std::move(delivered)]() mutable {
    completion(std::move(delivered));
  });
}

void Center::remove_all_delivered() {
  std::lock_guard lock(mutex_);
  delivered_.clear();
}

void register_runtime_classes() {
  auto& runtime = rt::Runtime::shared();
  if (!runtime.find(kLocalNotificationClass)) {
    rt::ClassBuilder<LocalNotification> local(std::string(kLocalNotificationClass), "NSObject");
    local.image("UIKit");
    // Alert titles exist from 8.2 on.
    if (foundation::text::compare_versions(os::profile().system_version, "8.2") >= 0) {
      local.method(sel::alert_title, [](LocalNotification& n) { return n.alert_title; });
    }
    local.define(runtime);
  }
  if (!os::profile().frameworks.contains("UserNotifications")) return;
  if (!runtime.find(kCenterClass)) {
    rt::ClassBuilder<Center>(std::string(kCenterClass), "NSObject")
        .image("UserNotifications")
        .method(sel::center_set_delegate, &Center::set_delegate_impl)
        .method(sel::request_authorization, &Center::request_authorization_impl)
        .method(sel::get_settings, &Center::get_settings_impl)
        .define(runtime);
  }
  if (!runtime.find(kResponseClass)) {
    rt::ClassBuilder<Response>(std::string(kResponseClass), "NSObject").image("UserNotifications").define(runtime);
  }
  if (!runtime.find(kTextInputResponseClass)) {
    rt::ClassBuilder<TextInputResponse>(std::string(kTextInputResponseClass), std::string(kResponseClass))
        .image("UserNotifications")
        .define(runtime);
  }
}

void reset_for_testing() {
  {
    std::lock_guard lock(shared().mutex);
    shared().legacy_granted.reset();
    shared().legacy_waiting.clear();
    shared().delivery_observer.reset();
  }
  std::shared_ptr<Center> dropped;
  {
    std::lock_guard lock(instance_mutex());
    dropped.swap(instance());
  }
  if (dropped) {
    std::lock_guard lock(dropped->mutex_);
    ++dropped->generation_;
  }
}

// ---- legacy prompt -------------------------------------------------------------

namespace legacy {

void request_authorization(std::function<void(bool)> answer) {
  bool granted;
  {
    std::lock_guard lock(shared().mutex);
    if (!shared().legacy_granted) {
      const std::string& profile_answer = os::profile().push.prompt_answer;
      if (profile_answer == "allow" || profile_answer == "deny") {
        shared().legacy_granted = profile_answer == "allow";
      } else {
        shared().legacy_waiting.push_back(std::move(answer));
        return;
      }
    }
    granted = *shared().legacy_granted;
  }
  if (answer) answer(granted);
}

std::optional<bool> authorization() {
  std::lock_guard lock(shared().mutex);
  return shared().legacy_granted;
}

}  // namespace legacy

// ---- OS side -----------------------------------------------------------------

namespace system {

template <class... A>
static std::function<void(A...)> once(std::function<void(A...)> completion, const char* what) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [completion = std::move(completion), called, what](A... args) {
    if (called->exchange(true)) {
      foundation::console::log_line(std::string("[platform] completion called more than once, ignored: ") + what);
      return;
    }
    if (completion) completion(args...);
  };
}

PresentCompletion single_shot(PresentCompletion completion, const char* what) {
  return once<std::uint32_t>(std::move(completion), what);
}

std::function<void()> single_shot(std::function<void()> completion, const char* what) {
  return once<>(std::move(completion), what);
}

void answer_authorization(bool granted) {
  if (auto center = Center::current()) center->answer_authorization(granted);
  std::vector<std::function<void(bool)>> waiting;
  {
    std::lock_guard lock(shared().mutex);
    if (!shared().legacy_granted) shared().legacy_granted = granted;
    granted = *shared().legacy_granted;
    waiting.swap(shared().legacy_waiting);
  }
  for (auto& answer : waiting) {
    if (answer) answer(granted);
  }
}

void set_delivery_observer(std::function<void(const Notification&)> observer) {
  std::lock_guard lock(shared().mutex);
  shared().delivery_observer =
      observer ? std::make_shared<const std::function<void(const Notification&)>>(std::move(observer)) : nullptr;
}

bool present(Notification notification, std::function<void(std::uint32_t)> on_options) {
  auto center = Center::current();
  if (!center) return false;
  dispatch::Queue::main().async([center, notification = std::move(notification), on_options = std::move(on_options)] {
    rt::Id delegate = center->delegate();
    if (!delegate || !delegate->responds_to(sel::will_present)) return;
    rt::send(*delegate, sel::will_present, rt::Id(center), notification, single_shot(on_options, "will-present"));
  });
  return true;
}

bool deliver_response(rt::Id response, std::function<void()> on_done) {
  auto center = Center::current();
  if (!center || !response) return false;
  dispatch::Queue::main().async([center, response = std::move(response), on_done = std::move(on_done)] {
    rt::Id delegate = center->delegate();
    if (!delegate || !delegate->responds_to(sel::did_receive)) return;
    rt::send(*delegate, sel::did_receive, rt::Id(center), response, single_shot(on_done, "did-receive"));
  });
  return true;
}

}  // namespace system
}  // namespace platform::notify
