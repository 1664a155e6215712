#include "platform/os/process_info.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>
#include <thread>

#include "platform/dispatch/clock.h"
#include "platform/os/bundle.h"
#include "platform/os/detail.h"

namespace platform::os {

namespace detail {
std::atomic<bool>& low_power_flag() {
  static std::atomic<bool> flag{false};
  return flag;
}
}  // namespace detail

namespace {

struct FoundationVersion {
  int major, minor;
  double number;
};

// NSFoundationVersionNumber by OS release (the first release of each line that changed it).
constexpr std::array<FoundationVersion, 21> kFoundationVersions{{
    {5, 0, 881.00},   {6, 0, 993.00},    {7, 0, 1047.20},   {7, 1, 1047.25},   {8, 0, 1140.11},
    {8, 1, 1141.10},  {8, 2, 1142.14},   {8, 3, 1144.17},   {9, 0, 1240.10},   {9, 1, 1241.14},
    {9, 2, 1242.12},  {9, 4, 1280.25},   {10, 0, 1348.00},  {10, 3, 1349.55},  {11, 0, 1443.14},
    {12, 0, 1556.00}, {13, 0, 1673.126}, {14, 0, 1751.108}, {15, 0, 1854.00},  {16, 0, 1953.00},
    {17, 0, 2048.00},
}};

int parse_part(const std::string& text, std::size_t& at) {
  int value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    value = std::min(value * 10 + (text[at] - '0'), 1000000);
    ++at;
  }
  if (at < text.size() && text[at] == '.') ++at;
  return value;
}

}  // namespace

ProcessInfo& ProcessInfo::shared() {
  static ProcessInfo info;
  return info;
}

const std::vector<std::string>& ProcessInfo::arguments() const { return profile().launch_arguments; }

const std::map<std::string, std::string>& ProcessInfo::environment() const { return profile().environment; }

std::string ProcessInfo::process_name() const {
  const Bundle& main = Bundle::main();
  if (const std::string* exe = main.object_for_info_key("CFBundleExecutable").string(); exe && !exe->empty()) return *exe;
  if (!main.path().empty()) return main.path().stem().string();
  return program_invocation_short_name;
}

int ProcessInfo::pid() const { return static_cast<int>(::getpid()); }

std::string ProcessInfo::globally_unique_string() const {
  std::array<std::uint8_t, 16> b{};
  if (::getrandom(b.data(), b.size(), 0) != static_cast<ssize_t>(b.size())) {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
  char out[37];
  std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2],
                b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

ProcessInfo::OsVersion ProcessInfo::operating_system_version() const {
  const std::string& text = profile().system_version;
  std::size_t at = 0;
  OsVersion v;
  v.major = parse_part(text, at);
  v.minor = parse_part(text, at);
  v.patch = parse_part(text, at);
  return v;
}

bool ProcessInfo::at_least(OsVersion version) const {
  OsVersion v = operating_system_version();
  if (v.major != version.major) return v.major > version.major;
  if (v.minor != version.minor) return v.minor > version.minor;
  return v.patch >= version.patch;
}

ActivityToken ProcessInfo::begin_activity(std::uint64_t options, std::string reason) {
  std::lock_guard lock(mutex_);
  ActivityToken token = next_token_++;
  activities_.push_back({token, options, std::move(reason)});
  return token;
}

void ProcessInfo::end_activity(ActivityToken token) {
  std::lock_guard lock(mutex_);
  std::erase_if(activities_, [&](const Activity& a) { return a.token == token; });
}

std::vector<std::string> ProcessInfo::active_activities() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> reasons;
  for (const Activity& a : activities_) reasons.push_back(a.reason);
  return reasons;
}

bool ProcessInfo::low_power_mode_enabled() const { return detail::low_power_flag().load(); }

double ProcessInfo::system_uptime() const { return dispatch::uptime(); }

unsigned ProcessInfo::processor_count() const { return std::max(1u, std::thread::hardware_concurrency()); }

double ProcessInfo::foundation_version_number() const {
  OsVersion v = operating_system_version();
  double number = kFoundationVersions.front().number;
  for (const FoundationVersion& f : kFoundationVersions) {
    if (v.major > f.major || (v.major == f.major && v.minor >= f.minor)) number = f.number;
  }
  return number;
}

int ProcessInfo::seconds_from_gmt() const {
  std::time_t now = static_cast<std::time_t>(dispatch::Clock::current().now_since_1970());
  std::tm local{};
  ::localtime_r(&now, &local);
  return static_cast<int>(local.tm_gmtoff);
}

namespace detail {
void reset_process_info() {
  ProcessInfo& info = ProcessInfo::shared();
  std::lock_guard lock(info.mutex_);
  info.activities_.clear();
  info.next_token_ = 1;
  low_power_flag().store(false);
}
}  // namespace detail

}  // namespace platform::os
