#pragma once
// The in-app browser screen for launch URLs: a web view pinned to the
// screen's edges, a Done button and a busy indicator, presented modally over
// whatever the app shows. Main thread only.
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/web/legacy_web_view.h"

namespace push {

namespace foundation = platform::foundation;
namespace ui = platform::ui;
namespace web = platform::web;

// Layout attributes as the pinning uses them.
enum LayoutAttribute : int { kLayoutTop = 3, kLayoutBottom = 4, kLayoutLeading = 5, kLayoutTrailing = 6 };

// One "item.attribute = toItem.attribute * multiplier + constant" rule. The
// platform computes no layout, so the screen keeps its rules and sets the
// frame they give.
struct LayoutConstraint {
  const ui::View* item;
  int attribute;
  const ui::View* toItem;
  int toAttribute;
  double multiplier;
  double constant;
};

class RerAvirorWebView : public ui::ViewController, public web::LegacyWebViewDelegate {
 public:
  RerAvirorWebView() = default;

  const std::optional<foundation::Url>& url() const { return url_; }
  void setUrl(std::optional<foundation::Url> url) { url_ = std::move(url); }
  const std::shared_ptr<web::LegacyWebView>& webView() const { return webView_; }
  const std::shared_ptr<ui::ActivityIndicatorView>& uiBusy() const { return uiBusy_; }
  const std::vector<LayoutConstraint>& constraints() const { return constraints_; }
  bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }

  // Presents the screen, or loads `url` when it is already on show.
  void showInApp();
  // The Done button: dismisses, then empties the page and removes the presenting view.
  void dismiss();
  void pinSubviewToMarginsWithSubview(ui::View& subview, ui::View& superview);

  void view_did_load() override;
  void view_did_appear(bool animated) override;

  void did_start(web::LegacyWebView& view) override;
  void did_finish(web::LegacyWebView& view) override;
  void did_fail(web::LegacyWebView& view, foundation::Error error) override;

  // The process-wide navigation controller and presenting controller; nullptr before the first showInApp.
  static std::shared_ptr<ui::NavigationController> navigationController();
  static std::shared_ptr<ui::ViewController> presentingController();

 private:
  void loadUrl();

  std::optional<foundation::Url> url_;
  std::shared_ptr<web::LegacyWebView> webView_;
  std::shared_ptr<ui::ActivityIndicatorView> uiBusy_;
  std::vector<LayoutConstraint> constraints_;
  bool translatesMask_ = true;
};

}  // namespace push
