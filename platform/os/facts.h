#pragma once
// Device facts as the kernel reports them: from the profile, never the host.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::os {

struct Uname {
  std::string sysname;   // "Darwin"
  std::string nodename;  // the device name
  std::string release;   // kernel release of the profile's OS ("19.5.0" for 13.5)
  std::string version;
  std::string machine;   // profile machine ("iPhone12,1")
};
Uname uname();

// "hw.machine", "hw.model", "kern.osversion" (the OS build); nullopt for other names.
std::optional<std::string> sysctl_string(std::string_view name);
// "hw.pagesize" (the real page size), "kern.boottime" (seconds since 1970 on the
// process clock); nullopt for other names.
std::optional<std::int64_t> sysctl_int(std::string_view name);

// The profile's override when set, else whether a tracer is attached (TracerPid).
bool debugger_attached();

// Copies of the facts made at boot, in fixed buffers: readable from a signal
// handler without allocating or locking. Zero-filled before boot.
struct CrashFacts {
  char machine[64];
  char model[64];          // hw.model
  char os_version[32];     // "13.5"
  char os_build[32];       // kern.osversion
  char kernel_release[32];
  char device_name[128];
  char bundle_identifier[256];
  char process_name[256];
  std::int32_t pid;
  std::int64_t boot_time;  // seconds since 1970
  std::int64_t page_size;
  bool debugger_attached;
};
const CrashFacts& crash_facts();

}  // namespace platform::os
