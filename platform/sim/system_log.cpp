// The device's system log as the scenario player reads it: the records
// appended to Logs/system.log since boot.
#include <fstream>
#include <mutex>
#include <system_error>

#include "platform/os/system.h"
#include "platform/sim/internal.h"
#include "platform/sim/output.h"

namespace platform::sim {

namespace {

struct SystemLogMark {
  std::mutex mutex;
  std::uintmax_t start = 0;   // the file's size at boot
};

SystemLogMark& mark() {
  static SystemLogMark* m = new SystemLogMark;
  return *m;
}

}  // namespace

std::vector<std::string> system_log_lines() {
  std::uintmax_t start = 0;
  {
    std::lock_guard lock(mark().mutex);
    start = mark().start;
  }
  std::vector<std::string> lines;
  const auto path = os::system_log_file();
  if (path.empty()) return lines;
  std::ifstream in(path, std::ios::binary);
  if (!in) return lines;
  in.seekg(static_cast<std::streamoff>(start));
  std::string line;
  while (std::getline(in, line)) {
    // A record still being written has no line break yet: it waits for the next read.
    if (in.eof()) break;
    lines.push_back(std::move(line));
  }
  return lines;
}

namespace detail {

void mark_system_log_start() {
  std::error_code ec;
  const auto path = os::system_log_file();
  const std::uintmax_t size = path.empty() ? 0 : std::filesystem::file_size(path, ec);
  std::lock_guard lock(mark().mutex);
  mark().start = ec ? 0 : size;
}

void reset_system_log_mark() {
  std::lock_guard lock(mark().mutex);
  mark().start = 0;
}

}  // namespace detail
}  // namespace platform::sim
