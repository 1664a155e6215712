#pragma once
// The simulated device: every device fact the app can observe comes from this
// profile (read from <device>/device.json at boot), never from the host.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/expected.h"

namespace platform::os {

struct NetworkState {
  bool reachable = true, wwan = false, connection_required = false, on_demand = false, intervention_required = false;
  bool operator==(const NetworkState&) const = default;
};

struct PushProfile {
  std::string prompt_answer = "allow";  // allow | deny | ask
  std::string device_token = "auto";    // hex | auto | none
  std::optional<std::int64_t> token_error_code;
  double token_delay_s = 0.2;
};

// The accuracies (metres) a location fix carries when the fix does not give its own.
struct LocationProfile {
  double horizontal_accuracy = 65, vertical_accuracy = 10;
};

struct DeviceProfile {
  std::string system_version = "13.5", os_build = "17F75", machine = "iPhone12,1", hw_model = "N104AP", model = "iPhone";
  std::string device_name;
  std::string vendor_identifier;  // UUID text, stable per device (derived from the device folder when empty)
  std::string locale = "en_US", time_zone = "Europe/Berlin";
  std::vector<std::string> preferred_languages{"en-US"};
  std::set<std::string> frameworks{"UserNotifications", "WebKit", "StoreKit"};
  std::string distribution = "development";  // development | app_store | enterprise
  NetworkState network;
  PushProfile push;
  LocationProfile location;
  std::vector<std::string> can_open_schemes{"http", "https", "mailto", "tel"};
  std::map<std::string, std::string> hosts;  // "host:port" -> "host:port"
  std::vector<std::filesystem::path> trust_anchors;
  bool debugger_attached = false;
  bool low_power_mode = false;
  bool multitasking = true;
  bool keychain_entitlement = true;
  double background_time_allowed = 180;
  // Caps every request's idle timeout, in seconds (0: no cap), so a device
  // can play a request timing out without waiting out the app's own timeout.
  double request_timeout_limit_s = 0;
  std::vector<std::string> launch_arguments;
  std::map<std::string, std::string> environment;
  double screen_width = 375, screen_height = 812;

  // Reads a device.json. Unknown keys are ignored; a key of the wrong type,
  // unreadable or malformed JSON give an Error (NSCocoaErrorDomain). Relative
  // trust anchor paths are taken relative to the file's folder.
  static foundation::Expected<DeviceProfile> load(const std::filesystem::path& file);
};

// The profile the device booted with (the defaults before boot). Frozen at
// boot; live state (network, low power) changes through the setters of system.h.
const DeviceProfile& profile();

}  // namespace platform::os
