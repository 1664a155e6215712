#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/console.h"
#include "platform/os/system.h"
#include "platform/ui/internal.h"
#include "platform/ui/main_thread.h"
#include "platform/ui/once.h"
#include "platform/ui/testing_reset.h"

namespace platform::ui {

namespace {
std::atomic<bool> g_fatal{false};
}

void check_main_thread(const char* function) {
  if (!os::booted() || dispatch::is_main_thread()) return;
  foundation::console::log_line(std::string("[platform] UI API called off the main thread: ") + function);
  if (g_fatal.load()) std::abort();
}

void set_main_thread_check_fatal(bool fatal) { g_fatal = fatal; }

namespace detail {

void log_repeated_completion(const std::string& what) {
  foundation::console::log_line("[platform] completion called more than once, ignored: " + what);
}

State& state() {
  static State s;
  return s;
}

void set_shared_application(std::shared_ptr<Application> app) {
  std::lock_guard lock(state().mutex);
  state().application = std::move(app);
}

void next_turn(std::function<void()> fn) {
  if (fn) dispatch::Queue::main().async(std::move(fn));
}

}  // namespace detail

void reset_for_testing() {
  std::shared_ptr<Application> app;
  {
    std::lock_guard lock(detail::state().mutex);
    app = std::move(detail::state().application);
    detail::state().storyboards.clear();
  }
  g_fatal = false;
  Device::current().orientation_ = 1;
  app.reset();
}

}  // namespace platform::ui
