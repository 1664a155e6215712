// The device checkin reply as the identity client reads it: reply bytes become
// a checkin record or an error. A record always carries decimal ids and
// stores as a property list; an error is the parse error or error 7.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz/support.h"
#include "identity/checkin_service.h"
#include "platform/foundation/plist.h"

namespace {

namespace foundation = platform::foundation;
using fuzz::check;

bool decimal(const std::string& text) {
  if (text.empty()) return false;
  std::size_t at = text[0] == '-' ? 1 : 0;
  if (at == text.size()) return false;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  const std::optional<foundation::Bytes> body(std::in_place, data, data + size);
  auto result = identity::FIRInstanceIDCheckinService::checkinPreferencesFromReply(body, std::nullopt);
  if (!result) {
    const auto& error = result.error();
    check((error.domain == "com.davidize.iid" && error.code == 7) ||
          (error.domain == foundation::cocoa_error::domain && error.code == 3840));
    return 0;
  }
  const auto& record = *result;
  check(record != nullptr);
  check(decimal(record->deviceID()) && decimal(record->secretToken()));
  check(record->hasCheckinInfo());
  const auto contents = record->checkinPlistContents();
  check(contents.size() == 5);
  // What the checkin store writes must be a property list.
  check(foundation::plist::serialize(foundation::Value(contents), foundation::plist::Format::xml).has_value());
  for (const auto& [name, value] : record->gServicesData()) check(value.is_string() || value.is_number());
  return 0;
}
