#include "platform/foundation/exception.h"

#include <execinfo.h>

#include <array>
#include <atomic>

namespace platform::foundation {
namespace {

std::atomic<UncaughtExceptionHandler> g_uncaught_handler{nullptr};

std::vector<std::uintptr_t> capture_call_stack() {
  std::array<void*, 128> frames{};
  int n = ::backtrace(frames.data(), static_cast<int>(frames.size()));
  std::vector<std::uintptr_t> out;
  out.reserve(static_cast<std::size_t>(n > 0 ? n : 0));
  for (int i = 0; i < n; ++i) out.push_back(reinterpret_cast<std::uintptr_t>(frames[static_cast<std::size_t>(i)]));
  return out;
}

}  // namespace

void Exception::raise(std::string name, std::string reason, Dict user_info) {
  Exception e(std::move(name), std::move(reason), std::move(user_info));
  e.call_stack_return_addresses = capture_call_stack();
  throw e;
}

void set_uncaught_exception_handler(UncaughtExceptionHandler handler) {
  g_uncaught_handler.store(handler, std::memory_order_release);
}

UncaughtExceptionHandler uncaught_exception_handler() {
  return g_uncaught_handler.load(std::memory_order_acquire);
}

}  // namespace platform::foundation
