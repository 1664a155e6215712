// The navigation policy of the screen's web view.
#include <string>

#include "app/config.h"
#include "app/console_lines.h"
#include "app/network.h"
#include "app/strings.h"
#include "app/view_controller.h"
#include "platform/os/process_info.h"
#include "platform/ui/application.h"

namespace app {

namespace foundation = platform::foundation;
namespace ui = platform::ui;
namespace web = platform::web;

namespace {

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

bool at_least(int major) { return platform::os::ProcessInfo::shared().at_least({major, 0, 0}); }

}  // namespace

bool ViewController::urlMatchesAny(const foundation::Url& url, const std::vector<std::string>& list) {
  const std::string& text = url.absolute_string();
  for (const auto& entry : list) {
    if (contains(text, entry)) return true;
  }
  return false;
}

void ViewController::openExternally(const foundation::Url& url) {
  auto* application = ui::Application::shared();
  if (!application) return;
  if (at_least(10)) application->open_url(url, {}, nullptr);
  else application->open_url(url);
}

void ViewController::openInBrowserIfWeb(const foundation::Url& url) {
  auto* application = ui::Application::shared();
  if (!application) return;
  const std::string& text = url.absolute_string();
  if (!contains(text, "http")) return;
  const auto parsed = foundation::Url::parse(text);
  if (parsed && application->can_open_url(*parsed)) application->open_url(url);
}

void ViewController::decide_policy(web::WebView&, const web::NavigationAction& action,
                                   std::function<void(web::ActionPolicy)> decisionHandler) {
  getCookies(std::nullopt, [](std::vector<platform::net::Cookie> cookies) { registerForSessionCookies(cookies); });

  if (!action.request.url) {
    decisionHandler(web::ActionPolicy::cancel);
    return;
  }
  const foundation::Url& url = *action.request.url;
  const bool tapped = action.type == web::NavigationType::link_activated;
  auto* application = ui::Application::shared();

  if (tapped) {
    const auto home = configService->baseUrlHomeHost();
    const auto host = url.host();
    const bool home_host = home && !home->empty() && host && contains(*host, *home);
    if (!home_host) {
      if (!at_least(9)) {
        if (application) application->open_url(url);
        decisionHandler(web::ActionPolicy::cancel);
        return;
      }
      if (contains(url.absolute_string(), "mailto:") && application && application->can_open_url(url)) {
        openExternally(url);
        decisionHandler(web::ActionPolicy::allow);
        return;
      }
      if (urlMatchesAny(url, Strings::BaseUrls())) {
        decisionHandler(web::ActionPolicy::allow);
        return;
      }
      openInBrowserIfWeb(url);
      decisionHandler(web::ActionPolicy::cancel);
      return;
    }
  }

  debug_line("URL: " + url.absolute_string());
  debug_line("HOST: " + url.host().value_or("NoHostError"));
  debug_line(std::string("USER CLICKED: ") + (tapped ? "true" : "false"));
  debug_line(std::string(73, '-'));

  if (urlMatchesAny(url, Strings::ExternalLinks())) {
    if (auto* navigation = navigation_controller()) navigation->pop(true);
    openInBrowserIfWeb(url);
    decisionHandler(web::ActionPolicy::cancel);
    return;
  }
  decisionHandler(web::ActionPolicy::allow);
}

}  // namespace app
