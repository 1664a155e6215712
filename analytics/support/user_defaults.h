#pragma once
// The analytics preferences store: a key-value store over one preference
// domain (the application's own or a named suite), written through the
// platform's CFPreferences-style calls or, when Info.plist's
// "UseCFPreferencesLibrary" is false, through its user-defaults object. Writes
// are coalesced into one synchronisation 1.0 s after the last one, on the
// writing thread's run loop; a synchronisation excludes the suite's preference
// file from backup.
//
// Threads: callable from any thread (the monitor's queue, the engine's worker
// queue, the main thread). The delayed synchronisation runs only where the
// scheduling thread's run loop turns; elsewhere the platform writes a changed
// domain by itself.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

class APMUserDefaults {
 public:
  // The shared store of the application's own domain, made once; its file is
  // taken as excluded already.
  static APMUserDefaults& standardUserDefaults();
  // Info.plist "UseCFPreferencesLibrary" when it is a number, else true; read
  // once per process.
  static bool userPreferenceEnabled();

  // nullopt or "" names the application's own domain.
  explicit APMUserDefaults(std::optional<std::string_view> suiteName = std::nullopt);
  // Cancels the pending delayed synchronisation of this thread's run loop; one
  // pending elsewhere does nothing once the store is gone.
  ~APMUserDefaults();
  APMUserDefaults(const APMUserDefaults&) = delete;
  APMUserDefaults& operator=(const APMUserDefaults&) = delete;

  // Keys must be non-empty (41001 / 41002 warnings otherwise). Values must be
  // property-list values (41003 otherwise); nullopt removes the key.
  std::optional<platform::foundation::Value> objectForKey(std::string_view key) const;
  void setObject(std::optional<platform::foundation::Value> value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // The number value of objectForKey (texts by their leading number); 0 or
  // false when absent or of another kind.
  std::int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  // objectForKey unchanged, without a type check.
  std::optional<platform::foundation::Value> stringForKey(std::string_view key) const { return objectForKey(key); }
  std::optional<platform::foundation::Value> arrayForKey(std::string_view key) const { return objectForKey(key); }
  std::optional<platform::foundation::Value> dictionaryForKey(std::string_view key) const { return objectForKey(key); }

  void setInteger(std::int64_t value, std::string_view key);
  void setFloat(float value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setBool(bool value, std::string_view key);

  void clearAllData();
  // Writes the domain now (41004 when that fails), then excludes the suite's
  // preference file from backup unless done already (41000 when that fails;
  // tried again at the next synchronisation).
  void synchronize();
  // Cancels this store's pending delayed synchronize on the calling thread's
  // run loop, then requests one there after 1.0 s.
  void scheduleSynchronize();

  // Switches between the CFPreferences calls and the user-defaults object
  // (runs on the default global queue).
  void setUseCFPreferencesLibrary(bool use);
  bool useCFPreferencesLibrary() const;
  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

  const std::string& suiteName() const;

  static constexpr double kSynchronizeDelaySeconds = 1.0;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace analytics
