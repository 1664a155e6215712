#include "platform/os/facts.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/dispatch/clock.h"
#include "platform/os/detail.h"
#include "platform/os/process_info.h"

namespace platform::os {

namespace {

CrashFacts g_crash_facts{};

template <std::size_t N>
void copy_text(char (&out)[N], std::string_view text) {
  std::size_t n = std::min(text.size(), N - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// Darwin's major release runs six ahead of the OS major ("13.5" -> "19.5.0").
std::string kernel_release() {
  auto v = ProcessInfo::shared().operating_system_version();
  return std::to_string(v.major + 6) + "." + std::to_string(v.minor) + ".0";
}

bool tracer_attached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
  }
  return false;
}

}  // namespace

Uname uname() {
  const DeviceProfile& p = profile();
  std::string release = kernel_release();
  return Uname{"Darwin", p.device_name, release, "Darwin Kernel Version " + release, p.machine};
}

std::optional<std::string> sysctl_string(std::string_view name) {
  const DeviceProfile& p = profile();
  if (name == "hw.machine") return p.machine;
  if (name == "hw.model") return p.hw_model;
  if (name == "kern.osversion") return p.os_build;
  return std::nullopt;
}

std::optional<std::int64_t> sysctl_int(std::string_view name) {
  if (name == "hw.pagesize") return static_cast<std::int64_t>(::sysconf(_SC_PAGESIZE));
  if (name == "kern.boottime") return static_cast<std::int64_t>(dispatch::Clock::current().boot_time_since_1970());
  return std::nullopt;
}

bool debugger_attached() { return profile().debugger_attached || tracer_attached(); }

const CrashFacts& crash_facts() { return g_crash_facts; }

namespace detail {

void fill_crash_facts() {
  const DeviceProfile& p = profile();
  CrashFacts f{};
  copy_text(f.machine, p.machine);
  copy_text(f.model, p.hw_model);
  copy_text(f.os_version, p.system_version);
  copy_text(f.os_build, p.os_build);
  copy_text(f.kernel_release, kernel_release());
  copy_text(f.device_name, p.device_name);
  copy_text(f.bundle_identifier, state().bundle_id);
  copy_text(f.process_name, ProcessInfo::shared().process_name());
  f.pid = static_cast<std::int32_t>(::getpid());
  f.boot_time = *sysctl_int("kern.boottime");
  f.page_size = *sysctl_int("hw.pagesize");
  f.debugger_attached = debugger_attached();
  g_crash_facts = f;
}

void clear_crash_facts() { g_crash_facts = CrashFacts{}; }

}  // namespace detail

}  // namespace platform::os
