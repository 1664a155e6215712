#pragma once
// One preferences store with a property list per domain, shared by the
// CFPreferences-style calls (Preferences) and UserDefaults.
//
// A domain lives in memory once read and is written to
//   <container>/Library/Preferences/<domain>.plist
// ("group.*" domains: <device>/Containers/Shared/AppGroup/<id>/Library/Preferences/<id>.plist).
// The current-application domain is the main bundle's identifier.
//
// Writing: synchronize / app_synchronize write at once; otherwise a changed
// domain writes itself 5 s (on the process clock) after its last
// unsynchronised change, and flush_all() writes every changed domain (at
// terminate). A caller that requests a synchronisation on a run loop that
// never runs therefore loses nothing.
//
// Values must be property-list values (string, number, data, date, and
// arrays and dicts of those): anything else is refused with a system-log line
// and changes nothing, so the file is never corrupted. A domain file that does
// not parse reads as an empty domain, with a system-log line. A domain file
// that cannot be read (I/O error) is never overwritten blindly: the write
// reads it again first and keeps its keys under the new values.
//
// Thread-safe.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::os {

// True for values a property list can hold.
bool is_property_list(const foundation::Value& value);

class Preferences {
 public:
  static Preferences& shared();
  static constexpr std::string_view current_application = "kCFPreferencesCurrentApplication";

  std::optional<foundation::Value> copy_app_value(std::string_view key, std::string_view domain) const;
  // nullopt removes the key. Returns false (and logs) when the value is refused.
  bool set_app_value(std::string_view key, std::optional<foundation::Value> value, std::string_view domain);
  // Writes the domain now if it has unwritten changes; false on I/O error
  // (the changes stay pending) or before boot.
  bool app_synchronize(std::string_view domain);
  std::vector<std::string> copy_key_list(std::string_view domain) const;
  foundation::Dict copy_domain(std::string_view domain) const;
  // Removes every key of the domain (written like any other change).
  void remove_domain(std::string_view domain);
  void flush_all();

  // The file a domain is written to; empty before boot.
  std::filesystem::path file_for_domain(std::string_view domain) const;
  // The domain name `domain` stands for (current_application -> the bundle id).
  std::string resolve(std::string_view domain) const;

  static constexpr double flush_delay_seconds = 5.0;

  Preferences(const Preferences&) = delete;
  Preferences& operator=(const Preferences&) = delete;
  void reset_for_testing();

 private:
  Preferences() = default;
  struct Domain {
    foundation::Dict values;
    bool dirty = false;
    std::uint64_t generation = 0;  // bumped by each change
    bool unread = false;           // the file exists but could not be read yet
  };
  Domain& domain_locked(const std::string& name) const;
  // Reads the domain file into `d`: true when read (or absent), false on an
  // I/O error. A file that is not a property-list dictionary reads as empty.
  bool load_locked(const std::string& name, Domain& d) const;
  void changed_locked(const std::string& name, Domain& d);
  bool write(const std::string& name);

  mutable std::mutex mutex_;
  std::mutex write_mutex_;  // one domain write at a time, in snapshot order
  mutable std::map<std::string, Domain, std::less<>> domains_;
  std::uint64_t epoch_ = 0;  // bumped by reset: stale delayed flushes do nothing
};

class UserDefaults {
 public:
  static UserDefaults& standard();
  // A suite's defaults; nullptr for the app's own bundle identifier. An empty
  // name gives the current application's domain.
  static std::shared_ptr<UserDefaults> suite(std::string_view name);

  // The preferences domain this object reads and writes.
  std::string domain() const;

  std::optional<foundation::Value> object(std::string_view key) const;
  void set(std::string_view key, std::optional<foundation::Value> value);  // nullopt removes
  void remove(std::string_view key);

  // Numbers by their value; strings by the text views ("2" -> 2, "YES" -> true); else 0/false.
  bool boolean(std::string_view key) const;
  std::int64_t integer(std::string_view key) const;
  double real(std::string_view key) const;
  // Strings as they are, numbers as their text ("2", "1.5", booleans "1"/"0"); else nullopt.
  std::optional<std::string> string(std::string_view key) const;
  foundation::Dict dictionary_representation() const;

  bool synchronize();
  // Removes every key of the domain `name` (the bundle id names the app's own).
  void remove_persistent_domain(std::string_view name);

  explicit UserDefaults(std::string domain) : domain_(std::move(domain)) {}

 private:
  std::string domain_;
};

}  // namespace platform::os
