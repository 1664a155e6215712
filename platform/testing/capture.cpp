#include "platform/testing/capture.h"

#include "platform/foundation/console.h"

namespace platform::testing {

namespace console = foundation::console;

CaptureSinks::CaptureSinks() {
  console::set_out_sink([this](std::string_view b) { std::lock_guard l(mutex_); out_.append(b); });
  console::set_err_sink([this](std::string_view b) { std::lock_guard l(mutex_); err_.append(b); });
  console::set_log_sink([this](std::string_view b) { std::lock_guard l(mutex_); log_.emplace_back(b); });
  console::set_system_log([this](std::string_view b) { std::lock_guard l(mutex_); system_log_.emplace_back(b); });
}

CaptureSinks::~CaptureSinks() {
  console::set_out_sink(nullptr);
  console::set_err_sink(nullptr);
  console::set_log_sink(nullptr);
  console::set_system_log(nullptr);
}

std::string CaptureSinks::out() const { std::lock_guard l(mutex_); return out_; }
std::string CaptureSinks::err() const { std::lock_guard l(mutex_); return err_; }
std::vector<std::string> CaptureSinks::log_lines() const { std::lock_guard l(mutex_); return log_; }
std::vector<std::string> CaptureSinks::system_log() const { std::lock_guard l(mutex_); return system_log_; }

void CaptureSinks::clear() {
  std::lock_guard l(mutex_);
  out_.clear();
  err_.clear();
  log_.clear();
  system_log_.clear();
}

}  // namespace platform::testing
