#pragma once
// The app's view of its process: arguments, environment and OS version come
// from the device profile.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform::os {

// Activity options of the original that callers pass through unchanged.
namespace activity {
inline constexpr std::uint64_t idle_display_sleep_disabled = 1ull << 40;
inline constexpr std::uint64_t idle_system_sleep_disabled = 1ull << 20;
inline constexpr std::uint64_t sudden_termination_disabled = 1ull << 14;
inline constexpr std::uint64_t automatic_termination_disabled = 1ull << 15;
inline constexpr std::uint64_t user_initiated = 0x00FFFFFFull | idle_system_sleep_disabled;
inline constexpr std::uint64_t background = 0x000000FFull;
}  // namespace activity

namespace detail {
void reset_process_info();
}

using ActivityToken = std::uint64_t;  // 0 is never a valid token

inline constexpr const char* kPowerStateDidChangeNotification = "NSProcessInfoPowerStateDidChangeNotification";

class ProcessInfo {
 public:
  static ProcessInfo& shared();

  // The profile's launch arguments and environment (not the host's).
  const std::vector<std::string>& arguments() const;
  const std::map<std::string, std::string>& environment() const;
  // The main bundle's executable name.
  std::string process_name() const;
  int pid() const;
  // A new upper-case UUID text on every call.
  std::string globally_unique_string() const;

  struct OsVersion {
    int major = 0, minor = 0, patch = 0;
  };
  // Parsed from the profile's system_version; missing parts are 0.
  OsVersion operating_system_version() const;
  bool at_least(OsVersion version) const;

  ActivityToken begin_activity(std::uint64_t options, std::string reason);
  void end_activity(ActivityToken token);  // unknown tokens are ignored
  // Reasons of the activities begun and not ended, in the order begun.
  std::vector<std::string> active_activities() const;

  // Live state: the profile's value at boot, then os::set_low_power_mode.
  bool low_power_mode_enabled() const;
  double system_uptime() const;        // seconds since boot on the process clock
  unsigned processor_count() const;
  // NSFoundationVersionNumber of the profile's OS release.
  double foundation_version_number() const;
  // Offset of the current time zone (TZ, from the profile) from GMT, now.
  int seconds_from_gmt() const;

  ProcessInfo(const ProcessInfo&) = delete;
  ProcessInfo& operator=(const ProcessInfo&) = delete;

 private:
  ProcessInfo() = default;
  friend void detail::reset_process_info();

  struct Activity {
    ActivityToken token;
    std::uint64_t options;
    std::string reason;
  };
  mutable std::mutex mutex_;
  std::vector<Activity> activities_;
  ActivityToken next_token_ = 1;
};

}  // namespace platform::os
