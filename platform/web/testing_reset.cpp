#include "platform/web/testing_reset.h"

#include "platform/web/internal.h"

namespace platform::web {

namespace detail {
void reset_evaluator();
}

void reset_for_testing() {
  detail::reset_default_store();
  detail::reset_observers();
  detail::reset_evaluator();
}

}  // namespace platform::web
