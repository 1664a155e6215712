#pragma once
// The device's system log. Each message becomes one line
//   <ISO time> <process>[<pid>] <facility> <Level>: message
// appended to <device>/Logs/system.log and copied to the client's added outputs.
// A line break inside a message is written as a backslash and "n".
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::os::syslog {

enum Level : int { emergency = 0, alert, critical, error, warning, notice, info, debug };

constexpr std::uint32_t mask(int level) { return 1u << level; }
constexpr std::uint32_t mask_upto(int level) { return (2u << level) - 1; }

std::string_view level_name(int level);  // "Emergency" ... "Debug"

class Client {
 public:
  // `ident` replaces the process name in the lines; `echo_stderr` adds
  // standard error as an output.
  static std::shared_ptr<Client> open(std::optional<std::string> ident, std::string facility, bool echo_stderr);

  // Levels whose bit is set are logged; all levels pass until set.
  void set_filter(std::uint32_t level_mask);
  std::uint32_t filter() const;
  void add_output(int fd);
  void log(int level, std::string_view message);

  Client(std::optional<std::string> ident, std::string facility);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> ident_;
  std::string facility_;
  std::uint32_t filter_ = mask_upto(debug);
  std::vector<int> outputs_;
};

// The default client (facility "user"): NSLog lines and the platform's own messages.
void log(int level, std::string_view message);
std::shared_ptr<Client> default_client();

}  // namespace platform::os::syslog
