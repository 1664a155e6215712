#include "platform/dispatch/testing_reset.h"

#include "platform/dispatch/clock.h"
#include "platform/dispatch/detail.h"

namespace platform::dispatch {

void reset_for_testing() {
  // Drop the deadlines before and after the switch: a deadline of the manual
  // clock's time line must never fire early on the real one.
  detail::timer_clear_all();
  Clock::install(nullptr);
  detail::timer_clear_all();
  detail::reset_operation_queues();
  detail::reset_queues();
  detail::reset_run_loops();
}

}  // namespace platform::dispatch
