// Push token info and keychain item records.
#include "identity/apns_info.h"

#include "platform/security/keychain.h"

namespace identity {

namespace fd = platform::foundation;
namespace kc = platform::security::kc;

namespace {
constexpr std::string_view kClassName = "FIRInstanceIDAPNSInfo";
}

std::shared_ptr<FIRInstanceIDAPNSInfo> FIRInstanceIDAPNSInfo::initWithTokenOptionsDictionary(const fd::Dict& options) {
  const fd::Value& token = options.get("apns_token");
  const fd::Value& sandbox = options.get("apns_sandbox");
  if (!token.data() || !sandbox.is_number()) return nullptr;
  return std::make_shared<FIRInstanceIDAPNSInfo>(*token.data(), sandbox.as_bool().value_or(false));
}

std::shared_ptr<FIRInstanceIDAPNSInfo> FIRInstanceIDAPNSInfo::initWithCoder(const fd::archive::Archived& coder) {
  const fd::Value& token = coder.fields.get("device_token");
  if (!token.data()) return nullptr;
  const fd::Value& sandbox = coder.fields.get("sandbox");
  return std::make_shared<FIRInstanceIDAPNSInfo>(*token.data(), sandbox.is_number() && sandbox.as_bool().value_or(false));
}

fd::archive::Archived FIRInstanceIDAPNSInfo::encodeWithCoder() const {
  fd::archive::Archived archived;
  archived.class_name = std::string(kClassName);
  archived.fields.set("device_token", fd::Value(deviceToken_));
  archived.fields.set("sandbox", fd::Value(sandbox_));
  return archived;
}

bool FIRInstanceIDAPNSInfo::isEqualToAPNSInfo(const FIRInstanceIDAPNSInfo* other) const {
  if (!other) return false;
  if (other == this) return true;
  return deviceToken_ == other->deviceToken_ && sandbox_ == other->sandbox_;
}

FIRInstanceIDAuthKeychainItem FIRInstanceIDAuthKeychainItem::keychainItemFromDictionary(const fd::Dict& dict) {
  FIRInstanceIDAuthKeychainItem item;
  if (const auto* account = dict.get(kc::account).string()) item.account = *account;
  if (const auto* service = dict.get(kc::service).string()) item.service = *service;
  if (const auto* data = dict.get(kc::value_data).data()) item.data = *data;
  if (const auto* date = dict.get(kc::modification_date).date()) item.modificationDate = *date;
  return item;
}

}  // namespace identity
