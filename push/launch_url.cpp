// Launch-URL handling.
#include "push/launch_url.h"

#include <optional>
#include <string>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "platform/ui/application.h"
#include "push/dialog.h"
#include "push/reraviror.h"
#include "push/utilities.h"
#include "push/web_view.h"

namespace push {

namespace os = platform::os;

namespace {

std::shared_ptr<RerAvirorWebView>& screen() {
  static auto* made = new std::shared_ptr<RerAvirorWebView>();  // lives for the process
  return *made;
}

std::string localized(const std::string& text) { return os::Bundle::main().localized_string(text, ""); }

void openNow(const foundation::Url& url, bool inApp) {
  if (inApp && isWWWScheme(url)) {
    auto& web = screen();
    if (!web) web = std::make_shared<RerAvirorWebView>();
    web->setUrl(url);
    web->showInApp();
  } else if (ui::Application* application = ui::Application::shared()) {
    application->open_url(url);
  }
}

}  // namespace

namespace RerAvirorHelper {

std::shared_ptr<RerAvirorWebView> webVC() { return screen(); }

void displayWebView(const foundation::Url& url) {
  os::UserDefaults& defaults = os::UserDefaults::standard();
  if (!defaults.object(kInAppLaunchURLKey)) {
    defaults.set(kInAppLaunchURLKey, std::optional<foundation::Value>(std::in_place, true));
    defaults.synchronize();
  }
  bool inApp = defaults.boolean(kInAppLaunchURLKey);
  if (url.absolute_string().find(kAppStoreWebHost) != std::string::npos) inApp = false;

  auto openAction = [url, inApp](bool accepted) {
    if (!accepted) return;
    dispatch_async_on_main_queue([url, inApp] {
      platform::dispatch::Queue::main().after(platform::dispatch::Duration(kLaunchURLOpenDelaySeconds),
                                              [url, inApp] { openNow(url, inApp); });
    });
  };

  if (RerAviror::shouldPromptToShowURL()) {
    std::string message = "Would you like to open " + url.scheme().value_or("(null)") + "://" +
                          url.host().value_or("(null)");
    RerAvirorDialogController::sharedInstance()->presentDialogWithTitle(
        localized("Open Website?"), localized(message), localized("Open"), localized("Cancel"), openAction);
  } else {
    openAction(true);
  }
}

}  // namespace RerAvirorHelper
}  // namespace push
