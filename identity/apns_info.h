#pragma once
// FIRInstanceIDAPNSInfo: a push device token with its push environment, kept
// inside cached token records through the keyed archive. Immutable; any thread.
// FIRInstanceIDAuthKeychainItem: one generic-password item as the keychain
// returns it.
#include <memory>
#include <optional>

#include "platform/foundation/archive.h"
#include "platform/foundation/value.h"

namespace identity {

class FIRInstanceIDAPNSInfo {
 public:
  FIRInstanceIDAPNSInfo(platform::foundation::Bytes deviceToken, bool isSandbox)
      : deviceToken_(std::move(deviceToken)), sandbox_(isSandbox) {}
  // nullptr unless "apns_token" is data and "apns_sandbox" a number.
  static std::shared_ptr<FIRInstanceIDAPNSInfo> initWithTokenOptionsDictionary(const platform::foundation::Dict& options);
  // Keyed coding: "device_token" (data) and "sandbox" (boolean).
  static std::shared_ptr<FIRInstanceIDAPNSInfo> initWithCoder(const platform::foundation::archive::Archived& coder);
  platform::foundation::archive::Archived encodeWithCoder() const;

  const platform::foundation::Bytes& deviceToken() const { return deviceToken_; }
  bool isSandbox() const { return sandbox_; }
  bool isEqualToAPNSInfo(const FIRInstanceIDAPNSInfo* other) const;

 private:
  platform::foundation::Bytes deviceToken_;
  bool sandbox_;
};

struct FIRInstanceIDAuthKeychainItem {
  std::string account;
  std::string service;
  platform::foundation::Bytes data;
  std::optional<platform::foundation::Date> modificationDate;

  // From a keychain attribute dictionary (account, service, data, modification date).
  static FIRInstanceIDAuthKeychainItem keychainItemFromDictionary(const platform::foundation::Dict& dict);
};

}  // namespace identity
