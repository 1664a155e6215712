#include "platform/testing/capture.h"

#include "platform/foundation/console.h"

namespace platform::testing {

namespace console = foundation::console;

CaptureSinks::CaptureSinks() {
  auto r = record_;
  console::set_out_sink([r](std::string_view b) { std::lock_guard l(r->mutex); r->out.append(b); });
  console::set_err_sink([r](std::string_view b) { std::lock_guard l(r->mutex); r->err.append(b); });
  console::set_log_sink([r](std::string_view b) { std::lock_guard l(r->mutex); r->log.emplace_back(b); });
  console::set_system_log([r](std::string_view b) { std::lock_guard l(r->mutex); r->system_log.emplace_back(b); });
}

CaptureSinks::~CaptureSinks() {
  console::set_out_sink(nullptr);
  console::set_err_sink(nullptr);
  console::set_log_sink(nullptr);
  console::set_system_log(nullptr);
}

std::string CaptureSinks::out() const { std::lock_guard l(record_->mutex); return record_->out; }
std::string CaptureSinks::err() const { std::lock_guard l(record_->mutex); return record_->err; }
std::vector<std::string> CaptureSinks::log_lines() const { std::lock_guard l(record_->mutex); return record_->log; }
std::vector<std::string> CaptureSinks::system_log() const {
  std::lock_guard l(record_->mutex);
  return record_->system_log;
}

void CaptureSinks::clear() {
  std::lock_guard l(record_->mutex);
  record_->out.clear();
  record_->err.clear();
  record_->log.clear();
  record_->system_log.clear();
}

}  // namespace platform::testing
