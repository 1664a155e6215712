#include "app/network.h"

#include <algorithm>

#include "app/console_lines.h"
#include "app/push_calls.h"
#include "app/strings.h"
#include "http/module_functions.h"
#include "http/response_handlers.h"
#include "platform/os/process_info.h"
#include "platform/web/data_store.h"

namespace app {

namespace foundation = platform::foundation;
namespace net = platform::net;

void getCookies(std::optional<std::string> domainFilter, std::function<void(std::vector<net::Cookie>)> completion) {
  if (!platform::os::ProcessInfo::shared().at_least({11, 0, 0})) return;
  auto store = platform::web::WebsiteDataStore::default_store();
  store->http_cookie_store().get_all_cookies(
      [filter = std::move(domainFilter), completion = std::move(completion)](std::vector<net::Cookie> cookies) {
        if (filter) {
          std::erase_if(cookies, [&](const net::Cookie& c) { return c.domain.find(*filter) == std::string::npos; });
        }
        if (completion) completion(std::move(cookies));
      });
}

void registerForSessionCookies(const std::vector<net::Cookie>& cookies) {
  for (const auto& cookie : cookies) {
    if (cookie.name == Strings::DictionaryKey::SessionCookie) Network::registerPlayer(cookies);
  }
}

namespace {

// Error texts may span lines; the shell's failure report is one line.
std::string one_line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

}  // namespace

void Network::registerPlayer(const std::vector<net::Cookie>& cookies) {
  const auto& calls = push_calls();
  const std::optional<std::string> userId = calls.subscriptionUserId ? calls.subscriptionUserId() : std::nullopt;
  if (!userId) return;
  Duvarel::Parameters parameters{{"player-id", foundation::Value(*userId)}};
  const std::string& address = Strings::Endpoint::RegisterPlayer();
  const auto url = foundation::Url::parse(address);
  if (!url) return;
  const auto& manager = Duvarel::SessionManager::shared();
  if (const auto& storage = manager->session()->configuration().cookie_storage) {
    storage->set_cookies(cookies, *url, std::nullopt);
  }
  auto request = Duvarel::makeDataRequest(Duvarel::URLConvertible(address), Duvarel::HTTPMethod::post,
                                          std::move(parameters), Duvarel::JSONEncoding::standard, std::nullopt);
  Duvarel::addJSONResponseHandler(request, std::nullopt, 4, [](Duvarel::DataResponse<Duvarel::JSONValue> response) {
    if (const Duvarel::Error* error = response.result.error()) plain_line(one_line(error->localizedDescription()));
  });
}

}  // namespace app
