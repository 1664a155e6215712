#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace platform::testing {

// While alive, captures the console's standard output, standard error and
// logged lines, and the system-log lines, instead of writing them out.
class CaptureSinks {
 public:
  CaptureSinks();
  ~CaptureSinks();
  CaptureSinks(const CaptureSinks&) = delete;
  CaptureSinks& operator=(const CaptureSinks&) = delete;

  std::string out() const;                       // everything written to standard output
  std::string err() const;                       // everything written to standard error
  std::vector<std::string> log_lines() const;    // console::log_line() lines
  std::vector<std::string> system_log() const;   // lines that reached the system log
  void clear();

 private:
  mutable std::mutex mutex_;
  std::string out_, err_;
  std::vector<std::string> log_, system_log_;
};

}  // namespace platform::testing
