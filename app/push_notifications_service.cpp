#include "app/push_notifications_service.h"

#include "app/config.h"
#include "app/console_lines.h"
#include "app/strings.h"
#include "http/module_functions.h"
#include "http/response_handlers.h"
#include "http/url_encoding.h"

namespace app {

namespace foundation = platform::foundation;

void ASPushNotificationsService::registerPushNotificationWithDeviceToken(const std::string& deviceToken) {
  const auto base = ASConfigService::shared().baseURL();
  if (!base) return;
  Duvarel::HTTPHeaders headers{{std::string(Strings::Networking::ContentType),
                                std::string(Strings::Networking::ApplicationJson)}};
  Duvarel::Parameters parameters{
      {std::string(Strings::Networking::DeviceType), foundation::Value(std::string(Strings::Networking::Ios))},
      {std::string(Strings::Networking::DeviceToken), foundation::Value(deviceToken)}};
  const std::string address = base->absolute_string() + std::string(Strings::Endpoint::DevicePath);
  const auto url = foundation::Url::parse(address);
  if (!url) return;
  auto request = Duvarel::makeDataRequest(Duvarel::URLConvertible(*url), Duvarel::HTTPMethod::post,
                                          std::move(parameters), Duvarel::URLEncoding::standard, std::move(headers));
  Duvarel::addJSONResponseHandler(request, std::nullopt, 4, [](Duvarel::DataResponse<Duvarel::JSONValue> response) {
    const Duvarel::JSONValue* value = response.result.value();
    plain_line("registerPushNotificationWithDeviceToken result: " + (value ? Duvarel::renderValue(*value) : std::string()));
  });
}

}  // namespace app
