#include "platform/os/syslog.h"

#include "platform/foundation/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/dispatch/clock.h"
#include "platform/os/detail.h"
#include "platform/os/process_info.h"
#include "platform/os/system.h"

namespace platform::os::syslog {

namespace {

std::mutex& file_mutex() {
  static std::mutex m;
  return m;
}

struct Default {
  std::mutex m;
  std::shared_ptr<Client> client;
};

Default& default_state() {
  static Default d;
  return d;
}

// A log line that cannot be written has nowhere to report to.
void write_all(int fd, std::string_view bytes) { (void)foundation::fd_io::write_all(fd, bytes); }

// "2026-12-10T12:58:15.123Z"
std::string iso_time(double since_1970) {
  double whole = std::floor(since_1970);
  std::time_t t = static_cast<std::time_t>(whole);
  int millis = static_cast<int>((since_1970 - whole) * 1000);
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec, std::min(millis, 999));
  return buf;
}

}  // namespace

std::string_view level_name(int level) {
  static constexpr std::string_view names[] = {"Emergency", "Alert", "Critical", "Error",
                                               "Warning",   "Notice", "Info",    "Debug"};
  return level >= 0 && level <= 7 ? names[level] : "Unknown";
}

std::shared_ptr<Client> Client::open(std::optional<std::string> ident, std::string facility, bool echo_stderr) {
  auto client = std::make_shared<Client>(std::move(ident), std::move(facility));
  if (echo_stderr) client->add_output(2);
  return client;
}

Client::Client(std::optional<std::string> ident, std::string facility)
    : ident_(std::move(ident)), facility_(std::move(facility)) {}

void Client::set_filter(std::uint32_t level_mask) {
  std::lock_guard lock(mutex_);
  filter_ = level_mask;
}

std::uint32_t Client::filter() const {
  std::lock_guard lock(mutex_);
  return filter_;
}

void Client::add_output(int fd) {
  std::lock_guard lock(mutex_);
  if (fd >= 0 && std::find(outputs_.begin(), outputs_.end(), fd) == outputs_.end()) outputs_.push_back(fd);
}

void Client::log(int level, std::string_view message) {
  if (level < emergency || level > debug) level = debug;
  std::string line;
  std::vector<int> outputs;
  {
    std::lock_guard lock(mutex_);
    if (!(filter_ & mask(level))) return;
    outputs = outputs_;
    const ProcessInfo& info = ProcessInfo::shared();
    line = iso_time(dispatch::Clock::current().now_since_1970()) + " " + (ident_ ? *ident_ : info.process_name()) +
           "[" + std::to_string(info.pid()) + "] " + facility_ + " " + std::string(level_name(level)) + ": ";
  }
  // One record per line: line breaks inside the message are written as "\n".
  for (char c : message) {
    if (c == '\n') line += "\\n";
    else if (c != '\r') line.push_back(c);
  }
  line.push_back('\n');

  std::lock_guard lock(file_mutex());
  if (booted()) {
    int fd = ::open(system_log_file().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      write_all(fd, line);
      ::close(fd);
    }
  }
  for (int fd : outputs) write_all(fd, line);
}

std::shared_ptr<Client> default_client() {
  Default& d = default_state();
  std::lock_guard lock(d.m);
  if (!d.client) d.client = Client::open(std::nullopt, "user", false);
  return d.client;
}

void log(int level, std::string_view message) { default_client()->log(level, message); }

}  // namespace platform::os::syslog

namespace platform::os::detail {
void reset_syslog() {
  auto& d = syslog::default_state();
  std::lock_guard lock(d.m);
  d.client.reset();
}
}  // namespace platform::os::detail
