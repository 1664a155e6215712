#pragma once
// The one seam through which received and opened processing reaches the
// presentation: the in-app alert, notification building, the launch-URL
// screen and the service-extension handlers. Nothing installed: each call
// logs one line and does nothing (answers below).
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/notify/legacy.h"
#include "platform/notify/types.h"
#include "platform/ui/selectors.h"

namespace platform::ui {
class ViewController;
}

namespace push {

namespace foundation = platform::foundation;
namespace notify = platform::notify;

class OSNotificationPayload;

using FetchCompletion = std::function<void(platform::ui::BackgroundFetchResult)>;

class Presentation {
 public:
  virtual ~Presentation() = default;

  // Shows the push's user info as an in-app alert (display mode 1).
  virtual void showInAppAlert(const foundation::Dict& userInfo) = 0;
  // iOS 10 and later: shows a background push as a notification request;
  // the completion (may be empty) finishes the background fetch.
  virtual void addNotificationRequest(const std::shared_ptr<OSNotificationPayload>& payload,
                                      FetchCompletion completion) = 0;
  // Below iOS 10: a local notification for the payload, not scheduled yet.
  virtual std::shared_ptr<notify::LocalNotification> prepareUILocalNotification(
      const std::shared_ptr<OSNotificationPayload>& payload) = 0;
  // Opens a launch URL (in the app, outside it, or after a confirmation).
  virtual void displayWebView(const foundation::Url& url) = 0;
  // The in-app web view controller, once made.
  virtual std::shared_ptr<platform::ui::ViewController> webVC() = 0;
  // Service-extension entry points: the content to show.
  virtual std::optional<notify::Content> didReceiveNotificationExtensionRequest(
      const notify::Request& request, std::optional<notify::Content> content) = 0;
  virtual std::optional<notify::Content> serviceExtensionTimeWillExpireRequest(
      const notify::Request& request, std::optional<notify::Content> content) = 0;
};

// Process-wide; nullptr uninstalls.
void setPresentation(std::shared_ptr<Presentation> presentation);
std::shared_ptr<Presentation> presentation();

// The calls of the processing side. Without a presentation: log line, no-op;
// addNotificationRequest then completes the fetch with no_data,
// prepareUILocalNotification answers nullptr, webVC nullptr, and the
// extension entries answer the given content (else the request's).
void presentShowInAppAlert(const foundation::Dict& userInfo);
void presentAddNotificationRequest(const std::shared_ptr<OSNotificationPayload>& payload, FetchCompletion completion);
std::shared_ptr<notify::LocalNotification> presentPrepareUILocalNotification(
    const std::shared_ptr<OSNotificationPayload>& payload);
void presentDisplayWebView(const foundation::Url& url);
std::shared_ptr<platform::ui::ViewController> presentWebVC();
std::optional<notify::Content> presentDidReceiveNotificationExtensionRequest(const notify::Request& request,
                                                                             std::optional<notify::Content> content);
std::optional<notify::Content> presentServiceExtensionTimeWillExpireRequest(const notify::Request& request,
                                                                            std::optional<notify::Content> content);

}  // namespace push
