#include "app/app_delegate.h"

#include <vector>

#include "app/config.h"
#include "app/console_lines.h"
#include "app/opened_result.h"
#include "app/push_calls.h"
#include "app/strings.h"
#include "app/view_controller.h"
#include "core/launch_selectors.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/view_controller.h"

namespace app {

namespace foundation = platform::foundation;
namespace rt = platform::rt;
namespace ui = platform::ui;

AppDelegate::AppDelegate(rt::Class& cls) : ui::Responder(cls), configService(&ASConfigService::shared()) {}

bool AppDelegate::didFinishLaunching(rt::Id, foundation::Dict launchOptions) {
  auto& runtime = rt::Runtime::shared();
  if (rt::Class* kitHost = runtime.find("Divivi")) {
    std::vector<rt::Class*> kits;
    if (rt::Class* crashKit = runtime.find("Divavozovid")) kits.push_back(crashKit);
    rt::send_if_responds(*kitHost, launch_sel::with, kits);
  }
  if (rt::Class* core = runtime.find("FIRApp")) rt::send_if_responds(*core, launch_sel::configure);

  foundation::Dict settings{{std::string(push::kOSSettingsKeyAutoPrompt), foundation::Value(false)}};
  std::weak_ptr<AppDelegate> weak = std::static_pointer_cast<AppDelegate>(shared_from_this());
  auto& calls = push_calls();
  calls.initWithLaunchOptions(
      std::move(launchOptions), std::string(Strings::RerAviror::AppId),
      [](const std::shared_ptr<push::OSNotification>& notification) { notificationReceived(notification != nullptr); },
      [weak](const std::shared_ptr<push::OSNotificationOpenedResult>& result) {
        const std::optional<foundation::Dict> data = additionalDataOf(result);
        if (auto self = weak.lock()) self->notificationOpened(data ? &*data : nullptr);
      },
      std::move(settings));
  calls.setInFocusDisplayType(2);
  calls.promptForPushNotificationsWithUserResponse([](bool accepted) { promptAnswered(accepted); });
  return true;
}

void AppDelegate::notificationReceived(bool present) {
  if (present) debug_line("New notification received");
}

void AppDelegate::promptAnswered(bool accepted) {
  plain_line(std::string("User accepted notifications: ") + (accepted ? "true" : "false"));
}

void AppDelegate::notificationOpened(const foundation::Dict* additionalData) {
  debug_line("Notification tapped");
  if (additionalData) {
    if (const std::string* target = additionalData->get("targetUrl").string()) {
      debug_line("Target url string: " + *target);
      showRootViewController(foundation::Url::parse(*target));
      return;
    }
  }
  debug_line("Target url not found. Default URL will be used.");
}

void AppDelegate::showRootViewController(std::optional<foundation::Url> url) {
  if (!url) {
    debug_line("The url parameter is not valid. Open url failed.");
    return;
  }
  replaceRoot(*url);
}

void AppDelegate::setRootViewController() {
  std::optional<foundation::Url> url = universalLinkURL ? universalLinkURL : configService->baseURL();
  if (url) replaceRoot(*url);
}

void AppDelegate::replaceRoot(const foundation::Url& url) {
  platform::net::Request request(url);
  request.cache_policy = platform::net::CachePolicy::use_protocol;
  request.timeout = 60;
  auto board = ui::Storyboard::named(Strings::Storyboard::Main);
  std::shared_ptr<ui::ViewController> scene = board ? board->instantiate(Strings::ViewController::Identifier) : nullptr;
  if (auto screen = std::dynamic_pointer_cast<ViewController>(scene)) {
    screen->request = std::move(request);
    screen->shouldHideNavBar = true;
  }
  if (!window) return;
  window->set_root_view_controller(std::move(scene));
  window->make_key_and_visible();
}

bool AppDelegate::continueUserActivity(rt::Id, std::shared_ptr<ui::UserActivity> activity,
                                       std::function<void(foundation::Array)>) {
  debug_line("universal link tapped");
  if (!activity || activity->activity_type.empty()) return true;
  // An activity without a web page address would leave no base address, and
  // every later load would silently do nothing: it changes nothing instead.
  if (!activity->webpage_url) return true;
  universalLinkURL = activity->webpage_url;
  configService->setBaseURL(universalLinkURL);
  ASConfigService::shared().setBaseURL(universalLinkURL);
  setRootViewController();
  return true;
}

}  // namespace app
