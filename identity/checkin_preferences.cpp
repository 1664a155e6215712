// The checkin credential record and its stored forms.
#include "identity/checkin_preferences.h"

#include "core/gul_user_defaults.h"
#include "identity/utilities.h"

namespace identity {

namespace fd = platform::foundation;

FIRInstanceIDCheckinPreferences::FIRInstanceIDCheckinPreferences(std::string deviceID, std::string secretToken)
    : deviceID_(std::move(deviceID)), secretToken_(std::move(secretToken)) {}

FIRInstanceIDCheckinPreferencesRef FIRInstanceIDCheckinPreferences::initWithDeviceID(std::string deviceID,
                                                                                    std::string secretToken) {
  return std::make_shared<FIRInstanceIDCheckinPreferences>(std::move(deviceID), std::move(secretToken));
}

std::optional<std::string> FIRInstanceIDCheckinPreferences::checkinKeychainContent(std::string_view contents,
                                                                                   std::size_t index) {
  const auto bar = contents.find('|');
  if (bar == std::string_view::npos || contents.find('|', bar + 1) != std::string_view::npos) return std::nullopt;
  if (index == 0) return std::string(contents.substr(0, bar));
  if (index == 1) return std::string(contents.substr(bar + 1));
  return std::nullopt;
}

std::optional<std::string> FIRInstanceIDCheckinPreferences::checkinDeviceIDFromKeychainContent(
    std::string_view contents) {
  return checkinKeychainContent(contents, 0);
}

std::optional<std::string> FIRInstanceIDCheckinPreferences::checkinSecretFromKeychainContent(std::string_view contents) {
  return checkinKeychainContent(contents, 1);
}

FIRInstanceIDCheckinPreferencesRef FIRInstanceIDCheckinPreferences::preferencesFromKeychainContents(
    std::string_view contents) {
  auto deviceID = checkinDeviceIDFromKeychainContent(contents);
  auto secret = checkinSecretFromKeychainContent(contents);
  if (!deviceID || !secret || deviceID->empty() || secret->empty()) return nullptr;
  return initWithDeviceID(std::move(*deviceID), std::move(*secret));
}

std::optional<std::string> FIRInstanceIDCheckinPreferences::checkinKeychainContent() const {
  std::lock_guard lock(mutex_);
  if (deviceID_.empty() || secretToken_.empty()) return std::nullopt;
  return deviceID_ + "|" + secretToken_;
}

fd::Dict FIRInstanceIDCheckinPreferences::checkinPlistContents() const {
  std::lock_guard lock(mutex_);
  fd::Dict contents;
  contents.set(std::string(kFIRInstanceIDDigestStringKey), fd::Value(digest_));
  contents.set(std::string(kFIRInstanceIDVersionInfoStringKey), fd::Value(versionInfo_));
  contents.set(std::string(kFIRInstanceIDDeviceDataVersionKey), fd::Value(deviceDataVersion_));
  contents.set(std::string(kFIRInstanceIDLastCheckinTimeKey),
               fd::Value(static_cast<long long>(lastCheckinTimestampMillis_)));
  contents.set(std::string(kFIRInstanceIDGServicesDictionaryKey), fd::Value(gServicesData_));
  return contents;
}

void FIRInstanceIDCheckinPreferences::updateWithCheckinPlistContents(const fd::Dict& contents) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : contents) {
    if (key == kFIRInstanceIDDigestStringKey) {
      digest_ = value.string() ? *value.string() : "";
    } else if (key == kFIRInstanceIDVersionInfoStringKey) {
      versionInfo_ = value.string() ? *value.string() : "";
    } else if (key == kFIRInstanceIDDeviceDataVersionKey) {
      deviceDataVersion_ = value.string() ? *value.string() : "";
    } else if (key == kFIRInstanceIDLastCheckinTimeKey) {
      lastCheckinTimestampMillis_ = value.as_int().value_or(0);
    } else if (key == kFIRInstanceIDGServicesDictionaryKey) {
      gServicesData_ = value.dict() ? *value.dict() : fd::Dict{};
    }
  }
}

void FIRInstanceIDCheckinPreferences::reset() {
  std::lock_guard lock(mutex_);
  deviceID_.clear();
  secretToken_.clear();
  digest_.clear();
  versionInfo_.clear();
  gServicesData_.clear();
  deviceDataVersion_.clear();
  lastCheckinTimestampMillis_ = 0;
}

bool FIRInstanceIDCheckinPreferences::hasCheckinInfo() const {
  std::lock_guard lock(mutex_);
  return !deviceID_.empty() && !secretToken_.empty();
}

bool FIRInstanceIDCheckinPreferences::hasValidCheckinInfo() const {
  auto& defaults = core::GULUserDefaults::standardUserDefaults();
  const auto stored = defaults.stringForKey(kFIRInstanceIDUserDefaultsKeyLocale);
  const bool hasInfo = hasCheckinInfo();
  if (!stored && hasInfo) {
    defaults.setObject(fd::Value(FIRInstanceIDPreferredLocale()), kFIRInstanceIDUserDefaultsKeyLocale);
    return true;
  }
  if (FIRInstanceIDLocaleDidChange()) {
    defaults.setObject(fd::Value(FIRInstanceIDPreferredLocale()), kFIRInstanceIDUserDefaultsKeyLocale);
    return false;
  }
  const double age = static_cast<double>(FIRInstanceIDNowMillis() - lastCheckinTimestampMillis()) / 1000.0;
  return hasInfo && age < kFIRInstanceIDDefaultCheckinInterval;
}

#define IID_ACCESSORS(Type, getter, setter, field)                       \
  Type FIRInstanceIDCheckinPreferences::getter() const {                 \
    std::lock_guard lock(mutex_);                                        \
    return field;                                                        \
  }                                                                      \
  void FIRInstanceIDCheckinPreferences::setter(Type value) {             \
    std::lock_guard lock(mutex_);                                        \
    field = std::move(value);                                            \
  }

IID_ACCESSORS(std::string, deviceID, setDeviceID, deviceID_)
IID_ACCESSORS(std::string, secretToken, setSecretToken, secretToken_)
IID_ACCESSORS(std::string, digest, setDigest, digest_)
IID_ACCESSORS(std::string, versionInfo, setVersionInfo, versionInfo_)
IID_ACCESSORS(std::string, deviceDataVersion, setDeviceDataVersion, deviceDataVersion_)
IID_ACCESSORS(fd::Dict, gServicesData, setGServicesData, gServicesData_)
IID_ACCESSORS(std::int64_t, lastCheckinTimestampMillis, setLastCheckinTimestampMillis, lastCheckinTimestampMillis_)
IID_ACCESSORS(bool, hasPreCachedAuthCredentials, setHasPreCachedAuthCredentials, hasPreCachedAuthCredentials_)

#undef IID_ACCESSORS

}  // namespace identity
