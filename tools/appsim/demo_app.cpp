#include "tools/appsim/demo_app.h"

#include <cstdio>
#include <memory>
#include <string>

#include "platform/foundation/console.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/notify/center.h"
#include "platform/os/preferences.h"
#include "platform/security/keychain.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"
#include "platform/web/web_view.h"

namespace appsim {

namespace {

namespace console = platform::foundation::console;
namespace foundation = platform::foundation;
namespace notify = platform::notify;
namespace rt = platform::rt;
namespace security = platform::security;
namespace ui = platform::ui;
namespace web = platform::web;
using foundation::Dict;
using foundation::Value;

constexpr const char* kHomePage = "https://intranet.example.org/";
constexpr const char* kKeychainService = "org.example.intranet.demo";
constexpr const char* kLaunchesKey = "demo.launches";

void say(const std::string& line) { console::out_line(line); }

std::string hex(const foundation::Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// The alert text of a payload: "aps" -> "alert" as a string or its "body".
std::string alert_text(const Dict& payload) {
  const Value& alert = payload.get("aps").dict() ? payload.get("aps").dict()->get("alert") : Value();
  if (const std::string* s = alert.string()) return *s;
  if (const Dict* d = alert.dict())
    if (const std::string* body = d->get("body").string()) return *body;
  return "(no alert)";
}

// Reports each finished page and the cookies the web view's store then holds.
class PageReporter : public web::NavigationDelegate {
 public:
  void did_finish(web::WebView& view, web::Navigation*) override {
    const auto url = view.url();
    say("page finished: " + (url ? url->absolute_string() : std::string("(none)")) + " \"" + view.title() + "\"");
    auto store = view.configuration().data_store;
    if (!store) return;
    store->http_cookie_store().get_all_cookies([](std::vector<platform::net::Cookie> cookies) {
      std::string names;
      for (const auto& c : cookies) names += (names.empty() ? "" : ", ") + c.name;
      say("cookies: " + (names.empty() ? std::string("none") : names));
    });
  }
  void did_fail(web::WebView& view, web::Navigation*, foundation::Error error) override { failed(view, error); }
  void did_fail_provisional(web::WebView& view, web::Navigation*, foundation::Error error) override {
    failed(view, error);
  }

 private:
  static void failed(web::WebView& view, const foundation::Error& error) {
    const auto url = view.url();
    say("page failed: " + (url ? url->absolute_string() : std::string("(none)")) + ": " + error.description());
  }
};

// The one screen: a web view filling the controller's view.
class WebScreen : public ui::ViewController {
 public:
  void view_did_load() override {
    web_view_ = web::WebView::make(view().frame);
    web_view_->set_navigation_delegate(reporter_);
    view().add_subview(web_view_);
    open(kHomePage);
  }
  void open(const std::string& address) {
    if (!web_view_) return;
    auto url = foundation::Url::parse(address);
    if (!url) {
      say("not a URL: " + address);
      return;
    }
    web_view_->load(platform::net::Request(*url));
  }

 private:
  std::shared_ptr<PageReporter> reporter_ = std::make_shared<PageReporter>();
  std::shared_ptr<web::WebView> web_view_;
};

std::weak_ptr<WebScreen>& screen() {
  static std::weak_ptr<WebScreen> s;
  return s;
}

void note_install() {
  auto& defaults = platform::os::UserDefaults::standard();
  const std::int64_t launches = defaults.integer(kLaunchesKey) + 1;
  defaults.set(kLaunchesKey, Value(launches));
  defaults.synchronize();
  say("user defaults: launch " + std::to_string(launches));

  const Dict marker{{std::string(security::kc::class_), Value(std::string(security::kc::class_generic_password))},
                    {std::string(security::kc::service), Value(std::string(kKeychainService))},
                    {std::string(security::kc::account), Value(std::string("install"))}};
  Value found;
  if (security::item_copy_matching(marker, &found) == security::status::ok) {
    say("keychain: install marker kept from an earlier install");
    return;
  }
  Dict add = marker;
  add.set(std::string(security::kc::value_data), Value(foundation::Bytes{'1'}));
  const auto status = security::item_add(add);
  say(status == security::status::ok ? std::string("keychain: install marker written")
                                     : "keychain: cannot write the install marker (" + std::to_string(status) + ")");
}

class DemoAppDelegate : public ui::Responder {
 public:
  explicit DemoAppDelegate(rt::Class& cls) : ui::Responder(cls) {}

  bool did_finish_launching(rt::Id, Dict options) {
    const bool for_notification = options.contains(ui::launch_key::remote_notification);
    say(std::string("launched") + (for_notification ? " for a notification" : ""));
    note_install();
    if (auto center = notify::Center::current()) {
      center->set_delegate(shared_from_this());
      center->request_authorization(notify::alert | notify::badge | notify::sound,
                                    [](bool granted, std::optional<foundation::Error>) {
                                      say(std::string("notifications allowed: ") + (granted ? "true" : "false"));
                                    });
    }
    ui::Application::shared()->register_for_remote_notifications();
    return true;
  }
  void set_window(std::shared_ptr<ui::Window> window) { window_ = std::move(window); }
  void did_become_active(rt::Id) { say("active"); }
  void will_resign_active(rt::Id) { say("inactive"); }
  void did_enter_background(rt::Id) { say("in the background"); }
  void will_enter_foreground(rt::Id) { say("entering the foreground"); }
  void will_terminate(rt::Id) { say("terminating"); }

  void did_register(rt::Id, foundation::Bytes token) {
    say("device token " + hex(token) + " (" + std::to_string(token.size()) + " bytes)");
  }
  void did_fail_to_register(rt::Id, foundation::Error error) {
    say("remote notifications failed: " + std::to_string(error.code));
  }
  // Below iOS 10, a push in front reaches the application delegate.
  void did_receive_remote_notification(rt::Id, Dict payload) { say("push received: " + alert_text(payload)); }
  void did_receive_remote_notification_fetch(rt::Id, Dict payload,
                                             std::function<void(ui::BackgroundFetchResult)> completion) {
    say("push received: " + alert_text(payload));
    if (completion) completion(ui::BackgroundFetchResult::no_data);
  }

  // The notification centre's delegate.
  void will_present(rt::Id, notify::Notification notification, notify::PresentCompletion completion) {
    say("push in front: " + alert_text(notification.request.content.user_info));
    if (completion) completion(notify::alert | notify::badge | notify::sound);
  }
  void did_receive(rt::Id, rt::Id response, std::function<void()> completion) {
    if (auto* r = dynamic_cast<notify::Response*>(response.get())) {
      say("notification tapped: " + r->action_identifier);
      if (const std::string* target = r->notification.request.content.user_info.get("targetUrl").string()) {
        say("opening " + *target);
        if (auto s = screen().lock()) s->open(*target);
      }
    }
    if (completion) completion();
  }

 private:
  std::shared_ptr<ui::Window> window_;
};

void register_classes() {
  rt::ClassBuilder<DemoAppDelegate>("DemoAppDelegate", "UIResponder")
      .protocols({"UIApplicationDelegate", "UNUserNotificationCenterDelegate"})
      .method(ui::sel::did_finish_launching, &DemoAppDelegate::did_finish_launching)
      .method(ui::sel::set_window, &DemoAppDelegate::set_window)
      .method(ui::sel::did_become_active, &DemoAppDelegate::did_become_active)
      .method(ui::sel::will_resign_active, &DemoAppDelegate::will_resign_active)
      .method(ui::sel::did_enter_background, &DemoAppDelegate::did_enter_background)
      .method(ui::sel::will_enter_foreground, &DemoAppDelegate::will_enter_foreground)
      .method(ui::sel::will_terminate, &DemoAppDelegate::will_terminate)
      .method(ui::sel::did_register_for_remote_notifications, &DemoAppDelegate::did_register)
      .method(ui::sel::did_fail_to_register_for_remote_notifications, &DemoAppDelegate::did_fail_to_register)
      .method(ui::sel::did_receive_remote_notification, &DemoAppDelegate::did_receive_remote_notification)
      .method(ui::sel::did_receive_remote_notification_fetch, &DemoAppDelegate::did_receive_remote_notification_fetch)
      .method(notify::sel::will_present, &DemoAppDelegate::will_present)
      .method(notify::sel::did_receive, &DemoAppDelegate::did_receive)
      .define();
}

void define_storyboards() {
  ui::Storyboard::define("Main", {.initial =
                                      [](ui::Storyboard&) {
                                        auto web_screen = std::make_shared<WebScreen>();
                                        web_screen->title = "Intranet";
                                        screen() = web_screen;
                                        return std::make_shared<ui::NavigationController>(web_screen);
                                      },
                                  .scenes = {}});
}

}  // namespace

platform::sim::AppImage demo_app_image() {
  platform::sim::AppImage image;
  image.delegate_class = "DemoAppDelegate";
  image.register_classes = register_classes;
  image.define_storyboards = define_storyboards;
  return image;
}

}  // namespace appsim
