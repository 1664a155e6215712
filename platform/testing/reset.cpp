#include "platform/testing/reset.h"

#include "platform/dispatch/testing_reset.h"
#include "platform/foundation/testing_reset.h"
#include "platform/kernel/loader.h"
#include "platform/location/testing_reset.h"
#include "platform/net/testing_reset.h"
#include "platform/notify/testing_reset.h"
#include "platform/store/testing_reset.h"
#include "platform/os/testing_reset.h"
#include "platform/runtime/testing_reset.h"
#include "platform/security/testing_reset.h"
#include "platform/ui/testing_reset.h"
#include "platform/web/testing_reset.h"

// Each module exposes its own reset hook; they run from the top of the
// dependency graph down, so no module is reset while a user of it still holds state.
namespace platform::testing {

void reset() {
  // security, os, foundation, dispatch, runtime hooks are added as the modules land.
  platform::web::reset_for_testing();
  platform::ui::reset_for_testing();
  platform::notify::reset_for_testing();
  platform::store::reset_for_testing();
  platform::location::reset_for_testing();
  platform::net::reset_for_testing();
  platform::security::reset_for_testing();
  platform::os::reset_for_testing();
  platform::foundation::reset_for_testing();
  platform::dispatch::reset_for_testing();
  platform::rt::reset_for_testing();
  platform::kernel::reset_for_testing();
}

}  // namespace platform::testing
