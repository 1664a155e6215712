#pragma once
// FIRInstanceIDAuthKeychain: generic-password items of one identifier (the
// generic attribute). "*" as service or account matches every value: it is
// left out of queries, since the keychain has no wildcard. Errors are in the
// keychain domain with the status as code. No lock of its own (the keychain
// serialises its calls); any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "identity/apns_info.h"
#include "identity/errors.h"
#include "platform/foundation/value.h"

namespace identity {

// The status reported for a missing service, account or data.
inline constexpr std::int32_t kFIRInstanceIDKeychainParamStatus = -1301;

class FIRInstanceIDAuthKeychain {
 public:
  explicit FIRInstanceIDAuthKeychain(std::string identifier) : generic_(std::move(identifier)) {}

  static platform::foundation::Dict keychainQueryForService(std::string_view service, std::string_view account,
                                                            std::string_view generic);
  platform::foundation::Dict keychainQueryForService(std::string_view service, std::string_view account) const;

  // Every match, data and attributes, in keychain order; empty (no error) when none.
  std::vector<FIRInstanceIDAuthKeychainItem> itemsMatchingService(std::string_view service, std::string_view account,
                                                                  FIRInstanceIDErrorOut error) const;
  std::optional<FIRInstanceIDAuthKeychainItem> itemForService(std::string_view service, std::string_view account,
                                                              FIRInstanceIDErrorOut error) const;
  // Replaces the matching items by one with `data`. Service and account must
  // be concrete (non-empty, not "*") and data non-empty, else -1301 and the
  // existing item stays. Accessibility nullopt: always, this device only.
  bool setData(const platform::foundation::Bytes& data, std::string_view service,
               std::optional<std::string_view> accessibility, std::string_view account, FIRInstanceIDErrorOut error);
  // Success also when nothing matched.
  bool removeItemsMatchingService(std::string_view service, std::string_view account, FIRInstanceIDErrorOut error);
  bool removeAllItemsWithError(FIRInstanceIDErrorOut error);

  const std::string& generic() const { return generic_; }

 private:
  std::string generic_;
};

}  // namespace identity
