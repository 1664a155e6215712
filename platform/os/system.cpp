#include "platform/os/system.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/console.h"
#include "platform/foundation/notification.h"
#include "platform/kernel/loader.h"
#include "platform/os/bundle.h"
#include "platform/os/detail.h"
#include "platform/os/process_info.h"
#include "platform/os/syslog.h"
#include "platform/os/testing_reset.h"

namespace platform::os {

namespace fs = std::filesystem;
using foundation::Dict;
using foundation::Error;
namespace cocoa = foundation::cocoa_error;

namespace detail {
// Never destroyed: pool threads still finishing work at exit may read it.
State& state() {
  static auto* s = new State;
  return *s;
}
}  // namespace detail

namespace {

struct Live {
  std::mutex m;
  NetworkState network;
  std::map<std::uint64_t, NetworkObserver> observers;
  std::uint64_t next_id = 1;
};

// Never destroyed: a session released on a pool thread during exit still
// removes its observer.
Live& live() {
  static auto* l = new Live;
  return *l;
}

Error boot_error(std::int64_t code, const fs::path& path, std::string why) {
  return Error(std::string(cocoa::domain), code,
               Dict{{std::string(foundation::key_file_path), path.string()},
                    {std::string(foundation::key_debug_description), std::move(why)}});
}

// A UUID text that stays the same for the same device folder.
std::string vendor_identifier_for(const fs::path& device_dir) {
  const std::string text = device_dir.string();
  auto fnv = [&](std::uint64_t h) {
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
    return h;
  };
  std::uint64_t a = fnv(0xcbf29ce484222325ull), b = fnv(0x84222325cbf29ce4ull);
  std::uint8_t u[16];
  for (int i = 0; i < 8; ++i) {
    u[i] = static_cast<std::uint8_t>(a >> (8 * i));
    u[8 + i] = static_cast<std::uint8_t>(b >> (8 * i));
  }
  u[6] = static_cast<std::uint8_t>((u[6] & 0x0f) | 0x40);
  u[8] = static_cast<std::uint8_t>((u[8] & 0x3f) | 0x80);
  char out[37];
  std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1], u[2],
                u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return out;
}

bool single_component(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

foundation::Expected<void> boot(const fs::path& device_dir, const fs::path& bundle_dir, BootOptions options) {
  std::error_code ec;
  fs::path device = fs::absolute(device_dir, ec).lexically_normal();
  if (device_dir.empty() || ec) return boot_error(cocoa::file_no_such_file, device_dir, "no device folder");
  if (device.has_parent_path() && !device.has_filename()) device = device.parent_path();

  DeviceProfile p;
  if (options.profile) {
    p = std::move(*options.profile);
  } else if (fs::exists(device / "device.json", ec)) {
    auto loaded = DeviceProfile::load(device / "device.json");
    if (!loaded) return loaded.error();
    p = std::move(*loaded);
  }
  if (p.vendor_identifier.empty()) p.vendor_identifier = vendor_identifier_for(device);

  if (bundle_dir.empty() || !fs::is_directory(bundle_dir, ec)) {
    return boot_error(cocoa::file_read_no_such_file, bundle_dir, "no bundle folder");
  }
  Bundle main_candidate(fs::absolute(bundle_dir, ec).lexically_normal());
  auto id = main_candidate.identifier();
  if (!id || !single_component(*id)) {
    return boot_error(cocoa::file_read_corrupt_file, bundle_dir / "Info.plist",
                      "the bundle's Info.plist names no usable CFBundleIdentifier");
  }

  const fs::path container = device / "Containers" / "Data" / *id;
  for (const fs::path& dir :
       {container / "Documents", container / "Library" / "Application Support", container / "Library" / "Caches",
        container / "Library" / "Preferences", container / "Library" / "Cookies", container / "tmp",
        device / "Keychain", device / "Logs", device / "Fonts"}) {
    fs::create_directories(dir, ec);
    if (ec) return boot_error(cocoa::file_write_unknown, dir, "cannot create " + dir.string() + ": " + ec.message());
  }

  detail::State& s = detail::state();
  s.profile = std::move(p);
  s.device_dir = device;
  s.bundle_dir = fs::absolute(bundle_dir, ec).lexically_normal();
  s.container_dir = container;
  s.bundle_id = *id;
  detail::open_main_bundle(s.bundle_dir);

  ::setenv("TZ", s.profile.time_zone.c_str(), 1);
  ::tzset();
  detail::low_power_flag().store(s.profile.low_power_mode);
  {
    std::lock_guard lock(live().m);
    live().network = s.profile.network;
  }
  if (options.bind_main_thread) dispatch::RunLoop::bind_main_to_current_thread();
  foundation::console::set_system_log([](std::string_view line) { syslog::log(syslog::notice, line); });
  s.booted = true;
  detail::fill_crash_facts();
  kernel::BootFacts facts;
  s.profile.distribution.copy(facts.distribution, sizeof facts.distribution - 1);
  kernel::set_boot_facts(facts);
  return {};
}

bool booted() { return detail::state().booted; }

const fs::path& device_directory() { return detail::state().device_dir; }

const fs::path& container_directory() { return detail::state().container_dir; }

fs::path keychain_file() {
  const fs::path& device = device_directory();
  return device.empty() ? fs::path{} : device / "Keychain" / "keychain.plist";
}

fs::path fonts_directory() {
  const fs::path& device = device_directory();
  return device.empty() ? fs::path{} : device / "Fonts";
}

fs::path system_log_file() {
  const fs::path& device = device_directory();
  return device.empty() ? fs::path{} : device / "Logs" / "system.log";
}

fs::path app_group_container(std::string_view group_id) {
  const fs::path& device = device_directory();
  if (device.empty() || !single_component(group_id)) return {};
  fs::path group = device / "Containers" / "Shared" / "AppGroup" / group_id;
  std::error_code ec;
  fs::create_directories(group / "Library" / "Preferences", ec);
  return group;
}

void set_network_state(const NetworkState& state) {
  std::vector<NetworkObserver> observers;
  {
    std::lock_guard lock(live().m);
    if (live().network == state) return;
    live().network = state;
    for (const auto& [id, o] : live().observers) observers.push_back(o);
  }
  for (const NetworkObserver& o : observers) o(state);
}

NetworkState network_state() {
  std::lock_guard lock(live().m);
  return live().network;
}

std::uint64_t add_network_observer(NetworkObserver observer) {
  std::lock_guard lock(live().m);
  std::uint64_t id = live().next_id++;
  live().observers.emplace(id, std::move(observer));
  return id;
}

void remove_network_observer(std::uint64_t id) {
  std::lock_guard lock(live().m);
  live().observers.erase(id);
}

void set_low_power_mode(bool enabled) {
  if (detail::low_power_flag().exchange(enabled) == enabled) return;
  foundation::NotificationCenter::default_center().post(kPowerStateDidChangeNotification, &ProcessInfo::shared());
}

namespace detail {
void reset_live_state() {
  std::lock_guard lock(live().m);
  live().network = NetworkState{};
  live().observers.clear();
  live().next_id = 1;
}
}  // namespace detail

void reset_for_testing() {
  detail::reset_preferences();
  detail::reset_file_faults();
  detail::reset_syslog();
  detail::reset_bundles();
  detail::reset_process_info();
  detail::reset_live_state();
  detail::clear_crash_facts();
  if (booted()) foundation::console::set_system_log(nullptr);
  detail::state() = detail::State{};
}

}  // namespace platform::os
