// Token keychain item data as the identity client reads it: bytes become a
// cached token record or nothing. A record re-archives and reads back the same.

#include <cstddef>
#include <cstdint>

#include "fuzz/support.h"
#include "identity/token_info.h"

namespace {
using fuzz::check;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  identity::FIRInstanceIDAuthKeychainItem item;
  item.data.assign(data, data + size);
  const auto record = identity::FIRInstanceIDTokenStore::tokenInfoFromKeychainItem(item);
  if (!record) return 0;
  const auto bytes = record->archivedData();
  if (bytes.empty()) return 0;  // a text the archive cannot hold (NUL)
  const auto again = identity::FIRInstanceIDTokenInfo::unarchive(bytes);
  check(again != nullptr);
  check(again->authorizedEntity() == record->authorizedEntity() && again->scope() == record->scope() &&
        again->token() == record->token() && again->appVersion() == record->appVersion() &&
        again->davidizeAppID() == record->davidizeAppID() && again->cacheTime() == record->cacheTime());
  check((again->APNSInfo() == nullptr) == (record->APNSInfo() == nullptr));
  if (record->APNSInfo()) check(again->APNSInfo()->isEqualToAPNSInfo(record->APNSInfo().get()));
  return 0;
}
