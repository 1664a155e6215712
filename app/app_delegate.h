#pragma once
// The application delegate: the launch order of the client libraries, the
// push callbacks, and the root replacement for a tapped notification's target
// address or a universal link.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/ui/application.h"
#include "platform/ui/view.h"

namespace app {

class ASConfigService;

class AppDelegate : public platform::ui::Responder {
 public:
  explicit AppDelegate(platform::rt::Class& cls);

  std::shared_ptr<platform::ui::Window> window;
  ASConfigService* configService;
  std::optional<platform::foundation::Url> universalLinkURL;

  bool didFinishLaunching(platform::rt::Id application, platform::foundation::Dict launchOptions);
  bool continueUserActivity(platform::rt::Id application, std::shared_ptr<platform::ui::UserActivity> activity,
                            std::function<void(platform::foundation::Array)> restorationHandler);
  void lifecycle(platform::rt::Id) {}

  void showRootViewController(std::optional<platform::foundation::Url> url);
  void setRootViewController();

  // The push callbacks' bodies. `additionalData` is the opened notification's
  // payload's additional data, none when any step is missing.
  static void notificationReceived(bool present);
  void notificationOpened(const platform::foundation::Dict* additionalData);
  static void promptAnswered(bool accepted);

 private:
  void replaceRoot(const platform::foundation::Url& url);
};

}  // namespace app
