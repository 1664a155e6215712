#include "push/presentation.h"

#include <mutex>
#include <string_view>

#include "push/log.h"
#include "push/reraviror.h"

namespace push {

namespace {

std::mutex& presentationMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<Presentation>& installed() {
  static auto* p = new std::shared_ptr<Presentation>();
  return *p;
}

std::shared_ptr<Presentation> current(std::string_view call) {
  auto p = presentation();
  if (!p) RerAviror::reraviror_Log(5, std::string("No presentation installed for ") + std::string(call));
  return p;
}

}  // namespace

void setPresentation(std::shared_ptr<Presentation> p) {
  std::lock_guard lock(presentationMutex());
  installed() = std::move(p);
}

std::shared_ptr<Presentation> presentation() {
  std::lock_guard lock(presentationMutex());
  return installed();
}

void presentShowInAppAlert(const foundation::Dict& userInfo) {
  if (auto p = current("showInAppAlert:")) p->showInAppAlert(userInfo);
}

void presentAddNotificationRequest(const std::shared_ptr<OSNotificationPayload>& payload, FetchCompletion completion) {
  if (auto p = current("addNotificationRequest:completionHandler:")) {
    p->addNotificationRequest(payload, std::move(completion));
  } else if (completion) {
    completion(platform::ui::BackgroundFetchResult::no_data);
  }
}

std::shared_ptr<notify::LocalNotification> presentPrepareUILocalNotification(
    const std::shared_ptr<OSNotificationPayload>& payload) {
  if (auto p = current("prepareUILocalNotification:")) return p->prepareUILocalNotification(payload);
  return nullptr;
}

void presentDisplayWebView(const foundation::Url& url) {
  if (auto p = current("displayWebView:")) p->displayWebView(url);
}

std::shared_ptr<platform::ui::ViewController> presentWebVC() {
  auto p = presentation();
  return p ? p->webVC() : nullptr;
}

std::optional<notify::Content> presentDidReceiveNotificationExtensionRequest(const notify::Request& request,
                                                                             std::optional<notify::Content> content) {
  if (auto p = current("didReceiveNotificationExtensionRequest:withMutableNotificationContent:"))
    return p->didReceiveNotificationExtensionRequest(request, std::move(content));
  return content ? content : std::optional<notify::Content>(request.content);
}

std::optional<notify::Content> presentServiceExtensionTimeWillExpireRequest(const notify::Request& request,
                                                                            std::optional<notify::Content> content) {
  if (auto p = current("serviceExtensionTimeWillExpireRequest:withMutableNotificationContent:"))
    return p->serviceExtensionTimeWillExpireRequest(request, std::move(content));
  return content ? content : std::optional<notify::Content>(request.content);
}

}  // namespace push
