#include "platform/web/web_view.h"

#include <atomic>
#include <cctype>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/os/profile.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/main_thread.h"
#include "platform/web/internal.h"

namespace platform::web {

namespace {

std::mutex g_evaluator_mutex;
std::function<std::optional<foundation::Value>(ui::View*, std::string_view)> g_evaluator;

bool view_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool opens_new_window(const std::string& target) {
  return !target.empty() && !view_iequal(target, "_self") && !view_iequal(target, "_top") && !view_iequal(target, "_parent");
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == ';')) s.remove_suffix(1);
  return s;
}

bool is_identifier(std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool ok = std::isalpha(c) || c == '_' || c == '$' || (i > 0 && (std::isdigit(c) || c == '.'));
    if (!ok) return false;
  }
  return true;
}

// "typeof name", "typeof(name)" or "typeof window.name".
bool is_typeof(std::string_view s) {
  if (!s.starts_with("typeof")) return false;
  s.remove_prefix(6);
  if (s.empty() || !(std::isspace(static_cast<unsigned char>(s.front())) || s.front() == '(')) return false;
  s = trim(s);
  if (!s.empty() && s.front() == '(' && s.back() == ')') s = trim(s.substr(1, s.size() - 2));
  return is_identifier(s);
}

class WebViewHost : public detail::Host {
 public:
  explicit WebViewHost(WebView& view) : view_(view) {}
  ui::View& view() override { return view_; }
  void decide(const NavigationAction& action, std::function<void(ActionPolicy)> handler) override {
    if (auto d = view_.navigation_delegate()) return d->decide_policy(view_, action, std::move(handler));
    handler(ActionPolicy::allow);
  }
  void started(Navigation* n) override {
    if (auto d = view_.navigation_delegate()) d->did_start_provisional(view_, n);
  }
  void committed(Navigation* n) override {
    if (auto d = view_.navigation_delegate()) d->did_commit(view_, n);
  }
  void finished(Navigation* n) override {
    if (auto d = view_.navigation_delegate()) d->did_finish(view_, n);
  }
  void failed(Navigation* n, const foundation::Error& error, bool provisional) override {
    auto d = view_.navigation_delegate();
    if (!d) return;
    if (provisional) d->did_fail_provisional(view_, n, error);
    else d->did_fail(view_, n, error);
  }
  void cookies_changed() override {
    if (view_.configuration().data_store) view_.configuration().data_store->save_if_changed();
  }

 private:
  WebView& view_;
};

}  // namespace

namespace detail {

std::optional<foundation::Value> evaluate(ui::View* view, const std::string& title, std::string_view script) {
  const std::string_view s = trim(script);
  if (s == "document.title") return foundation::Value(title);
  std::function<std::optional<foundation::Value>(ui::View*, std::string_view)> evaluator;
  {
    std::lock_guard lock(g_evaluator_mutex);
    evaluator = g_evaluator;
  }
  if (evaluator) {
    if (auto answer = evaluator(view, script)) return answer;
  }
  if (is_typeof(s)) return foundation::Value("undefined");
  return std::nullopt;
}

void reset_evaluator() {
  std::lock_guard lock(g_evaluator_mutex);
  g_evaluator = nullptr;
}

}  // namespace detail

void set_script_evaluator(std::function<std::optional<foundation::Value>(ui::View*, std::string_view)> evaluator) {
  std::lock_guard lock(g_evaluator_mutex);
  g_evaluator = std::move(evaluator);
}

void NavigationDelegate::decide_policy(WebView&, const NavigationAction&, std::function<void(ActionPolicy)> handler) {
  handler(ActionPolicy::allow);
}

void UIDelegate::run_alert_panel(WebView&, std::string, FrameInfo, std::function<void()> completion) { completion(); }

void UIDelegate::run_confirm_panel(WebView&, std::string, FrameInfo, std::function<void(bool)> completion) {
  completion(false);
}

std::shared_ptr<WebView> WebView::make(ui::Rect frame, Configuration configuration) {
  ui::check_main_thread("-[WKWebView initWithFrame:configuration:]");
  auto view = std::make_shared<WebView>(ui::runtime_class("WKWebView"), frame, std::move(configuration));
  view->add_subview(view->scroll_view_);
  return view;
}

WebView::WebView(rt::Class& cls, ui::Rect rect, Configuration configuration)
    : ui::View(cls, rect), configuration_(std::move(configuration)), scroll_view_(std::make_shared<ui::ScrollView>()) {
  if (!configuration_.process_pool) configuration_.process_pool = std::make_shared<ProcessPool>();
  if (!configuration_.data_store) configuration_.data_store = WebsiteDataStore::default_store();
  if (!configuration_.user_content) configuration_.user_content = std::make_shared<UserContentController>();
  host_ = std::make_unique<WebViewHost>(*this);
  loader_ = std::make_shared<detail::Loader>(*host_, configuration_.data_store->cookie_storage());
}

WebView::~WebView() { loader_->detach(); }

Navigation* WebView::load(net::Request request) {
  ui::check_main_thread("-[WKWebView loadRequest:]");
  if (!request.url) return nullptr;
  NavigationAction action{request, NavigationType::other, std::nullopt, FrameInfo{true, request}};
  return loader_->start(std::move(action));
}

Navigation* WebView::load_html(std::string html, std::optional<foundation::Url> base) {
  ui::check_main_thread("-[WKWebView loadHTMLString:baseURL:]");
  net::Request request(base ? *base : *foundation::Url::parse("about:blank"));
  NavigationAction action{request, NavigationType::other, std::nullopt, FrameInfo{true, request}};
  return loader_->start(std::move(action), std::move(html));
}

Navigation* WebView::reload() {
  ui::check_main_thread("-[WKWebView reload]");
  return loader_->reload();
}

Navigation* WebView::go_back() {
  ui::check_main_thread("-[WKWebView goBack]");
  return loader_->go(-1);
}

Navigation* WebView::go_forward() {
  ui::check_main_thread("-[WKWebView goForward]");
  return loader_->go(1);
}

void WebView::stop_loading() {
  ui::check_main_thread("-[WKWebView stopLoading]");
  loader_->stop();
}

bool WebView::can_go_back() const { return loader_->can_go(-1); }
bool WebView::can_go_forward() const { return loader_->can_go(1); }
bool WebView::is_loading() const { return loader_->is_loading(); }
std::optional<foundation::Url> WebView::url() const { return loader_->url(); }
std::string WebView::title() const { return loader_->document().title; }
const ScannedPage& WebView::document() const { return loader_->document(); }

void WebView::evaluate_javascript(
    std::string script, std::function<void(std::optional<foundation::Value>, std::optional<foundation::Error>)> completion) {
  ui::check_main_thread("-[WKWebView evaluateJavaScript:completionHandler:]");
  auto result = detail::evaluate(this, title(), script);
  if (!completion) return;
  dispatch::Queue::main().async([result = std::move(result), completion = std::move(completion)] {
    if (result) return completion(result, std::nullopt);
    completion(std::nullopt,
               foundation::Error(std::string(javascript_error_domain), javascript_error_code,
                                 foundation::Dict{{std::string(foundation::key_localized_description),
                                                   foundation::Value("JavaScript is unavailable")}}));
  });
}

// ---- page-side events ----

void WebView::page_tap_link(std::string href) {
  ui::check_main_thread("WKWebView page tap");
  auto url = loader_->resolve(href);
  if (!url) return;
  std::string target;
  for (const auto& link : document().links) {
    auto resolved = loader_->resolve(link.href);
    if (link.href == href || (resolved && *resolved == *url)) {
      target = link.target;
      break;
    }
  }
  net::Request request(*url);
  std::optional<FrameInfo> source;
  if (loader_->url()) source = loader_->main_frame();
  if (!opens_new_window(target)) {
    loader_->start(NavigationAction{request, NavigationType::link_activated, source, FrameInfo{true, request}});
    return;
  }
  // A new window: the policy first, then the UI delegate; the returned view
  // loads the request on a later turn.
  NavigationAction action{request, NavigationType::link_activated, source, std::nullopt};
  std::weak_ptr<WebView> weak = std::static_pointer_cast<WebView>(shared_from_this());
  dispatch::Queue::main().async([weak, action] {
    auto self = weak.lock();
    if (!self) return;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    self->host_->decide(action, [weak, action, answered](ActionPolicy policy) {
      if (answered->exchange(true) || policy != ActionPolicy::allow) return;
      dispatch::Queue::main().async([weak, action] {
        auto opener = weak.lock();
        if (!opener) return;
        auto ui = opener->ui_delegate();
        if (!ui) return;
        auto created = ui->create_web_view(*opener, opener->configuration(), action);
        if (!created) return;
        std::weak_ptr<WebView> weak_created = created;
        dispatch::Queue::main().async([weak_created, next = action.request] {
          if (auto view = weak_created.lock()) {
            view->loader_->start(NavigationAction{next, NavigationType::other, std::nullopt, FrameInfo{true, next}});
          }
        });
      });
    });
  });
}

void WebView::page_close_window() {
  ui::check_main_thread("WKWebView page close");
  auto keep = shared_from_this();
  if (auto d = ui_delegate()) d->did_close(*this);
}

void WebView::page_js_alert(std::string message, std::function<void()> done) {
  ui::check_main_thread("WKWebView page alert");
  auto called = std::make_shared<std::atomic<bool>>(false);
  std::function<void()> completion = [called, done = std::move(done)] {
    if (called->exchange(true) || !done) return;
    if (dispatch::is_main_thread()) return done();
    dispatch::Queue::main().async(done);
  };
  auto keep = shared_from_this();
  if (auto d = ui_delegate()) return d->run_alert_panel(*this, std::move(message), loader_->main_frame(), completion);
  completion();
}

void WebView::page_js_confirm(std::string message, std::function<void(bool)> done) {
  ui::check_main_thread("WKWebView page confirm");
  auto called = std::make_shared<std::atomic<bool>>(false);
  std::function<void(bool)> completion = [called, done = std::move(done)](bool ok) {
    if (called->exchange(true) || !done) return;
    if (dispatch::is_main_thread()) return done(ok);
    dispatch::Queue::main().async([done, ok] { done(ok); });
  };
  auto keep = shared_from_this();
  if (auto d = ui_delegate()) return d->run_confirm_panel(*this, std::move(message), loader_->main_frame(), completion);
  completion(false);
}

void WebView::page_submit_form(std::string action) {
  ui::check_main_thread("WKWebView page submit");
  auto url = loader_->resolve(action);
  if (!url) return;
  std::string method = "GET";
  for (const auto& form : document().forms) {
    auto resolved = loader_->resolve(form.action);
    if (form.action == action || (resolved && *resolved == *url)) {
      method = form.method;
      break;
    }
  }
  net::Request request(*url);
  request.method = method;
  if (method == "POST") {
    request.body = net::Bytes{};
    request.headers.set("Content-Type", "application/x-www-form-urlencoded");
  }
  std::optional<FrameInfo> source;
  if (loader_->url()) source = loader_->main_frame();
  loader_->start(NavigationAction{request, NavigationType::form_submitted, source, FrameInfo{true, request}});
}

void WebView::page_script_message(std::string name, foundation::Value body) {
  ui::check_main_thread("WKWebView script message");
  auto handler = configuration_.user_content ? configuration_.user_content->handler(name) : nullptr;
  if (handler) handler->did_receive(ScriptMessage{std::move(name), std::move(body)});
}

// ---- runtime classes ----

void register_runtime_classes() {
  auto& runtime = rt::Runtime::shared();
  auto define = [&](const char* name, const char* superclass, const char* image) {
    if (runtime.find(name)) return;
    rt::ClassDefinition definition;
    definition.name = name;
    definition.superclass = runtime.find(superclass) ? superclass : "NSObject";
    definition.image = image;
    runtime.define(std::move(definition));
  };
  define("UIWebView", "UIResponder", "UIKitCore");
  if (!os::profile().frameworks.contains("WebKit")) return;
  define("WKWebView", "UIResponder", "WebKit");
  define("WKUserScript", "NSObject", "WebKit");
}

}  // namespace platform::web
