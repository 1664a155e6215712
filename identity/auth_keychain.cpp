// Generic-password items of one identifier.
#include "identity/auth_keychain.h"

#include "platform/security/keychain.h"

namespace identity {

namespace fd = platform::foundation;
namespace sec = platform::security;
namespace kc = platform::security::kc;

namespace {

constexpr std::string_view kWildcard = "*";

bool concrete(std::string_view value) { return !value.empty() && value != kWildcard; }

}  // namespace

fd::Dict FIRInstanceIDAuthKeychain::keychainQueryForService(std::string_view service, std::string_view account,
                                                            std::string_view generic) {
  fd::Dict query;
  query.set(std::string(kc::class_), fd::Value(kc::class_generic_password));
  if (concrete(generic)) query.set(std::string(kc::generic), fd::Value(generic));
  if (concrete(account)) query.set(std::string(kc::account), fd::Value(account));
  if (concrete(service)) query.set(std::string(kc::service), fd::Value(service));
  return query;
}

fd::Dict FIRInstanceIDAuthKeychain::keychainQueryForService(std::string_view service, std::string_view account) const {
  return keychainQueryForService(service, account, generic_);
}

std::vector<FIRInstanceIDAuthKeychainItem> FIRInstanceIDAuthKeychain::itemsMatchingService(
    std::string_view service, std::string_view account, FIRInstanceIDErrorOut error) const {
  std::vector<FIRInstanceIDAuthKeychainItem> items;
  if (service.empty() || account.empty()) {
    FIRInstanceIDSetError(error, keychainErrorWithStatus(kFIRInstanceIDKeychainParamStatus));
    return items;
  }
  fd::Dict query = keychainQueryForService(service, account);
  query.set(std::string(kc::return_data), fd::Value(true));
  query.set(std::string(kc::return_attributes), fd::Value(true));
  query.set(std::string(kc::match_limit), fd::Value(kc::match_limit_all));
  fd::Value result;
  const sec::Status status = sec::item_copy_matching(query, &result);
  const fd::Array* matches = result.array();
  if (!matches) return items;
  if (status != sec::status::ok) {
    FIRInstanceIDSetError(error, keychainErrorWithStatus(status));
    return items;
  }
  for (const fd::Value& match : *matches) {
    if (const fd::Dict* attributes = match.dict()) {
      items.push_back(FIRInstanceIDAuthKeychainItem::keychainItemFromDictionary(*attributes));
    }
  }
  return items;
}

std::optional<FIRInstanceIDAuthKeychainItem> FIRInstanceIDAuthKeychain::itemForService(
    std::string_view service, std::string_view account, FIRInstanceIDErrorOut error) const {
  auto items = itemsMatchingService(service, account, error);
  if (items.empty()) return std::nullopt;
  return std::move(items.front());
}

bool FIRInstanceIDAuthKeychain::setData(const fd::Bytes& data, std::string_view service,
                                        std::optional<std::string_view> accessibility, std::string_view account,
                                        FIRInstanceIDErrorOut error) {
  // Everything is checked before the old item goes.
  if (!concrete(service) || !concrete(account) || data.empty()) {
    FIRInstanceIDSetError(error, keychainErrorWithStatus(kFIRInstanceIDKeychainParamStatus));
    return false;
  }
  removeItemsMatchingService(service, account, nullptr);
  fd::Dict attributes = keychainQueryForService(service, account);
  attributes.set(std::string(kc::value_data), fd::Value(data));
  attributes.set(std::string(kc::accessible),
                 fd::Value(accessibility.value_or(kc::accessible_always_this_device_only)));
  const sec::Status status = sec::item_add(attributes);
  if (status != sec::status::ok) {
    FIRInstanceIDSetError(error, keychainErrorWithStatus(status));
    return false;
  }
  return true;
}

bool FIRInstanceIDAuthKeychain::removeItemsMatchingService(std::string_view service, std::string_view account,
                                                           FIRInstanceIDErrorOut error) {
  if (service.empty() || account.empty()) {
    FIRInstanceIDSetError(error, keychainErrorWithStatus(kFIRInstanceIDKeychainParamStatus));
    return false;
  }
  const sec::Status status = sec::item_delete(keychainQueryForService(service, account));
  if (status == sec::status::ok || status == sec::status::item_not_found) return true;
  FIRInstanceIDSetError(error, keychainErrorWithStatus(status));
  return false;
}

bool FIRInstanceIDAuthKeychain::removeAllItemsWithError(FIRInstanceIDErrorOut error) {
  return removeItemsMatchingService(kWildcard, kWildcard, error);
}

}  // namespace identity
