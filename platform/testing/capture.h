#pragma once

#include <memory>
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
  // Shared with the installed sinks: a line written on another thread while
  // the capture goes away lands here instead of in freed memory.
  struct Record {
    std::mutex mutex;
    std::string out, err;
    std::vector<std::string> log, system_log;
  };
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

}  // namespace platform::testing
