// Analytics identity inputs: any text as a bundle version, and any bytes as
// the service-info property list from which the app IDs are read.
#include <cstdint>
#include <span>
#include <string_view>

#include "analytics/identity/identity.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)analytics::APMIdentity::numericFieldsFromAppVersionNumeric(text);
  const auto value = platform::foundation::plist::parse(std::span(data, size));
  if (value && value->dict()) {
    for (const char* key : {"DOZADA_APP_ID", "VEZAZ_APP_ID"}) {
      if (const auto* id = value->dict()->find(key); id && id->string()) (void)id->string()->size();
    }
  }
  // Non-digit versions are logged: let the monitor's queued work end first.
  platform::dispatch::wait_until_idle();
  return 0;
}
