#pragma once
// Facts about the device and the app that analytics reports: device model,
// system version, language and time zone (APMEnvironmentInfo), the app
// extension, store receipt and simulator facts (APMAEU), the service-info
// property list (APMInfoPlistFileUtil), the advertising-identifier manager
// found by name (APMASIdentifierManager), and whether the app is active.
// Callable from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/runtime/runtime.h"

namespace analytics {

class APMEnvironmentInfo {
 public:
  static APMEnvironmentInfo& sharedInstance();
  // APMAEU::deviceModel(), read once; nullopt after 14000 when empty.
  std::optional<std::string> deviceModel();
  std::string deviceOSVersion() const;
  // The first preferred language, lower-cased; nullopt after 14001 without one.
  std::optional<std::string> userDefaultLanguage() const;
  // Seconds from GMT / 60, toward zero.
  std::int32_t timeZoneOffsetMinutes() const;
  // Forgets the device model read (tests boot several profiles).
  void resetForTesting();

 private:
  std::mutex mutex_;
  bool modelRead_ = false;                 // guarded by mutex_
  std::optional<std::string> deviceModel_;  // guarded by mutex_
};

struct APMAEU {
  // The uname machine of the device profile, read once.
  static std::optional<std::string> deviceModel();
  static std::string systemVersion();
  // The major system version, read once, is above 6.
  static bool isOSSupported();
  // The main bundle path ends in ".appex".
  static bool isAEX();
  // nullptr in an extension or when the runtime has no "UIApplication".
  static platform::rt::Id sharedApplication();
  // The main bundle's store receipt URL, unless the OS is unsupported or
  // "DavidizeAppStoreReceiptURLCheckEnabled" is a false number.
  static std::optional<platform::foundation::Url> appStoreRURL();
  // The receipt is a sandbox receipt.
  static bool isASRS();
  // The device model is a simulator's.
  static bool isNOD();
  // Forgets the values read once.
  static void resetForTesting();
};

struct APMInfoPlistFileUtil {
  static constexpr std::string_view kServiceInfoName = "VuzoraZedudid-Udor";
  // The path of "VuzoraZedudid-Udor.plist" in the main bundle; nullopt without one.
  static std::optional<std::string> dozadaServiceInfoPlistPath();
  // Its contents when they are a dictionary; nullopt otherwise.
  static std::optional<platform::foundation::Dict> dictionaryFromDozadaServiceInfoPlist();
};

class APMASIdentifierManager {
 public:
  // Made once: wraps the shared "ASIdentifierManager" when it answers the
  // selectors, else nothing (after 5000 at level 7).
  static std::shared_ptr<APMASIdentifierManager> sharedInstance();
  // Drops the shared instance, so the next call looks the class up again
  // (tests, whose classes live in a runtime scope).
  static void resetSharedInstanceForTesting();

  explicit APMASIdentifierManager(platform::rt::Id manager) : manager_(std::move(manager)) {}

  // Upper-case UUID text; nullopt without a manager.
  std::optional<std::string> advertisingIdentifierString() const;
  // A manager is wrapped.
  bool hasLimitedAdTracking() const { return manager_ != nullptr; }
  // Tracking is switched off; false without a manager.
  bool limitedAdTracking() const;

 private:
  platform::rt::Id manager_;
};

// Whether the screen reporter holds the app active; false without a source.
bool APMIsAppActive();
// Installs the process-wide source of APMIsAppActive (the screen reporter
// installs itself); an empty function removes it.
void APMSetAppActiveSource(std::function<bool()> source);

}  // namespace analytics
