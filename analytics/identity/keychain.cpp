// Analytics keychain items over the platform keychain.
#include "analytics/identity/keychain.h"

#include "platform/security/keychain.h"

namespace analytics {

namespace fd = platform::foundation;
namespace sec = platform::security;
namespace kc = platform::security::kc;

std::optional<fd::Dict> APMKeychainWrapper::searchDirectoryForIdentifier(std::string_view identifier,
                                                                         std::string_view appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  const fd::Bytes identifierBytes(identifier.begin(), identifier.end());
  fd::Dict query;
  query.set(std::string(kc::class_), fd::Value(kc::class_generic_password));
  query.set(std::string(kc::service), fd::Value(appID));
  query.set(std::string(kc::generic), fd::Value(identifierBytes));
  query.set(std::string(kc::account), fd::Value(identifierBytes));
  return query;
}

std::optional<fd::Bytes> APMKeychainWrapper::keychainDataWithIdentifier(std::string_view identifier,
                                                                        std::string_view appID) {
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::nullopt;
  query->set(std::string(kc::match_limit), fd::Value(kc::match_limit_one));
  query->set(std::string(kc::return_data), fd::Value(true));
  fd::Value result;
  if (sec::item_copy_matching(*query, &result) != sec::status::ok || !result.data()) return std::nullopt;
  return *result.data();
}

std::optional<std::string> APMKeychainWrapper::keychainValueWithIdentifier(std::string_view identifier,
                                                                           std::string_view appID) {
  const auto data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty()) return std::nullopt;
  return std::string(data->begin(), data->end());
}

bool APMKeychainWrapper::upsertKeychainValue(std::string_view value, std::string_view identifier,
                                             std::string_view appID) {
  if (value.empty()) return false;
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  const fd::Value data(fd::Bytes(value.begin(), value.end()));
  query->set(std::string(kc::accessible), fd::Value(kc::accessible_always_this_device_only));
  if (keychainValueWithIdentifier(identifier, appID)) {
    fd::Dict changes;
    changes.set(std::string(kc::value_data), data);
    return sec::item_update(*query, changes) == sec::status::ok;
  }
  query->set(std::string(kc::value_data), data);
  return sec::item_add(*query) == sec::status::ok;
}

void APMKeychainWrapper::deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID) {
  if (const auto query = searchDirectoryForIdentifier(identifier, appID)) sec::item_delete(*query);
}

}  // namespace analytics
