#include "app/view_controller.h"

#include "app/config.h"
#include "app/helper.h"
#include "app/strings.h"
#include "platform/dispatch/queue.h"
#include "platform/os/process_info.h"
#include "platform/ui/application.h"

namespace app {

namespace foundation = platform::foundation;
namespace net = platform::net;
namespace rt = platform::rt;
namespace ui = platform::ui;
namespace web = platform::web;

namespace {

bool first_screen = true;

bool system_at_least(int major) { return platform::os::ProcessInfo::shared().at_least({major, 0, 0}); }

void set_network_activity(bool on) {
  if (auto* application = ui::Application::shared()) application->network_activity_indicator_visible = on;
}

}  // namespace

net::Request intranetRequest() {
  net::Request request(*foundation::Url::parse(Strings::Endpoint::Intranet));
  request.cache_policy = net::CachePolicy::use_protocol;
  request.timeout = 60;
  return request;
}

ViewController::ViewController(rt::Class& cls)
    : ui::ViewController(cls),
      request(intranetRequest()),
      processPool(std::make_shared<web::ProcessPool>()),
      initialWebview(web::WebView::make()),
      configService(&ASConfigService::shared()) {}

bool ViewController::isFirstScreen() { return first_screen; }

std::shared_ptr<ViewController> ViewController::self() {
  return std::static_pointer_cast<ViewController>(shared_from_this());
}

void ViewController::load_view() {
  if (storyboardView_) set_view(storyboardView_);
  else ui::ViewController::load_view();
}

void ViewController::view_did_load() {
  ui::ViewController::view_did_load();
  shouldHideNavBar = first_screen;
  first_screen = false;
  if (activityIndicatorView) activityIndicatorView->start_animating();
  if (connectionLostView) connectionLostView->hidden = true;
  if (webView) webView->hidden = false;
  if (system_at_least(10)) {
    wkWebView = initialWebview;
    wkWebView->set_navigation_delegate(self());
    wkWebView->set_ui_delegate(self());
    wkWebView->allows_back_forward_navigation_gestures = true;
    if (webView) webView->autoresizing_mask = 18;  // flexible width | flexible height
    view().add_subview(wkWebView);
  } else {
    wkWebView = nullptr;
  }
  loadRequest(request);
  refreshControl = std::make_shared<ui::RefreshControl>();
  std::weak_ptr<ViewController> weak = self();
  auto* control = refreshControl.get();
  refreshControl->add_target(this, ui::ControlEvent::value_changed, [weak, control] {
    if (auto screen = weak.lock()) screen->refreshWebViewWithRefreshControl(control);
  });
  if (wkWebView) wkWebView->scroll_view().add_subview(refreshControl);
  else if (webView) webView->scroll_view().add_subview(refreshControl);
}

void ViewController::view_did_layout_subviews() {
  ui::ViewController::view_did_layout_subviews();
  if (wkWebView && webView) wkWebView->frame = webView->frame;
}

void ViewController::view_will_appear(bool animated) {
  ui::ViewController::view_will_appear(animated);
  if (auto* navigation = navigation_controller()) navigation->set_navigation_bar_hidden(shouldHideNavBar, true);
}

ui::View* ViewController::webViewInUse() const {
  if (wkWebView) return wkWebView.get();
  return webView.get();
}

void ViewController::loadRequest(std::optional<net::Request> given) {
  const auto base = configService->baseURL();
  if (!base) return;
  net::Request load = given ? std::move(*given) : net::Request(*base);
  if (wkWebView) wkWebView->load(std::move(load));
  else if (webView) webView->load(std::move(load));
}

void ViewController::refreshWebViewWithRefreshControl(ui::RefreshControl*) {
  if (wkWebView) {
    if (wkWebView->can_go_back()) {
      wkWebView->reload();
      return;
    }
  } else if (webView && webView->can_go_back()) {
    webView->reload();
    return;
  }
  loadRequest(request);
}

void ViewController::reloadButtonAction() {
  if (!Helper::isConnectedToNetwork()) return;
  if (wkWebView) {
    wkWebView->hidden = false;
    wkWebView->reload();
  } else if (webView) {
    webView->hidden = false;
    webView->reload();
  }
}

// ---- load states ----

void ViewController::did_commit(web::WebView&, web::Navigation*) { set_network_activity(true); }

void ViewController::did_finish(web::WebView&, web::Navigation*) {
  if (activityIndicatorView) activityIndicatorView->stop_animating();
  if (refreshControl) refreshControl->end_refreshing();
  if (connectionLostView) connectionLostView->hidden = true;
  if (wkWebView) wkWebView->hidden = false;
  set_network_activity(false);
}

void ViewController::failedLoad() {
  if (activityIndicatorView) activityIndicatorView->stop_animating();
  if (refreshControl) refreshControl->end_refreshing();
  if (connectionLostView) connectionLostView->hidden = Helper::isConnectedToNetwork();
  if (wkWebView) wkWebView->hidden = !Helper::isConnectedToNetwork();
  set_network_activity(false);
}

void ViewController::did_fail(web::WebView&, web::Navigation*, foundation::Error) { failedLoad(); }

void ViewController::did_fail_provisional(web::WebView&, web::Navigation*, foundation::Error) { failedLoad(); }

bool ViewController::should_start(web::LegacyWebView&, const net::Request&, web::LegacyNavigationType) {
  return true;
}

void ViewController::did_start(web::LegacyWebView&) { set_network_activity(true); }

void ViewController::did_finish(web::LegacyWebView& view) {
  if (activityIndicatorView) activityIndicatorView->stop_animating();
  if (refreshControl) refreshControl->end_refreshing();
  if (connectionLostView) connectionLostView->hidden = true;
  view.hidden = false;
  set_network_activity(false);
}

void ViewController::did_fail(web::LegacyWebView&, foundation::Error) {
  if (activityIndicatorView) activityIndicatorView->stop_animating();
  if (refreshControl) refreshControl->end_refreshing();
  if (connectionLostView) connectionLostView->hidden = Helper::isConnectedToNetwork();
  set_network_activity(false);
}

// ---- windows ----

std::shared_ptr<web::WebView> ViewController::create_web_view(web::WebView&, web::Configuration configuration,
                                                              const web::NavigationAction& action) {
  auto created = web::WebView::make(wkWebView ? wkWebView->frame : ui::Rect{}, std::move(configuration));
  if (action.target_frame) return created;
  std::shared_ptr<ViewController> screen;
  if (auto* board = storyboard()) {
    screen = std::dynamic_pointer_cast<ViewController>(board->instantiate(Strings::ViewController::Identifier));
  }
  if (screen) {
    screen->request = action.request;
    screen->initialWebview = created;
    screen->processPool = std::make_shared<web::ProcessPool>();
  }
  if (auto* navigation = navigation_controller(); navigation && screen) navigation->push(screen, true);
  return created;
}

void ViewController::did_close(web::WebView& view) {
  if (!wkWebView || &view != wkWebView.get()) return;
  auto* navigation = navigation_controller();
  // A root put in place by a notification or a universal link has no stack to walk.
  if (!navigation) return;
  const auto stack = navigation->view_controllers();
  for (std::size_t i = stack.size(); i-- > 0;) {
    auto entry = std::dynamic_pointer_cast<ViewController>(stack[i]);
    if (entry && entry.get() != this) {
      std::weak_ptr<ViewController> weak_self = self();
      std::weak_ptr<ViewController> weak_target = entry;
      platform::dispatch::Queue::main().async([weak_self, weak_target] {
        auto screen = weak_self.lock();
        auto target = weak_target.lock();
        if (!screen || !target) return;
        if (auto* nav = screen->navigation_controller()) nav->pop_to(*target, true);
      });
      return;
    }
    if (i == 0) {
      loadRequest(std::nullopt);
      return;
    }
  }
}

// ---- page panels ----

void ViewController::presentOnTop(std::shared_ptr<ui::AlertController> alert) {
  ui::ViewController* top = this;
  while (top->presented()) top = top->presented();
  top->present(std::move(alert), true, nullptr);
}

namespace {

std::optional<std::string> frame_host(const web::FrameInfo& frame) {
  if (!frame.request.url) return std::nullopt;
  return frame.request.url->host();
}

}  // namespace

void ViewController::run_alert_panel(web::WebView&, std::string message, web::FrameInfo frame,
                                     std::function<void()> completion) {
  auto alert = ui::AlertController::make(frame_host(frame), std::move(message), 1);
  alert->add_action({std::string(Strings::AlertAction::OK), 0, [completion](const ui::AlertAction&) {
                       if (completion) completion();
                     }});
  presentOnTop(std::move(alert));
}

void ViewController::run_confirm_panel(web::WebView&, std::string message, web::FrameInfo frame,
                                       std::function<void(bool)> completion) {
  auto alert = ui::AlertController::make(frame_host(frame), std::move(message), 1);
  alert->add_action({std::string(Strings::AlertAction::OK), 0, [completion](const ui::AlertAction&) {
                       if (completion) completion(true);
                     }});
  alert->add_action({std::string(Strings::AlertAction::Cancel), 0, [completion](const ui::AlertAction&) {
                       if (completion) completion(false);
                     }});
  presentOnTop(std::move(alert));
}

}  // namespace app
