#pragma once
// The shell's one kind of screen: the intranet site in a web view, with a
// spinner, pull-to-refresh, the connection-lost view, pop-up screens and the
// page's alert and confirm panels; the navigation policy decides every load.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/net/http.h"
#include "platform/ui/view_controller.h"
#include "platform/web/legacy_web_view.h"
#include "platform/web/web_view.h"

namespace app {

class ASConfigService;

class ViewController : public platform::ui::ViewController,
                       public platform::web::NavigationDelegate,
                       public platform::web::UIDelegate,
                       public platform::web::LegacyWebViewDelegate {
 public:
  explicit ViewController(platform::rt::Class& cls);

  // Outlets, connected by the storyboard.
  std::shared_ptr<platform::ui::View> connectionLostView;
  std::shared_ptr<platform::web::LegacyWebView> webView;
  std::shared_ptr<platform::ui::ActivityIndicatorView> activityIndicatorView;

  // What the screen loads first: the intranet address, cache policy 0, 60 s.
  platform::net::Request request;
  bool shouldHideNavBar = false;
  std::shared_ptr<platform::web::WebView> wkWebView;
  std::shared_ptr<platform::ui::RefreshControl> refreshControl;
  std::shared_ptr<platform::web::ProcessPool> processPool;
  std::shared_ptr<platform::web::WebView> initialWebview;
  ASConfigService* configService;

  // True until the first screen's view loads.
  static bool isFirstScreen();

  // The screen's root view as the storyboard laid it out; used by load_view.
  void setStoryboardView(std::shared_ptr<platform::ui::View> view) { storyboardView_ = std::move(view); }

  // The one load path: nothing without a base address; without a request, the base address.
  void loadRequest(std::optional<platform::net::Request> request);
  void refreshWebViewWithRefreshControl(platform::ui::RefreshControl* control);
  void reloadButtonAction();

  // Navigation policy helpers.
  static bool urlMatchesAny(const platform::foundation::Url& url, const std::vector<std::string>& list);
  static void openExternally(const platform::foundation::Url& url);
  static void openInBrowserIfWeb(const platform::foundation::Url& url);

  // ui::ViewController
  void load_view() override;
  void view_did_load() override;
  void view_did_layout_subviews() override;
  void view_will_appear(bool animated) override;

  // web::NavigationDelegate
  void decide_policy(platform::web::WebView& view, const platform::web::NavigationAction& action,
                     std::function<void(platform::web::ActionPolicy)> decisionHandler) override;
  void did_commit(platform::web::WebView& view, platform::web::Navigation* navigation) override;
  void did_finish(platform::web::WebView& view, platform::web::Navigation* navigation) override;
  void did_fail(platform::web::WebView& view, platform::web::Navigation* navigation,
                platform::foundation::Error error) override;
  void did_fail_provisional(platform::web::WebView& view, platform::web::Navigation* navigation,
                            platform::foundation::Error error) override;

  // web::UIDelegate
  std::shared_ptr<platform::web::WebView> create_web_view(platform::web::WebView& view,
                                                          platform::web::Configuration configuration,
                                                          const platform::web::NavigationAction& action) override;
  void did_close(platform::web::WebView& view) override;
  void run_alert_panel(platform::web::WebView& view, std::string message, platform::web::FrameInfo frame,
                       std::function<void()> completion) override;
  void run_confirm_panel(platform::web::WebView& view, std::string message, platform::web::FrameInfo frame,
                         std::function<void(bool)> completion) override;

  // web::LegacyWebViewDelegate
  bool should_start(platform::web::LegacyWebView& view, const platform::net::Request& request,
                    platform::web::LegacyNavigationType type) override;
  void did_start(platform::web::LegacyWebView& view) override;
  void did_finish(platform::web::LegacyWebView& view) override;
  void did_fail(platform::web::LegacyWebView& view, platform::foundation::Error error) override;

 private:
  // wkWebView when present, else the legacy view.
  platform::ui::View* webViewInUse() const;
  void failedLoad();
  void presentOnTop(std::shared_ptr<platform::ui::AlertController> alert);
  std::shared_ptr<ViewController> self();

  std::shared_ptr<platform::ui::View> storyboardView_;
};

// The request every screen starts with: the intranet address, cache policy 0, 60 s.
platform::net::Request intranetRequest();

}  // namespace app
