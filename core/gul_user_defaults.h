#pragma once
// GULUserDefaults: the core's key-value preferences store over the platform's
// preferences, for the application's own domain or a named suite. Writes are
// synchronised to disk by one delayed call a second after the last change.
//
// Threads: no lock of its own beyond the platform's; the delayed
// synchronisation runs on the run loop of the thread that made the change,
// and only while that loop runs (a pool thread's loop never does; the
// platform's own delayed write still saves the change).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace core {

class GULUserDefaults {
 public:
  // One shared store of the application's own domain, made on first use.
  static GULUserDefaults& standardUserDefaults();

  // nullopt or an empty name: the current application's domain.
  explicit GULUserDefaults(std::optional<std::string_view> suiteName = std::nullopt);
  // Cancels a pending delayed synchronisation on the calling thread's run loop.
  ~GULUserDefaults();
  GULUserDefaults(const GULUserDefaults&) = delete;
  GULUserDefaults& operator=(const GULUserDefaults&) = delete;

  // An empty key gives nullopt with a warning.
  std::optional<platform::foundation::Value> objectForKey(std::string_view key) const;
  // nullopt removes. An empty key, or a value that is not a string, number,
  // array, dictionary, date or data, is refused with a warning.
  void setObject(std::optional<platform::foundation::Value> value, std::string_view key);
  void removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

  // The stored value as a number (numbers by value, texts by their number
  // view); 0 or false when absent.
  std::int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  // objectForKey, without a type check.
  std::optional<platform::foundation::Value> stringForKey(std::string_view key) const { return objectForKey(key); }
  std::optional<platform::foundation::Value> arrayForKey(std::string_view key) const { return objectForKey(key); }
  std::optional<platform::foundation::Value> dictionaryForKey(std::string_view key) const { return objectForKey(key); }

  void setInteger(std::int64_t value, std::string_view key) { setObject(platform::foundation::Value(static_cast<long long>(value)), key); }
  void setFloat(float value, std::string_view key) { setObject(platform::foundation::Value(static_cast<double>(value)), key); }
  void setDouble(double value, std::string_view key) { setObject(platform::foundation::Value(value), key); }
  void setBool(bool value, std::string_view key) { setObject(platform::foundation::Value(value), key); }

  void synchronize();
  // Removes every key of the domain; an empty domain does nothing.
  void clearAllData();
  // Replaces this store's pending delayed synchronize with one 1 s from now,
  // on the calling thread's run loop.
  void scheduleSynchronize();

  const std::string& appNameRef() const { return appNameRef_; }
  bool isPreferenceFileExcluded() const { return isPreferenceFileExcluded_; }
  void setIsPreferenceFileExcluded(bool excluded) { isPreferenceFileExcluded_ = excluded; }

 private:
  std::string appNameRef_;
  bool isPreferenceFileExcluded_ = false;
};

}  // namespace core
