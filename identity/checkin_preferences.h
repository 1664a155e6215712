#pragma once
// FIRInstanceIDCheckinPreferences: the device checkin credentials (device ID
// and secret) with the rest of the last checkin's reply, and their two stored
// forms (keychain text and property-list dictionary). Its fields sit under
// one mutex, so a record may be read on any thread while the checkin
// completion updates it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace identity {

// Keys of the property-list form, and the two older credential keys.
inline constexpr std::string_view kFIRInstanceIDDigestStringKey = "REREzozeredEDDigestKey";
inline constexpr std::string_view kFIRInstanceIDVersionInfoStringKey = "REREzozeredEDVersionInfo";
inline constexpr std::string_view kFIRInstanceIDDeviceDataVersionKey = "REREzozeredEDDeviceDataVersion";
inline constexpr std::string_view kFIRInstanceIDLastCheckinTimeKey = "REREzozeredEDLastCheckinTimestampKey";
inline constexpr std::string_view kFIRInstanceIDGServicesDictionaryKey = "REREzozeredEDGServicesData";
inline constexpr std::string_view kFIRInstanceIDDeviceAuthIdKey = "REREzozeredEDDeviceAuthIdKey";
inline constexpr std::string_view kFIRInstanceIDSecretTokenKey = "REREzozeredEDSecretTokenKey";

// A checkin older than this is no longer valid.
inline constexpr double kFIRInstanceIDDefaultCheckinInterval = 7 * 24 * 60 * 60;

class FIRInstanceIDCheckinPreferences {
 public:
  FIRInstanceIDCheckinPreferences(std::string deviceID, std::string secretToken);
  static std::shared_ptr<FIRInstanceIDCheckinPreferences> initWithDeviceID(std::string deviceID,
                                                                           std::string secretToken);
  // A record with only device ID and secret from "<id>|<secret>"; nullptr
  // unless both parts are non-empty.
  static std::shared_ptr<FIRInstanceIDCheckinPreferences> preferencesFromKeychainContents(std::string_view contents);
  static std::optional<std::string> checkinDeviceIDFromKeychainContent(std::string_view contents);
  static std::optional<std::string> checkinSecretFromKeychainContent(std::string_view contents);
  static std::optional<std::string> checkinKeychainContent(std::string_view contents, std::size_t index);

  // "<id>|<secret>"; nullopt unless both are non-empty.
  std::optional<std::string> checkinKeychainContent() const;
  // Exactly the five property-list keys.
  platform::foundation::Dict checkinPlistContents() const;
  // Applies the five property-list keys of `contents`; others are ignored.
  void updateWithCheckinPlistContents(const platform::foundation::Dict& contents);
  void reset();
  bool hasCheckinInfo() const;
  // Stores the current locale as a side effect (see the locale rule).
  bool hasValidCheckinInfo() const;

  std::string deviceID() const;
  std::string secretToken() const;
  std::string digest() const;
  std::string versionInfo() const;
  std::string deviceDataVersion() const;
  platform::foundation::Dict gServicesData() const;
  std::int64_t lastCheckinTimestampMillis() const;
  bool hasPreCachedAuthCredentials() const;
  void setDeviceID(std::string value);
  void setSecretToken(std::string value);
  void setDigest(std::string value);
  void setVersionInfo(std::string value);
  void setDeviceDataVersion(std::string value);
  void setGServicesData(platform::foundation::Dict value);
  void setLastCheckinTimestampMillis(std::int64_t value);
  void setHasPreCachedAuthCredentials(bool value);

 private:
  mutable std::mutex mutex_;
  std::string deviceID_, secretToken_, digest_, versionInfo_, deviceDataVersion_;
  platform::foundation::Dict gServicesData_;
  std::int64_t lastCheckinTimestampMillis_ = 0;
  bool hasPreCachedAuthCredentials_ = false;
};

using FIRInstanceIDCheckinPreferencesRef = std::shared_ptr<FIRInstanceIDCheckinPreferences>;

}  // namespace identity
