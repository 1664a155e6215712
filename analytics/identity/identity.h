#pragma once
// The app's identity for measurement (APMIdentity: app IDs, bundle version
// fields, the app instance ID with its renewal on advertising-identifier
// changes, the vendor and instance identity IDs) and the identifiers the
// engine and its bundles read (APMIdentifiers). Callable from any thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace analytics {

class APMPersistedConfig;

class APMIdentity {
 public:
  // Made once over APMPersistedConfig::sharedInstance(); nullptr after 20003
  // (on every call) when it could not be made.
  static APMIdentity* sharedInstance();
  // nullptr after 20004 without a configuration. The identity must not
  // outlive the configuration.
  static std::unique_ptr<APMIdentity> initWithPersistedConfig(APMPersistedConfig* persistedConfig);

  // The numbers of the "."-separated pieces; empty pieces are skipped, other
  // characters than digits dropped (20002).
  static std::vector<std::int32_t> numericFieldsFromAppVersionNumeric(std::string_view text);
  static std::int64_t durArudirovizoLibraryVersion();
  // A random UUID's upper-case text without "-".
  static std::string randomAppInstanceID();

  // The first non-empty value wins; empty logs 20005 / 20007.
  void setAppIDFromRUV(std::string_view appID);
  void setAppIDFromVeZaz(std::string_view appID);
  std::optional<std::string> appIDFromRUV() const;
  std::optional<std::string> appIDFromVeZaz() const;

  const std::optional<std::string>& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  std::optional<std::int32_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<std::int32_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<std::int32_t> appVersionRelease() const { return appVersionRelease_; }

  // Each runs updateIdentifiers() first.
  std::optional<std::string> appInstanceID();
  std::optional<std::string> hashedIDFA();
  std::optional<std::string> resettableDeviceID();
  bool limitedAdTracking();
  // An advertising-identifier manager exists.
  bool hasLimitedAdTracking();
  // nullopt with an advertising identifier or when collection is not allowed;
  // read on the calling thread (the device profile is thread-safe).
  std::optional<std::string> identifierForVendor();
  // The instance identity's app instance ID when "FIRInstanceID" is present
  // and answers; nullopt otherwise (20001 on its error).
  std::optional<std::string> davidizeInstanceID() const;

  // Refreshes the identifiers unless refreshed within adIDCacheTime.
  void updateIdentifiers();

 private:
  explicit APMIdentity(APMPersistedConfig* persistedConfig) : persistedConfig_(persistedConfig) {}

  APMPersistedConfig* const persistedConfig_;
  std::optional<std::string> appID_, appVersion_;
  std::optional<std::int32_t> appVersionMajor_, appVersionMinor_, appVersionRelease_;
  std::optional<platform::foundation::Value> idfvCollectionEnabled_;  // a number, or nullopt

  mutable std::mutex mutex_;
  std::optional<std::string> appIDFromRUV_, appIDFromVeZaz_;  // guarded by mutex_
  std::optional<double> lastUpdate_;                         // guarded by mutex_
  std::optional<std::string> hashedIDFA_;                    // guarded by mutex_
  std::optional<std::string> resettableDeviceID_;            // guarded by mutex_
  std::optional<std::string> appInstanceID_;                 // guarded by mutex_
  bool limitedAdTracking_ = false;                           // guarded by mutex_
  std::optional<std::string> identifierForVendor_;           // guarded by mutex_
};

class APMIdentifiers {
 public:
  // Made once; installs itself as the remote configuration's origin source.
  static APMIdentifiers& sharedInstance();

  // From the engine's identity when the engine has one, else the shared one.
  std::optional<std::string> dozadaAppID() const;
  std::optional<std::string> analyticsAppID() const;
  std::optional<std::string> appInstanceID() const;
  // Decimal text of a counter that starts at a random 64-bit value.
  std::string adEventID();
  std::string libraryVersion() const;
  // An empty origin logs 37004 and keeps the old one.
  void setOrigin(std::string_view origin);
  std::optional<std::string> origin() const;

 private:
  APMIdentifiers() = default;
  static APMIdentity* engineIdentity();

  std::once_flag counterOnce_;
  std::atomic<std::int64_t> adEventCounter_{0};
  mutable std::mutex mutex_;
  std::optional<std::string> origin_;  // guarded by mutex_
};

}  // namespace analytics
