#pragma once
// Analytics values kept in the keychain, so they survive a reinstall: generic
// passwords whose service is the app ID and whose account and generic
// attribute are the value's identifier. Callable from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

struct APMKeychainWrapper {
  // The item query; nullopt when either argument is empty.
  static std::optional<platform::foundation::Dict> searchDirectoryForIdentifier(std::string_view identifier,
                                                                                std::string_view appID);
  // The item's data; nullopt when absent or on any error.
  static std::optional<platform::foundation::Bytes> keychainDataWithIdentifier(std::string_view identifier,
                                                                               std::string_view appID);
  // The data as UTF-8 text; nullopt when empty.
  static std::optional<std::string> keychainValueWithIdentifier(std::string_view identifier, std::string_view appID);
  // Updates the item when it holds a value, else adds it (accessible always,
  // this device only). False for an empty value or a failed keychain call.
  static bool upsertKeychainValue(std::string_view value, std::string_view identifier, std::string_view appID);
  static void deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID);
};

}  // namespace analytics
