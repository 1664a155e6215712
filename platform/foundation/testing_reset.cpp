#include "platform/foundation/testing_reset.h"

#include "platform/foundation/console.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/notification.h"

namespace platform::foundation {

void reset_for_testing() {
  NotificationQueue::default_queue().reset_for_testing();
  NotificationCenter::default_center().reset_for_testing();
  console::reset_for_testing();
  set_uncaught_exception_handler(nullptr);
}

}  // namespace platform::foundation
