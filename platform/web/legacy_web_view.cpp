#include "platform/web/legacy_web_view.h"

#include "platform/ui/main_thread.h"
#include "platform/web/internal.h"

namespace platform::web {

namespace {

LegacyNavigationType legacy_type(NavigationType type) {
  switch (type) {
    case NavigationType::link_activated: return LegacyNavigationType::link_clicked;
    case NavigationType::form_submitted: return LegacyNavigationType::form_submitted;
    case NavigationType::back_forward: return LegacyNavigationType::back_forward;
    case NavigationType::reload: return LegacyNavigationType::reload;
    case NavigationType::form_resubmitted: return LegacyNavigationType::form_resubmitted;
    case NavigationType::other: break;
  }
  return LegacyNavigationType::other;
}

class LegacyHost : public detail::Host {
 public:
  explicit LegacyHost(LegacyWebView& view) : view_(view) {}
  ui::View& view() override { return view_; }
  void decide(const NavigationAction& action, std::function<void(ActionPolicy)> handler) override {
    auto d = view_.delegate();
    bool allow = !d || d->should_start(view_, action.request, legacy_type(action.type));
    handler(allow ? ActionPolicy::allow : ActionPolicy::cancel);
  }
  void started(Navigation*) override {
    if (auto d = view_.delegate()) d->did_start(view_);
  }
  void finished(Navigation*) override {
    if (auto d = view_.delegate()) d->did_finish(view_);
  }
  void failed(Navigation*, const foundation::Error& error, bool) override {
    if (auto d = view_.delegate()) d->did_fail(view_, error);
  }

 private:
  LegacyWebView& view_;
};

}  // namespace

std::shared_ptr<LegacyWebView> LegacyWebView::make(ui::Rect frame) {
  ui::check_main_thread("-[UIWebView initWithFrame:]");
  auto view = std::make_shared<LegacyWebView>(ui::runtime_class("UIWebView"), frame);
  view->add_subview(view->scroll_view_);
  return view;
}

LegacyWebView::LegacyWebView(rt::Class& cls, ui::Rect rect)
    : ui::View(cls, rect), scroll_view_(std::make_shared<ui::ScrollView>()) {
  host_ = std::make_unique<LegacyHost>(*this);
  loader_ = std::make_shared<detail::Loader>(*host_, net::CookieStorage::shared());
}

LegacyWebView::~LegacyWebView() { loader_->detach(); }

void LegacyWebView::load(net::Request request) {
  ui::check_main_thread("-[UIWebView loadRequest:]");
  if (!request.url) return;
  NavigationAction action{request, NavigationType::other, std::nullopt, FrameInfo{true, request}};
  loader_->start(std::move(action));
}

void LegacyWebView::load_html(std::string html, std::optional<foundation::Url> base) {
  ui::check_main_thread("-[UIWebView loadHTMLString:baseURL:]");
  net::Request request(base ? *base : *foundation::Url::parse("about:blank"));
  NavigationAction action{request, NavigationType::other, std::nullopt, FrameInfo{true, request}};
  loader_->start(std::move(action), std::move(html));
}

void LegacyWebView::reload() {
  ui::check_main_thread("-[UIWebView reload]");
  loader_->reload();
}

void LegacyWebView::go_back() {
  ui::check_main_thread("-[UIWebView goBack]");
  loader_->go(-1);
}

void LegacyWebView::go_forward() {
  ui::check_main_thread("-[UIWebView goForward]");
  loader_->go(1);
}

void LegacyWebView::stop_loading() {
  ui::check_main_thread("-[UIWebView stopLoading]");
  loader_->stop();
}

bool LegacyWebView::can_go_back() const { return loader_->can_go(-1); }
bool LegacyWebView::can_go_forward() const { return loader_->can_go(1); }
bool LegacyWebView::is_loading() const { return loader_->is_loading(); }
std::optional<foundation::Url> LegacyWebView::url() const { return loader_->url(); }
std::string LegacyWebView::title() const { return loader_->document().title; }
const ScannedPage& LegacyWebView::document() const { return loader_->document(); }

std::string LegacyWebView::evaluate_script(const std::string& script) {
  ui::check_main_thread("-[UIWebView stringByEvaluatingJavaScriptFromString:]");
  auto result = detail::evaluate(this, title(), script);
  if (!result || result->is_null()) return {};
  if (const auto* text = result->string()) return *text;
  return foundation::describe(*result);
}

void LegacyWebView::page_tap_link(std::string href) {
  ui::check_main_thread("UIWebView page tap");
  auto url = loader_->resolve(href);
  if (!url) return;
  net::Request request(*url);
  std::optional<FrameInfo> source;
  if (loader_->url()) source = loader_->main_frame();
  loader_->start(NavigationAction{request, NavigationType::link_activated, source, FrameInfo{true, request}});
}

}  // namespace platform::web
