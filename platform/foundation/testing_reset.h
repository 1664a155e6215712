#pragma once

namespace platform::foundation {

// Puts the foundation module's process-wide state back to its first-use
// state: the default notification centre's observers, the default
// notification queue's pending posts, the console sinks and the uncaught
// exception handler. Called by platform::testing::reset().
void reset_for_testing();

}  // namespace platform::foundation
