#include "platform/ui/application.h"

#include <algorithm>
#include <cctype>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/os/preferences.h"
#include "platform/os/profile.h"
#include "platform/os/syslog.h"
#include "platform/security/digest.h"
#include "platform/ui/internal.h"
#include "platform/ui/main_thread.h"
#include "platform/ui/once.h"
#include "platform/ui/view_controller.h"

namespace platform::ui {

namespace {

double monotonic_seconds() {
  return std::chrono::duration<double>(dispatch::Clock::current().monotonic()).count();
}

// Every optional selector the platform sends to the application delegate.
const std::vector<rt::SelId>& delegate_selectors() {
  static const std::vector<rt::SelId> all{
      sel::will_finish_launching, sel::did_finish_launching, sel::did_become_active, sel::will_resign_active,
      sel::did_enter_background, sel::will_enter_foreground, sel::will_terminate, sel::did_receive_memory_warning,
      sel::did_register_for_remote_notifications, sel::did_fail_to_register_for_remote_notifications,
      sel::did_receive_remote_notification, sel::did_receive_remote_notification_fetch, sel::open_url,
      sel::open_url_source_application, sel::continue_user_activity, sel::handle_events_for_background_session,
      sel::handle_action_for_remote_notification, sel::handle_action_for_remote_notification_with_response,
      sel::did_register_user_notification_settings, sel::did_receive_local_notification,
      sel::handle_action_for_local_notification, sel::set_window};
  return all;
}

}  // namespace

// ---- UserActivity, Device ----

UserActivity::UserActivity() : rt::Object(runtime_class("NSUserActivity")) {}
UserActivity::UserActivity(std::string type) : UserActivity() { activity_type = std::move(type); }

Device& Device::current() {
  static Device device;
  return device;
}
std::string Device::system_name() const { return "iOS"; }
std::string Device::system_version() const { return os::profile().system_version; }
std::string Device::model() const { return os::profile().model; }
std::string Device::name() const { return os::profile().device_name; }
foundation::Uuid Device::identifier_for_vendor() const {
  return foundation::Uuid::parse(os::profile().vendor_identifier).value_or(foundation::Uuid{});
}
bool Device::multitasking_supported() const { return os::profile().multitasking; }
void Device::set_orientation(int orientation) {
  if (orientation == orientation_) return;
  orientation_ = orientation;
  auto& center = foundation::NotificationCenter::default_center();
  center.post(std::string(notification_name::device_orientation_did_change), this);
  center.post(std::string(notification_name::did_change_status_bar_orientation), Application::shared());
}

// ---- Application ----

Application::Application(rt::Class& cls) : Responder(cls) {}

Application* Application::shared() {
  std::lock_guard lock(detail::state().mutex);
  return detail::state().application.get();
}

void Application::set_delegate_original(rt::Id delegate) {
  check_main_thread("-[UIApplication setDelegate:]");
  rt::Id old = std::exchange(delegate_, delegate);
  responds_cache_.clear();
  if (delegate_) {
    for (rt::SelId s : delegate_selectors()) {
      if (delegate_->responds_to(s)) responds_cache_.insert(s);
    }
  }
  auto observers = delegate_observers_;
  for (auto& o : observers) o.fn(old, delegate_);
}

foundation::ObserverToken Application::observe_delegate(std::function<void(rt::Id, rt::Id)> observer) {
  std::uint64_t id = next_observer_++;
  delegate_observers_.push_back({id, std::move(observer)});
  std::weak_ptr<rt::Object> weak = weak_from_this();
  return foundation::ObserverToken([weak, this, id] {
    if (weak.expired()) return;
    std::erase_if(delegate_observers_, [id](const DelegateObserver& o) { return o.id == id; });
  });
}

Window* Application::key_window() const { return key_window_; }

void Application::add_window(std::shared_ptr<Window> window) {
  if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) windows_.push_back(std::move(window));
}

void Application::set_key_window(Window* window) {
  Window* old = std::exchange(key_window_, window);
  if (old && old != window) {
    foundation::NotificationCenter::default_center().post(std::string(notification_name::window_did_resign_key), old);
  }
}

void Application::add_alert_view(std::shared_ptr<AlertView> view) { alert_views_.push_back(std::move(view)); }
void Application::remove_alert_view(const AlertView* view) {
  std::erase_if(alert_views_, [view](const std::shared_ptr<AlertView>& v) { return v.get() == view; });
}

bool Application::can_open_url(const foundation::Url& url) const {
  auto scheme = url.scheme();
  if (!scheme) return false;
  std::string lower = *scheme;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const auto& schemes = os::profile().can_open_schemes;
  return std::find(schemes.begin(), schemes.end(), lower) != schemes.end();
}

bool Application::open_url(const foundation::Url& url) {
  check_main_thread("-[UIApplication openURL:]");
  if (!can_open_url(url)) return false;
  opened_urls_.push_back(url.absolute_string());
  return true;
}

void Application::open_url(const foundation::Url& url, foundation::Dict, std::function<void(bool)> completion) {
  check_main_thread("-[UIApplication openURL:options:completionHandler:]");
  bool ok = open_url(url);
  if (completion) detail::next_turn([completion = std::move(completion), ok] { completion(ok); });
}

BackgroundTaskId Application::begin_background_task(std::optional<std::string>, std::function<void()> expiration) {
  BackgroundTaskId id;
  {
    std::lock_guard lock(tasks_mutex_);
    id = next_task_++;
    tasks_.push_back({id, std::move(expiration)});
  }
  std::weak_ptr<rt::Object> weak = weak_from_this();
  dispatch::Queue::main().after(dispatch::Duration(os::profile().background_time_allowed), [weak, this, id] {
    auto keep = weak.lock();
    if (!keep) return;
    std::function<void()> handler;
    {
      std::lock_guard lock(tasks_mutex_);
      auto it = std::find_if(tasks_.begin(), tasks_.end(), [id](const Task& t) { return t.id == id; });
      if (it == tasks_.end()) return;
      handler = it->expiration;
    }
    if (handler) handler();
  });
  return id;
}

void Application::end_background_task(BackgroundTaskId id) {
  std::lock_guard lock(tasks_mutex_);
  std::erase_if(tasks_, [id](const Task& t) { return t.id == id; });
}

std::size_t Application::active_background_tasks() const {
  std::lock_guard lock(tasks_mutex_);
  return tasks_.size();
}

bool Application::is_background_task_active(BackgroundTaskId id) const {
  std::lock_guard lock(tasks_mutex_);
  return std::any_of(tasks_.begin(), tasks_.end(), [id](const Task& t) { return t.id == id; });
}

double Application::background_time_remaining() const {
  if (state_ != ApplicationState::background) return std::numeric_limits<double>::max();
  return std::max(0.0, os::profile().background_time_allowed - (monotonic_seconds() - background_since_s_));
}

void Application::register_for_remote_notifications() {
  check_main_thread("-[UIApplication registerForRemoteNotifications]");
  const os::PushProfile& push = os::profile().push;
  std::weak_ptr<rt::Object> weak = weak_from_this();
  auto delay = dispatch::Duration(push.token_delay_s);
  if (push.token_error_code) {
    foundation::Error error("NSCocoaErrorDomain", *push.token_error_code,
                            foundation::Dict{{"NSLocalizedDescription", "no valid aps-environment entitlement"}});
    dispatch::Queue::main().after(delay, [weak, this, error] {
      auto keep = weak.lock();
      if (!keep) return;
      send_to_delegate(sel::did_fail_to_register_for_remote_notifications, self_id(), error);
    });
    return;
  }
  std::optional<foundation::Bytes> token;
  if (push.device_token == "auto") {
    const std::string& vendor = os::profile().vendor_identifier;
    auto digest = security::sha256(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(vendor.data()), vendor.size()));
    token = foundation::Bytes(digest.begin(), digest.end());
  } else if (push.device_token != "none") {
    token = foundation::parse_hex(push.device_token);
    if (!token) os::syslog::log(os::syslog::error, "[platform] push.device_token is not hex: " + push.device_token);
  }
  if (!token) return;
  dispatch::Queue::main().after(delay, [weak, this, token = *token] {
    auto keep = weak.lock();
    if (!keep) return;
    registered_ = true;
    send_to_delegate(sel::did_register_for_remote_notifications, self_id(), token);
  });
}

int Application::status_bar_orientation() const { return Device::current().orientation(); }

// ---- Legacy notification roads ----

void Application::register_user_notification_settings(notify::LegacySettings settings) {
  check_main_thread("-[UIApplication registerUserNotificationSettings:]");
  std::weak_ptr<rt::Object> weak = weak_from_this();
  notify::legacy::request_authorization([weak, this, settings = std::move(settings)](bool granted) mutable {
    if (!granted) settings.types = 0;
    detail::next_turn([weak, this, settings = std::move(settings)] {
      auto keep = weak.lock();
      if (!keep) return;
      current_settings_ = settings;
      send_to_delegate(sel::did_register_user_notification_settings, self_id(), settings);
    });
  });
}

void Application::register_for_remote_notification_types(std::uint32_t types) {
  check_main_thread("-[UIApplication registerForRemoteNotificationTypes:]");
  std::weak_ptr<rt::Object> weak = weak_from_this();
  notify::legacy::request_authorization([weak, this, types](bool granted) {
    detail::next_turn([weak, this, types, granted] {
      auto keep = weak.lock();
      if (!keep) return;
      current_settings_.types = granted ? types : 0;
    });
  });
  register_for_remote_notifications();
}

void Application::schedule_local_notification(std::shared_ptr<notify::LocalNotification> notification) {
  check_main_thread("-[UIApplication scheduleLocalNotification:]");
  if (!notification) return;
  double delay = notification->fire_date ? notification->fire_date->since_1970 - foundation::Date::now().since_1970 : 0;
  if (delay <= 0) {
    present_local_notification_now(std::move(notification));
    return;
  }
  scheduled_local_.push_back(notification);
  std::weak_ptr<rt::Object> weak = weak_from_this();
  dispatch::Queue::main().after(dispatch::Duration(delay), [weak, this, notification] {
    auto keep = weak.lock();
    if (!keep) return;
    std::erase(scheduled_local_, notification);
    present_local_notification_now(notification);
  });
}

void Application::present_local_notification_now(std::shared_ptr<notify::LocalNotification> notification) {
  check_main_thread("-[UIApplication presentLocalNotificationNow:]");
  if (!notification) return;
  delivered_local_.push_back(notification);
  std::weak_ptr<rt::Object> weak = weak_from_this();
  detail::next_turn([weak, this, notification] {
    auto keep = weak.lock();
    if (!keep || state_ != ApplicationState::active) return;
    send_to_delegate(sel::did_receive_local_notification, self_id(), notification);
  });
}

void Application::open_local_notification(std::shared_ptr<notify::LocalNotification> notification,
                                          std::optional<std::string> action_identifier, std::function<void()> done) {
  check_main_thread("open_local_notification");
  if (!notification) return;
  if (!action_identifier) {
    send_to_delegate(sel::did_receive_local_notification, self_id(), notification);
    return;
  }
  auto completion = once<>("local notification action completion", std::move(done));
  send_to_delegate(sel::handle_action_for_local_notification, self_id(), *action_identifier, notification, completion);
}

// ---- State transitions ----

namespace {
void post(std::string_view name, const void* sender, foundation::Dict info = {}) {
  foundation::NotificationCenter::default_center().post(std::string(name), sender, std::move(info));
}
}  // namespace

void Application::become_active() {
  check_main_thread("become_active");
  send_to_delegate(sel::did_become_active, self_id());
  post(notification_name::did_become_active, this);
  state_ = ApplicationState::active;
}

void Application::resign_active() {
  send_to_delegate(sel::will_resign_active, self_id());
  post(notification_name::will_resign_active, this);
  state_ = ApplicationState::inactive;
}

void Application::enter_background() {
  state_ = ApplicationState::background;
  background_since_s_ = monotonic_seconds();
  send_to_delegate(sel::did_enter_background, self_id());
  post(notification_name::did_enter_background, this);
}

void Application::enter_foreground() {
  send_to_delegate(sel::will_enter_foreground, self_id());
  post(notification_name::will_enter_foreground, this);
  state_ = ApplicationState::inactive;
}

void Application::receive_memory_warning() {
  send_to_delegate(sel::did_receive_memory_warning, self_id());
  post(notification_name::did_receive_memory_warning, this);
}

void Application::terminate() {
  check_main_thread("terminate");
  if (terminated_) return;
  terminated_ = true;
  send_to_delegate(sel::will_terminate, self_id());
  post(notification_name::will_terminate, this);
  // Cookie storages write after each change of their persistent cookies, so
  // nothing of theirs is pending here.
  os::Preferences::shared().flush_all();
  dispatch::RunLoop::main().stop();
}

}  // namespace platform::ui
