#pragma once
// Booting the simulated device, its sandbox paths, and the OS-side setters of
// live device state (used by the simulator; the app never calls the setters).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/expected.h"
#include "platform/os/profile.h"

namespace platform::os {

struct BootOptions {
  // Used instead of <device>/device.json (which is then not read).
  std::optional<DeviceProfile> profile;
  // Binds RunLoop::main() and Queue::main() to the booting thread.
  bool bind_main_thread = true;
};

// Boots the device: loads <device>/device.json (the default profile when the
// file is absent), opens the main bundle at `bundle_dir` (its Info.plist must
// name a CFBundleIdentifier), lays out the sandbox of that bundle id, sets TZ
// from the profile, binds the main run loop to the calling thread, attaches
// the system log to console::log_line and copies the device facts into the
// crash-time buffers. A malformed profile or a bundle without identifier is
// an Error, and nothing is booted.
foundation::Expected<void> boot(const std::filesystem::path& device_dir, const std::filesystem::path& bundle_dir,
                                BootOptions options = {});
bool booted();

// Sandbox paths; empty before boot.
const std::filesystem::path& device_directory();
const std::filesystem::path& container_directory();  // <device>/Containers/Data/<bundle-id>
std::filesystem::path keychain_file();                 // <device>/Keychain/keychain.plist (outlives the container)
std::filesystem::path fonts_directory();               // <device>/Fonts
std::filesystem::path system_log_file();               // <device>/Logs/system.log
// <device>/Containers/Shared/AppGroup/<group-id>, created with its
// Library/Preferences on first use. Empty before boot or for an id that is
// not a single path component.
std::filesystem::path app_group_container(std::string_view group_id);

// ---- live state (OS side) ---------------------------------------------------
// Starts from the profile at boot. Observers run on the thread that changes
// the state, after the change, and only when it really changed.
using NetworkObserver = std::function<void(const NetworkState&)>;
void set_network_state(const NetworkState& state);
NetworkState network_state();
std::uint64_t add_network_observer(NetworkObserver observer);
void remove_network_observer(std::uint64_t id);

// Low power mode: on a change, posts "NSProcessInfoPowerStateDidChangeNotification"
// (sender: ProcessInfo::shared()) through the default notification centre.
void set_low_power_mode(bool enabled);

}  // namespace platform::os
