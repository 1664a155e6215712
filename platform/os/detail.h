#pragma once
// Process-wide state of the os module. Internal to platform/os.
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/os/profile.h"

namespace platform::os::detail {

struct State {
  bool booted = false;
  DeviceProfile profile;
  std::filesystem::path device_dir, bundle_dir, container_dir;
  std::string bundle_id;
};

// Written by boot() and reset_for_testing() only, before or after the
// threads that read it; readers take no lock.
State& state();

// Reset hooks, one per component of the module.
void reset_bundles();
void reset_process_info();
void reset_preferences();
void reset_syslog();
void reset_file_faults();
void reset_live_state();
void fill_crash_facts();
void clear_crash_facts();

}  // namespace platform::os::detail

namespace platform::os {
class Bundle;
namespace detail {
// Opens the main bundle at boot; nullptr when `path` is not a folder.
Bundle* open_main_bundle(const std::filesystem::path& path);
std::atomic<bool>& low_power_flag();
}  // namespace detail
}  // namespace platform::os
