#pragma once
// The legacy web view on the same engine as WebView. It uses the shared
// cookie storage. Its delegate hears of the main frame only (should_start is
// also asked for frames and redirects); calls run on the main thread.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/net/http.h"
#include "platform/ui/view.h"
#include "platform/web/html_scanner.h"

namespace platform::web {

namespace detail {
class Loader;
class Host;
}

enum class LegacyNavigationType { link_clicked = 0, form_submitted = 1, back_forward = 2, reload = 3, form_resubmitted = 4, other = 5 };

class LegacyWebView;

class LegacyWebViewDelegate {
 public:
  virtual ~LegacyWebViewDelegate() = default;
  virtual bool should_start(LegacyWebView&, const net::Request&, LegacyNavigationType) { return true; }
  virtual void did_start(LegacyWebView&) {}
  virtual void did_finish(LegacyWebView&) {}
  virtual void did_fail(LegacyWebView&, foundation::Error) {}
};

// Runtime class "UIWebView" when registered (UIResponder otherwise).
class LegacyWebView : public ui::View {
 public:
  static std::shared_ptr<LegacyWebView> make(ui::Rect frame = {});
  LegacyWebView(rt::Class& cls, ui::Rect rect);
  ~LegacyWebView() override;

  void set_delegate(std::weak_ptr<LegacyWebViewDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<LegacyWebViewDelegate> delegate() const { return delegate_.lock(); }

  void load(net::Request request);
  void load_html(std::string html, std::optional<foundation::Url> base = std::nullopt);
  void reload();
  void go_back();
  void go_forward();
  void stop_loading();
  bool can_go_back() const;
  bool can_go_forward() const;
  bool is_loading() const;
  std::optional<foundation::Url> url() const;
  std::string title() const;
  const ScannedPage& document() const;
  ui::ScrollView& scroll_view() { return *scroll_view_; }

  // As WebView::evaluate_javascript, answered at once: the result's text
  // (strings as they are, other values described), "" when nothing answers.
  std::string evaluate_script(const std::string& script);

  // A tap on a link of the page; it always loads in this view.
  void page_tap_link(std::string href);

 private:
  friend class detail::Loader;
  std::weak_ptr<LegacyWebViewDelegate> delegate_;
  std::shared_ptr<ui::ScrollView> scroll_view_;
  std::unique_ptr<detail::Host> host_;
  std::shared_ptr<detail::Loader> loader_;
};

}  // namespace platform::web
