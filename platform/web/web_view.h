#pragma once
// The headless web view. Pages load over real HTTP(S) through the view's own
// URL session, whose cookies are the data store's; no script runs. A load is:
// navigation action -> decide_policy (again at each redirect) -> provisional
// fetch -> commit at the first response -> the body is scanned (title, links,
// iframes, forms) -> each iframe its own action with a non-main target frame
// -> did_finish once every frame is done. A failure before the commit is
// did_fail_provisional, after it did_fail. Every delegate call and completion
// runs on the main thread; navigations start on a later main-queue turn.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/net/http.h"
#include "platform/ui/view.h"
#include "platform/web/data_store.h"
#include "platform/web/html_scanner.h"
#include "platform/web/user_content.h"

namespace platform::web {

namespace detail {
class Loader;
class Host;
}

enum class NavigationType { link_activated = 0, form_submitted = 1, back_forward = 2, reload = 3, form_resubmitted = 4, other = -1 };
enum class ActionPolicy { cancel = 0, allow = 1 };

struct FrameInfo {
  bool is_main_frame = true;
  net::Request request;
};

struct NavigationAction {
  net::Request request;
  NavigationType type = NavigationType::other;
  std::optional<FrameInfo> source_frame, target_frame;  // no target frame: a new window
};

// One main-frame load, as handed to the navigation delegate. It stays valid
// while it loads and for the view's next 64 navigations.
class Navigation {
 public:
  Navigation(net::Request request, NavigationType type) : request_(std::move(request)), type_(type) {}
  const net::Request& request() const { return request_; }
  NavigationType type() const { return type_; }

 private:
  net::Request request_;
  NavigationType type_;
};

struct Configuration {
  std::shared_ptr<ProcessPool> process_pool;
  std::shared_ptr<WebsiteDataStore> data_store;        // null: the default store
  std::shared_ptr<UserContentController> user_content;
};

class WebView;

class NavigationDelegate {
 public:
  virtual ~NavigationDelegate() = default;
  // Default: allow. The handler must be called once; later calls are ignored.
  virtual void decide_policy(WebView&, const NavigationAction&, std::function<void(ActionPolicy)> decision_handler);
  virtual void did_start_provisional(WebView&, Navigation*) {}
  virtual void did_commit(WebView&, Navigation*) {}
  virtual void did_finish(WebView&, Navigation*) {}
  virtual void did_fail(WebView&, Navigation*, foundation::Error) {}
  virtual void did_fail_provisional(WebView&, Navigation*, foundation::Error) {}
};

class UIDelegate {
 public:
  virtual ~UIDelegate() = default;
  // A page asks for a new window. A returned view runs the navigation (on the
  // next main-queue turn); nullptr drops it.
  virtual std::shared_ptr<WebView> create_web_view(WebView&, Configuration, const NavigationAction&) { return nullptr; }
  virtual void did_close(WebView&) {}
  // Defaults: the alert completes at once, the confirm answers false.
  virtual void run_alert_panel(WebView&, std::string message, FrameInfo frame, std::function<void()> completion);
  virtual void run_confirm_panel(WebView&, std::string message, FrameInfo frame, std::function<void(bool)> completion);
};

// Runtime class "WKWebView" when registered (UIResponder otherwise).
class WebView : public ui::View {
 public:
  // Missing parts of the configuration get a new pool, the default data store
  // and a new user content controller.
  static std::shared_ptr<WebView> make(ui::Rect frame = {}, Configuration configuration = {});
  WebView(rt::Class& cls, ui::Rect rect, Configuration configuration);
  ~WebView() override;

  void set_navigation_delegate(std::weak_ptr<NavigationDelegate> delegate) { navigation_delegate_ = std::move(delegate); }
  void set_ui_delegate(std::weak_ptr<UIDelegate> delegate) { ui_delegate_ = std::move(delegate); }
  std::shared_ptr<NavigationDelegate> navigation_delegate() const { return navigation_delegate_.lock(); }
  std::shared_ptr<UIDelegate> ui_delegate() const { return ui_delegate_.lock(); }

  // nullptr when nothing can load (no URL; no history to move in).
  Navigation* load(net::Request request);
  // No fetch: the page is the text, at `base` (about:blank without one).
  Navigation* load_html(std::string html, std::optional<foundation::Url> base = std::nullopt);
  Navigation* reload();
  Navigation* go_back();
  Navigation* go_forward();
  void stop_loading();

  bool can_go_back() const;
  bool can_go_forward() const;
  bool is_loading() const;
  std::optional<foundation::Url> url() const;
  std::string title() const;
  // What the scanner found in the committed main-frame page.
  const ScannedPage& document() const;

  ui::ScrollView& scroll_view() { return *scroll_view_; }
  bool allows_back_forward_navigation_gestures = false;
  const Configuration& configuration() const { return configuration_; }

  // "document.title" gives the scanned title; other scripts go to the
  // installed evaluator; "typeof <name>" then gives "undefined"; anything
  // else fails with "JavaScript is unavailable". The completion runs on the
  // main thread, on the next main-queue turn.
  void evaluate_javascript(std::string script,
                           std::function<void(std::optional<foundation::Value>, std::optional<foundation::Error>)> completion);

  // ---- page-side events (the OS side calls these on the main thread) ----
  // A tap on a link: `href` resolves against the current page. A scanned link
  // with that href and a target other than _self/_top/_parent (or an empty
  // one) asks for a new window.
  void page_tap_link(std::string href);
  void page_close_window();
  void page_js_alert(std::string message, std::function<void()> done);
  void page_js_confirm(std::string message, std::function<void(bool)> done);
  // Submits the scanned form with that action (its method; GET when no
  // scanned form has it); navigation type form_submitted.
  void page_submit_form(std::string action);
  // Delivered to the handler registered under `name`; dropped without one.
  void page_script_message(std::string name, foundation::Value body);

 private:
  friend class detail::Loader;
  Configuration configuration_;
  std::weak_ptr<NavigationDelegate> navigation_delegate_;
  std::weak_ptr<UIDelegate> ui_delegate_;
  std::shared_ptr<ui::ScrollView> scroll_view_;
  std::unique_ptr<detail::Host> host_;
  std::shared_ptr<detail::Loader> loader_;
};

// Tests only: answers scripts the engine cannot (see evaluate_javascript);
// nullopt declines. `view` is the WebView or LegacyWebView. An empty function removes it.
void set_script_evaluator(std::function<std::optional<foundation::Value>(ui::View* view, std::string_view script)> evaluator);

// Registers "UIWebView", and "WKWebView" and "WKUserScript" (looked up by
// name to test for user-script support) when the profile lists WebKit.
// Idempotent; classes already registered are left alone.
void register_runtime_classes();

// The error a script evaluation fails with when nothing can answer it.
inline constexpr std::string_view javascript_error_domain = "WKErrorDomain";
inline constexpr int javascript_error_code = 4;  // a JavaScript exception occurred

}  // namespace platform::web
