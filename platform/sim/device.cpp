#include "platform/sim/device.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <exception>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/json.h"
#include "platform/foundation/text.h"
#include "platform/foundation/url.h"
#include "platform/foundation/uuid.h"
#include "platform/location/manager.h"
#include "platform/net/cookie.h"
#include "platform/notify/center.h"
#include "platform/notify/system.h"
#include "platform/os/preferences.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/security/digest.h"
#include "platform/security/keychain.h"
#include "platform/sim/app_image.h"
#include "platform/sim/internal.h"
#include "platform/sim/output.h"
#include "platform/store/store.h"
#include "platform/ui/application.h"
#include "platform/ui/once.h"
#include "platform/ui/view_controller.h"

namespace platform::sim {

using foundation::Dict;
using foundation::Value;

namespace {

struct DeviceState {
  std::mutex mutex;
  bool image_loaded = false;       // the app image's classes and storyboards
  std::size_t urls_reported = 0;   // opened URLs already printed
  std::uint64_t background_generation = 0;  // bumped at each move into or out of the background
};


DeviceState& state() {
  static DeviceState s;
  return s;
}

std::uint64_t next_background_generation() {
  std::lock_guard lock(state().mutex);
  return ++state().background_generation;
}

void os_line(std::string_view text) { emit(Tag::os, text); }

ui::Application* running_app() {
  ui::Application* app = ui::Application::shared();
  return app && !app->terminated() ? app : nullptr;
}

Result not_running() { return Result::failure("the app is not running"); }

std::string json_text(const Value& value) {
  auto bytes = foundation::json::serialize(value, {.fragments_allowed = true});
  return bytes ? foundation::to_string(*bytes) : foundation::describe(value);
}

// The token the device hands out with device_token "auto": sha256 of the vendor id.
foundation::Bytes automatic_token() {
  const std::string& vendor = os::profile().vendor_identifier;
  auto digest = security::sha256(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(vendor.data()), vendor.size()));
  return foundation::Bytes(digest.begin(), digest.end());
}

std::string options_text(std::uint32_t options) {
  std::vector<std::string> names;
  if (options & notify::badge) names.push_back("badge");
  if (options & notify::sound) names.push_back("sound");
  if (options & notify::alert) names.push_back("alert");
  std::string out = std::to_string(options);
  if (!names.empty()) {
    out += " (";
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + names[i];
    out += ")";
  }
  return out;
}

std::string_view fetch_result_name(ui::BackgroundFetchResult r) {
  switch (r) {
    case ui::BackgroundFetchResult::new_data: return "new data";
    case ui::BackgroundFetchResult::no_data: return "no data";
    case ui::BackgroundFetchResult::failed: return "failed";
  }
  return "unknown";
}

// A notification as the system builds it from a remote payload.
notify::Notification notification_from(const Dict& payload, bool content_available) {
  notify::Notification n;
  n.date = foundation::Date::now();
  const Value& aps = payload.get("aps");
  const Value& alert = aps["alert"];
  if (const std::string* body = alert.string()) {
    n.request.content.body = *body;
  } else {
    if (auto* s = alert["title"].string()) n.request.content.title = *s;
    if (auto* s = alert["subtitle"].string()) n.request.content.subtitle = *s;
    if (auto* s = alert["body"].string()) n.request.content.body = *s;
  }
  if (auto badge = aps["badge"].as_int(); badge && aps["badge"].is_integer()) n.request.content.badge = *badge;
  if (const std::string* sound = aps["sound"].string()) n.request.content.sound = notify::Sound{*sound};
  if (const std::string* category = aps["category"].string()) n.request.content.category_identifier = *category;
  n.request.content.user_info = payload;
  n.request.identifier = foundation::Uuid::random().string();
  notify::Trigger trigger;
  trigger.kind = notify::Trigger::push;
  trigger.content_available = content_available || aps["content-available"].as_int().value_or(0) == 1;
  n.request.trigger = trigger;
  return n;
}

bool has_centre() { return notify::Center::current() != nullptr; }

std::function<void(ui::BackgroundFetchResult)> fetch_completion() {
  return ui::once<ui::BackgroundFetchResult>(
      "fetch completion handler",
      std::function<void(ui::BackgroundFetchResult)>([](ui::BackgroundFetchResult r) {
        os_line("fetch completion: result " + std::string(fetch_result_name(r)));
      }));
}

std::function<void()> completion(std::string what) {
  return ui::once<>(what, std::function<void()>([what] { os_line(what + " called"); }));
}

// The legacy (below 10) delivery of a remote notification to the application delegate.
void legacy_remote_notification(ui::Application& app, const Dict& payload) {
  if (app.send_to_delegate(ui::sel::did_receive_remote_notification_fetch, app.self_id(), payload, fetch_completion())) {
    os_line("application:didReceiveRemoteNotification:fetchCompletionHandler: sent");
  } else if (app.send_to_delegate(ui::sel::did_receive_remote_notification, app.self_id(), payload)) {
    os_line("application:didReceiveRemoteNotification: sent");
  } else {
    os_line("the delegate takes no remote notification");
  }
}

// A response to a tapped (or dismissed) notification, on the next main-queue turn.
void deliver_response(const notify::Notification& n, const std::string& action, const std::optional<std::string>& text) {
  if (has_centre()) {
    rt::Id response = text ? rt::Id(notify::TextInputResponse::make(n, action, *text))
                           : rt::Id(notify::Response::make(n, action));
    notify::system::deliver_response(response, [] { os_line("did-receive completion called"); });
    os_line("response " + action + " to the notification centre's delegate");
    return;
  }
  Dict payload = n.request.content.user_info;
  dispatch::Queue::main().async([payload, action, text] {
    ui::Application* app = running_app();
    if (!app) return;
    if (action == notify::default_action) {
      legacy_remote_notification(*app, payload);
      return;
    }
    if (text) {
      Dict info{{"UIUserNotificationActionResponseTypedTextKey", *text}};
      if (app->send_to_delegate(ui::sel::handle_action_for_remote_notification_with_response, app->self_id(), action,
                                payload, info, completion("action completion handler"))) {
        os_line("application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo: sent");
        return;
      }
    }
    if (app->send_to_delegate(ui::sel::handle_action_for_remote_notification, app->self_id(), action, payload,
                              completion("action completion handler"))) {
      os_line("application:handleActionWithIdentifier:forRemoteNotification: sent");
    } else {
      os_line("the delegate takes no notification action");
    }
  });
  os_line("response " + action + " to the application delegate");
}

std::string value_line(const Value& v) {
  if (v.is_data()) return foundation::data_description(*v.data());
  if (v.is_date()) return "date " + foundation::format_real(v.date()->since_1970);
  return json_text(v);
}

}  // namespace

// ---- lifecycle -----------------------------------------------------------------

bool Device::running() const { return running_app() != nullptr; }

Result Device::launch(LaunchOptions options) {
  if (running()) return Result::failure("the app is already running");
  if (ui::Application::shared()) return Result::failure("the app was terminated; a new launch needs a new process");
  const AppImage* image = app();
  if (!image) return Result::failure("no app image to launch");

  Dict launch_options = options.options;
  if (options.url) {
    auto url = foundation::Url::parse(*options.url);
    if (!url) return Result::failure("not a URL: " + *options.url);
    launch_options.set(std::string(ui::launch_key::url), Value::object(std::make_shared<foundation::Url>(*url)));
  }
  if (options.activity) {
    auto url = foundation::Url::parse(*options.activity);
    if (!url) return Result::failure("not a URL: " + *options.activity);
    auto activity = std::make_shared<ui::UserActivity>(std::string(ui::activity_type_browsing_web));
    activity->webpage_url = *url;
    launch_options.set(std::string(ui::launch_key::user_activity_dictionary),
                       Dict{{std::string(ui::launch_key::user_activity_type), std::string(ui::activity_type_browsing_web)},
                            {std::string(ui::launch_key::user_activity), Value::object(activity)}});
  }
  if (options.notification) {
    launch_options.set(std::string(ui::launch_key::remote_notification), *options.notification);
  }

  bool load_image = false;
  {
    std::lock_guard lock(state().mutex);
    load_image = !std::exchange(state().image_loaded, true);
  }
  if (load_image) {
    if (image->register_classes) image->register_classes();
    if (image->define_storyboards) image->define_storyboards();
  }
  if (!image->load_hooks.empty()) {
    std::string hooks = "load hooks:";
    for (std::size_t i = 0; i < image->load_hooks.size(); ++i) {
      hooks += (i ? ", " : " ") + std::to_string(image->load_hooks[i].order) + " " +
               std::string(image->load_hooks[i].name);
    }
    os_line(hooks);
  }
  std::string keys;
  for (const auto& [key, value] : launch_options) keys += (keys.empty() ? "" : ", ") + key;
  os_line("launch " + image->delegate_class + " options={" + keys + "}");

  ui::MainOptions main_options;
  main_options.principal_class = image->principal_class;
  main_options.delegate_class = image->delegate_class;
  main_options.load_hooks = image->load_hooks;
  main_options.launch_options = std::move(launch_options);
  ui::application_launch(0, nullptr, std::move(main_options));
  os_line("launched, state active");
  report_opened_urls();
  return Result::success();
}

Result Device::background() {
  ui::Application* app = running_app();
  if (!app) return not_running();
  if (app->state() == ui::ApplicationState::background) return Result::failure("the app is already in the background");
  if (app->state() == ui::ApplicationState::active) app->resign_active();
  app->enter_background();
  double allowed = os::profile().background_time_allowed;
  os_line("background (time allowed " + foundation::format_real(allowed) + " s)");
  // The background time runs out for every task still running, also those begun after this.
  std::uint64_t generation = next_background_generation();
  dispatch::Queue::main().after(dispatch::Duration(allowed), [generation] {
    {
      std::lock_guard lock(state().mutex);
      if (state().background_generation != generation) return;
    }
    ui::Application* a = running_app();
    if (!a || a->state() != ui::ApplicationState::background) return;
    os_line("background time used up: " + std::to_string(a->active_background_tasks()) + " tasks expire");
    a->expire_background_tasks();
  });
  return Result::success();
}

Result Device::foreground() {
  ui::Application* app = running_app();
  if (!app) return not_running();
  if (app->state() == ui::ApplicationState::active) return Result::failure("the app is already in front");
  if (app->state() == ui::ApplicationState::background) {
    next_background_generation();
    app->enter_foreground();
  }
  app->become_active();
  os_line("foreground, state active");
  return Result::success();
}

Result Device::terminate() {
  ui::Application* app = running_app();
  if (!app) return not_running();
  os_line("terminate");
  app->terminate();
  return Result::success();
}

Result Device::memory_warning() {
  ui::Application* app = running_app();
  if (!app) return not_running();
  os_line("memory warning");
  app->receive_memory_warning();
  return Result::success();
}

Result Device::expire_background_tasks() {
  ui::Application* app = running_app();
  if (!app) return not_running();
  std::size_t count = app->active_background_tasks();
  os_line("background time expired: " + std::to_string(count) + " tasks");
  app->expire_background_tasks();
  return Result::success();
}

// ---- notifications ---------------------------------------------------------------

Result Device::authorize(bool allow) {
  os_line(std::string("notification authorization answered: ") + (allow ? "allow" : "deny"));
  notify::system::answer_authorization(allow);
  return Result::success();
}

Result Device::device_token(std::optional<std::string> hex) {
  ui::Application* app = running_app();
  if (!app) return not_running();
  foundation::Bytes token;
  if (hex) {
    auto parsed = foundation::parse_hex(*hex);
    if (!parsed) return Result::failure("not a hex token: " + *hex);
    token = *parsed;
  } else {
    token = automatic_token();
  }
  std::string text = foundation::hex_lower(token);
  bool sent = app->send_to_delegate(ui::sel::did_register_for_remote_notifications, app->self_id(), token);
  os_line("remote notifications: token " + text + " (" + std::to_string(token.size()) + " bytes) " +
          (sent ? "delivered" : "not taken by the delegate"));
  return Result::success();
}

Result Device::token_error(std::int64_t code) {
  ui::Application* app = running_app();
  if (!app) return not_running();
  foundation::Error error("NSCocoaErrorDomain", code,
                          Dict{{"NSLocalizedDescription", "remote notification registration failed"}});
  bool sent = app->send_to_delegate(ui::sel::did_fail_to_register_for_remote_notifications, app->self_id(), error);
  os_line("remote notifications: registration failed with code " + std::to_string(code) +
          (sent ? "" : " (not taken by the delegate)"));
  return Result::success();
}

Result Device::push(Dict payload, bool content_available) {
  notify::Notification n = notification_from(payload, content_available);
  content_available = n.request.trigger->content_available;
  ui::Application* app = running_app();
  auto centre = notify::Center::current();
  if (!app) {
    if (centre) centre->record_delivery(n);
    os_line("push: the app is not running; shown by the system");
    return Result::success();
  }
  if (app->state() == ui::ApplicationState::active) {
    if (centre) {
      notify::system::present(n, [](std::uint32_t options) {
        os_line("will-present completion: presentation options " + options_text(options));
      });
      os_line("push in front: will-present to the notification centre's delegate");
    } else {
      os_line("push in front: to the application delegate");
      legacy_remote_notification(*app, payload);
    }
    return Result::success();
  }
  if (centre) centre->record_delivery(n);
  if (content_available) {
    if (app->send_to_delegate(ui::sel::did_receive_remote_notification_fetch, app->self_id(), payload,
                              fetch_completion())) {
      os_line("push in the background (content-available): application:didReceiveRemoteNotification:"
              "fetchCompletionHandler: sent");
    } else {
      os_line("push in the background (content-available): the delegate takes no background fetch");
    }
  } else {
    os_line("push in the background: shown by the system");
  }
  return Result::success();
}

Result Device::tap_notification(Dict payload, std::optional<std::string> action, std::optional<std::string> text) {
  notify::Notification n = notification_from(payload, false);
  std::string action_id = action ? *action : std::string(notify::default_action);
  ui::Application* app = running_app();
  if (!app) {
    os_line("tap on a notification: launching the app");
    LaunchOptions options;
    options.notification = payload;
    if (Result launched = launch(std::move(options)); !launched) return launched;
    deliver_response(n, action_id, text);
    return Result::success();
  }
  if (app->state() == ui::ApplicationState::background) {
    os_line("tap on a notification: the app enters the foreground");
    next_background_generation();
    app->enter_foreground();
    deliver_response(n, action_id, text);
    // Active once the response has been delivered (it goes out on the next turn).
    dispatch::Queue::main().async([] {
      if (ui::Application* a = running_app(); a && a->state() != ui::ApplicationState::active) {
        a->become_active();
        os_line("foreground, state active");
      }
    });
    return Result::success();
  }
  deliver_response(n, action_id, text);
  return Result::success();
}

Result Device::dismiss_notification(Dict payload) {
  if (!running() || !has_centre()) {
    os_line("notification dismissed; nobody is told");
    return Result::success();
  }
  deliver_response(notification_from(payload, false), std::string(notify::dismiss_action), std::nullopt);
  return Result::success();
}

// ---- URLs and activities ----------------------------------------------------------

Result Device::universal_link(std::optional<std::string> url, std::string activity_type) {
  ui::Application* app = running_app();
  if (!app) return not_running();
  std::optional<foundation::Url> parsed;
  if (url) {
    parsed = foundation::Url::parse(*url);
    if (!parsed || !parsed->scheme()) return Result::failure("not an absolute URL: " + *url);
  }
  auto activity = std::make_shared<ui::UserActivity>(std::move(activity_type));
  activity->webpage_url = parsed;
  auto restoration = ui::once<foundation::Array>(
      "restoration handler", std::function<void(foundation::Array)>([](foundation::Array objects) {
        os_line("restoration handler called with " + std::to_string(objects.size()) + " objects");
      }));
  auto handled = app->send_to_delegate(ui::sel::continue_user_activity, app->self_id(), activity, restoration);
  const bool browsing = activity->activity_type == ui::activity_type_browsing_web;
  os_line("universal link " + url.value_or("(no page address)") +
          (browsing ? "" : " (activity type \"" + activity->activity_type + "\")") + ": continueUserActivity " +
          (handled ? (*handled ? "handled" : "not handled") : "not taken by the delegate"));
  report_opened_urls();
  return Result::success();
}

Result Device::open_url(std::string url) {
  ui::Application* app = running_app();
  if (!app) return not_running();
  auto parsed = foundation::Url::parse(url);
  if (!parsed || !parsed->scheme()) return Result::failure("not an absolute URL: " + url);
  // The options form from 9.0 when the delegate answers it, else the legacy
  // form without a source application or annotation.
  std::optional<bool> handled;
  std::string form;
  if (foundation::text::compare_versions(os::profile().system_version, "9.0") >= 0 &&
      app->delegate_responds(ui::sel::open_url)) {
    handled = app->send_to_delegate(ui::sel::open_url, app->self_id(), *parsed, Dict{});
    form = "openURL:options: ";
  } else if (app->delegate_responds(ui::sel::open_url_source_application)) {
    handled = app->send_to_delegate(ui::sel::open_url_source_application, app->self_id(), *parsed, std::nullopt,
                                    Value());
    form = "openURL:sourceApplication:annotation: ";
  }
  os_line("open URL " + url + ": " +
          (handled ? form + (*handled ? "handled" : "not handled") : "not taken by the delegate"));
  report_opened_urls();
  return Result::success();
}

Result Device::background_session_events(std::string identifier) {
  if (!running()) {
    os_line("background session events: launching the app");
    if (Result launched = launch(); !launched) return launched;
  }
  ui::Application* app = running_app();
  if (!app) return not_running();
  bool sent = app->send_to_delegate(ui::sel::handle_events_for_background_session, app->self_id(), identifier,
                                    completion("background session completion handler"));
  os_line("background session events " + identifier + (sent ? ": handleEventsForBackgroundURLSession sent"
                                                             : ": not taken by the delegate"));
  return Result::success();
}

// ---- device state -------------------------------------------------------------------

Result Device::network(NetworkSetting setting) {
  os::NetworkState s = os::network_state();
  s.reachable = setting != NetworkSetting::off;
  s.wwan = setting == NetworkSetting::wwan;
  os::set_network_state(s);
  os_line(std::string("network ") + (setting == NetworkSetting::off ? "off" : setting == NetworkSetting::wwan ? "wwan" : "on"));
  return Result::success();
}

Result Device::low_power(bool enabled) {
  os::set_low_power_mode(enabled);
  os_line(std::string("low power mode ") + (enabled ? "on" : "off"));
  return Result::success();
}

Result Device::rotate(int orientation) {
  if (orientation < 0 || orientation > 6) return Result::failure("no such orientation: " + std::to_string(orientation));
  ui::Device::current().set_orientation(orientation);
  os_line("orientation " + std::to_string(orientation));
  return Result::success();
}

// ---- page-side events ------------------------------------------------------------------

namespace {
ui::View* visible_web_view() {
  return detail::find_visible_view([](ui::View& v) { return detail::is_web_view(v); });
}
template <class F>
Result on_web_view(F&& f) {
  if (!running_app()) return not_running();
  ui::View* view = visible_web_view();
  if (!view) return Result::failure("no visible web view");
  return f(*view);
}
}  // namespace

Result Device::tap_link(std::string href) {
  return on_web_view([&](ui::View& v) { return detail::page_tap_link(v, href); });
}
Result Device::close_window() {
  return on_web_view([&](ui::View& v) { return detail::page_close_window(v); });
}
Result Device::js_alert(std::string message) {
  return on_web_view([&](ui::View& v) { return detail::page_js_alert(v, message); });
}
Result Device::js_confirm(std::string message) {
  return on_web_view([&](ui::View& v) { return detail::page_js_confirm(v, message); });
}
Result Device::submit_form(std::string action) {
  return on_web_view([&](ui::View& v) { return detail::page_submit_form(v, action); });
}
Result Device::script_message(std::string name, Value body) {
  return on_web_view([&](ui::View& v) { return detail::page_script_message(v, name, body); });
}

// ---- user input -------------------------------------------------------------------------

Result Device::pull_to_refresh() {
  if (!running()) return not_running();
  ui::View* found = detail::find_visible_view([](ui::View& v) { return dynamic_cast<ui::RefreshControl*>(&v) != nullptr; });
  auto* control = dynamic_cast<ui::RefreshControl*>(found);
  if (!control) return Result::failure("no refresh control on the screen");
  if (!control->enabled) return Result::failure("the refresh control is disabled");
  os_line("pull to refresh");
  control->begin_refreshing();
  control->send_actions(ui::ControlEvent::value_changed);
  return Result::success();
}

Result Device::tap(std::string accessibility_id) {
  if (!running()) return not_running();
  ui::View* found =
      detail::find_visible_view([&](ui::View& v) { return v.accessibility_identifier == accessibility_id; });
  if (found) {
    auto* control = dynamic_cast<ui::Control*>(found);
    if (!control) return Result::failure("\"" + accessibility_id + "\" is not a control");
    if (!control->enabled) return Result::failure("\"" + accessibility_id + "\" is disabled");
    os_line("tap " + accessibility_id);
    control->send_actions(ui::ControlEvent::touch_up_inside);
    return Result::success();
  }
  // Bar button items with a custom view carrying the id.
  if (ui::ViewController* top = detail::top_controller()) {
    std::vector<ui::ViewController*> candidates{top};
    if (auto* nav = detail::visible_navigation_controller(); nav && nav->top()) candidates.push_back(nav->top());
    for (ui::ViewController* c : candidates) {
      for (const auto& item : {c->navigation_item().left, c->navigation_item().right}) {
        if (item && item->custom_view && item->custom_view->accessibility_identifier == accessibility_id) {
          os_line("tap " + accessibility_id);
          item->tap();
          return Result::success();
        }
      }
    }
  }
  return Result::failure("no control \"" + accessibility_id + "\" on the screen");
}

Result Device::tap_alert(std::string title) {
  ui::Application* app = running_app();
  if (!app) return not_running();
  if (auto* alert = dynamic_cast<ui::AlertController*>(detail::top_controller())) {
    const auto& actions = alert->actions();
    for (std::size_t i = 0; i < actions.size(); ++i) {
      if (actions[i].title == title) {
        os_line("tap alert action \"" + title + "\"");
        alert->tap(i);
        return Result::success();
      }
    }
    return Result::failure("the alert has no action \"" + title + "\"");
  }
  auto views = app->visible_alert_views();
  if (!views.empty()) {
    auto& view = views.back();
    for (int i = 0; i < view->number_of_buttons(); ++i) {
      if (view->button_title(i) == title) {
        os_line("tap alert button \"" + title + "\"");
        view->tap(i);
        return Result::success();
      }
    }
    return Result::failure("the alert has no button \"" + title + "\"");
  }
  return Result::failure("no alert on the screen");
}

Result Device::tap_back() {
  if (!running()) return not_running();
  ui::NavigationController* nav = detail::visible_navigation_controller();
  if (!nav || nav->view_controllers().size() < 2) return Result::failure("no back button on the screen");
  if (nav->navigation_bar_hidden()) return Result::failure("the navigation bar is hidden");
  os_line("tap back");
  nav->pop(true);
  return Result::success();
}

// ---- store and location -------------------------------------------------------------------

Result Device::purchase(std::string product, int quantity) {
  if (!store::PaymentQueue::can_make_payments()) return Result::failure("the device has no store");
  if (quantity < 1) return Result::failure("quantity must be at least 1");
  os_line("purchase " + product + " x" + std::to_string(quantity));
  if (!store::system::purchase(std::move(product), quantity)) return Result::failure("the store refused the purchase");
  return Result::success();
}

Result Device::location(double latitude, double longitude, std::optional<double> horizontal_accuracy,
                        std::optional<double> vertical_accuracy) {
  if (!location::Manager::services_enabled()) return Result::failure("the device has no location services");
  if (latitude < -90 || latitude > 90 || longitude < -180 || longitude > 180) {
    return Result::failure("not a coordinate");
  }
  const auto& defaults = os::profile().location;
  const double horizontal = horizontal_accuracy.value_or(defaults.horizontal_accuracy);
  const double vertical = vertical_accuracy.value_or(defaults.vertical_accuracy);
  os_line("location " + foundation::format_real(latitude) + " " + foundation::format_real(longitude) + " " +
          foundation::format_real(horizontal) + " " + foundation::format_real(vertical));
  location::system::set_location(latitude, longitude, horizontal, vertical);
  return Result::success();
}

// ---- state ----------------------------------------------------------------------------------

std::string Device::cookies() const {
  std::string out;
  for (const net::Cookie& c : net::CookieStorage::shared()->cookies()) {
    out += c.domain + c.path + " " + c.name + "=" + c.value + (c.session_only() ? " session" : "") +
           (c.secure ? " secure" : "") + (c.http_only ? " http-only" : "") + "\n";
  }
  out += detail::web_cookies();
  if (out.empty()) return "no cookies";
  if (out.back() == '\n') out.pop_back();
  return out;
}

std::string Device::defaults(std::optional<std::string> domain) const {
  std::string name = os::Preferences::shared().resolve(domain ? *domain : os::Preferences::current_application);
  Dict values = os::Preferences::shared().copy_domain(name);
  std::string out = "defaults " + name + " (" + std::to_string(values.size()) + " keys)";
  std::vector<std::string> keys = values.keys();
  std::sort(keys.begin(), keys.end());
  for (const std::string& key : keys) out += "\n" + key + " = " + value_line(values.get(key));
  return out;
}

std::string Device::keychain() const {
  std::string out;
  int count = 0;
  for (std::string_view cls : {security::kc::class_generic_password, security::kc::class_key}) {
    Dict query{{std::string(security::kc::class_), std::string(cls)},
               {std::string(security::kc::return_attributes), true},
               {std::string(security::kc::match_limit), std::string(security::kc::match_limit_all)}};
    Value result;
    if (security::item_copy_matching(query, &result) != security::status::ok || !result.array()) continue;
    for (const Value& item : *result.array()) {
      const Dict* attrs = item.dict();
      if (!attrs) continue;
      ++count;
      std::string line(cls);
      std::vector<std::string> keys = attrs->keys();
      std::sort(keys.begin(), keys.end());
      for (const std::string& key : keys) {
        if (key == security::kc::modification_date || key == security::kc::class_) continue;
        line += " " + key + "=" + value_line(attrs->get(key));
      }
      out += "\n" + line;
    }
  }
  return "keychain (" + std::to_string(count) + " items)" + out;
}

std::string Device::files(std::optional<std::string> dir) const {
  const std::filesystem::path& container = os::container_directory();
  if (container.empty()) return "no container";
  std::filesystem::path root = dir ? container / std::filesystem::path(*dir).relative_path() : container;
  root = root.lexically_normal();
  auto rel_root = root.lexically_relative(container);
  if (rel_root.empty() || *rel_root.begin() == "..") return "not inside the container: " + (dir ? *dir : "");
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec)) return "no folder " + rel_root.string();
  std::vector<std::string> lines;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = it->path().lexically_relative(container).string();
    if (it->is_directory(ec)) {
      lines.push_back(rel + "/");
    } else {
      lines.push_back(rel + " " + std::to_string(it->file_size(ec)) + " bytes");
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string out = "files " + rel_root.string() + " (" + std::to_string(lines.size()) + " entries)";
  for (const auto& l : lines) out += "\n" + l;
  return out;
}

// ---- crashes ------------------------------------------------------------------------------------

void Device::crash(CrashKind kind) {
  switch (kind) {
    case CrashKind::segv: {
      os_line("crash: bad memory access");
      volatile int* volatile bad = nullptr;
      *bad = 1;
      std::raise(SIGSEGV);
      break;
    }
    case CrashKind::abort:
      os_line("crash: abort");
      break;
    case CrashKind::exception:
      os_line("crash: uncaught exception");
      // As the application's main sequence treats an escaping exception: the
      // uncaught handler, then terminate with the exception still current.
      try {
        foundation::Exception::raise("NSInternalInconsistencyException", "crash requested by the simulator");
      } catch (const foundation::Exception& e) {
        if (auto handler = foundation::uncaught_exception_handler()) handler(e);
        std::terminate();
      }
  }
  std::abort();
}

void Device::report_opened_urls() {
  ui::Application* app = ui::Application::shared();
  if (!app) return;
  const auto& urls = app->opened_urls();
  std::size_t from;
  {
    std::lock_guard lock(state().mutex);
    from = std::exchange(state().urls_reported, urls.size());
  }
  for (std::size_t i = from; i < urls.size(); ++i) os_line("opened URL " + urls[i]);
}

Device& device() {
  static Device d;
  return d;
}

namespace detail {
void reset_device() {
  std::lock_guard lock(state().mutex);
  state().image_loaded = false;
  state().urls_reported = 0;
}
}  // namespace detail

}  // namespace platform::sim
