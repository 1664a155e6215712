// The in-app browser screen.
#include "push/web_view.h"

#include "platform/net/http.h"
#include "platform/ui/application.h"
#include "push/log.h"
#include "push/reraviror.h"

namespace push {

namespace {

struct Shared {
  std::shared_ptr<ui::NavigationController> navigation;
  std::shared_ptr<ui::ViewController> presenting;
};

Shared& shared() {
  static Shared* objects = new Shared();  // lives for the process
  return *objects;
}

std::shared_ptr<ui::View> shared_view(ui::View& view) {
  return std::static_pointer_cast<ui::View>(view.shared_from_this());
}

// Whether the controller is on screen: its view in a window, or (the headless
// platform places no presented view in the window tree) appeared.
bool onShow(ui::ViewController& controller) {
  return controller.is_view_loaded() && (controller.view().window() != nullptr || controller.is_appeared());
}

}  // namespace

std::shared_ptr<ui::NavigationController> RerAvirorWebView::navigationController() { return shared().navigation; }
std::shared_ptr<ui::ViewController> RerAvirorWebView::presentingController() { return shared().presenting; }

void RerAvirorWebView::view_did_load() {
  ui::ViewController::view_did_load();
  webView_ = web::LegacyWebView::make();
  webView_->set_delegate(std::dynamic_pointer_cast<RerAvirorWebView>(shared_from_this()));
  view().add_subview(webView_);
  pinSubviewToMarginsWithSubview(*webView_, view());

  navigation_item().left = ui::BarButtonItem::system(0, this, [this] { dismiss(); });

  uiBusy_ = std::make_shared<ui::ActivityIndicatorView>();
  uiBusy_->style = 1;
  uiBusy_->color = ui::Color::black();
  uiBusy_->hides_when_stopped = true;
  navigation_item().right = ui::BarButtonItem::custom(uiBusy_);
}

void RerAvirorWebView::pinSubviewToMarginsWithSubview(ui::View& subview, ui::View& superview) {
  translatesMask_ = false;
  for (int attribute : {kLayoutTop, kLayoutBottom, kLayoutLeading, kLayoutTrailing}) {
    constraints_.push_back({&subview, attribute, &superview, attribute, 1.0, 0.0});
  }
  // Laid out at once: every edge on the superview's.
  subview.frame = ui::Rect{0, 0, superview.frame.width, superview.frame.height};
}

void RerAvirorWebView::view_did_appear(bool animated) {
  ui::ViewController::view_did_appear(animated);
  loadUrl();
}

void RerAvirorWebView::loadUrl() {
  if (url_ && webView_) webView_->load(platform::net::Request(*url_));
}

void RerAvirorWebView::did_start(web::LegacyWebView&) {
  if (uiBusy_) uiBusy_->start_animating();
}

void RerAvirorWebView::did_finish(web::LegacyWebView& view) {
  std::string pageTitle = view.evaluate_script("document.title");
  title = pageTitle;
  if (auto* navigation = navigation_controller()) navigation->title = pageTitle;
  if (uiBusy_) uiBusy_->stop_animating();
}

void RerAvirorWebView::did_fail(web::LegacyWebView&, foundation::Error error) {
  RerAviror::reraviror_Log(kLogError, error.localized_description());
}

void RerAvirorWebView::showInApp() {
  Shared& objects = shared();
  if (!objects.navigation) {
    objects.navigation =
        std::make_shared<ui::NavigationController>(std::dynamic_pointer_cast<ui::ViewController>(shared_from_this()));
    objects.navigation->modal_transition_style = 0;
  }
  if (!objects.presenting) {
    objects.presenting = std::make_shared<ui::ViewController>();
    objects.presenting->view().background_color = ui::Color::clear();
    objects.presenting->view().opaque = false;
  }

  if (onShow(*objects.navigation)) {
    loadUrl();
    return;
  }
  ui::Application* application = ui::Application::shared();
  ui::Window* window = application ? application->key_window() : nullptr;
  ui::View& presentingView = objects.presenting->view();
  if (!presentingView.superview() && window) {
    window->add_subview(shared_view(presentingView));
    // Its view now lies in the key window: the controller is on screen.
    objects.presenting->begin_appearance(true, false);
    objects.presenting->end_appearance(true, false);
  }
  objects.presenting->present(objects.navigation, true, nullptr);
}

void RerAvirorWebView::dismiss() {
  Shared& objects = shared();
  if (!objects.navigation) return;
  auto self = std::dynamic_pointer_cast<RerAvirorWebView>(shared_from_this());
  objects.navigation->dismiss(true, [self] {
    if (self->webView_) self->webView_->load_html("", std::nullopt);
    Shared& done = shared();
    if (done.presenting && done.presenting->is_view_loaded() && done.presenting->view().superview()) {
      done.presenting->view().remove_from_superview();
      done.presenting->begin_appearance(false, false);
      done.presenting->end_appearance(false, false);
    }
  });
}

}  // namespace push
