#pragma once

namespace platform::dispatch {

// Puts the dispatch module back to its first-use state for the next test:
// the real clock is installed again, every pending deadline (after, timers,
// delayed performs, timer sources) is dropped, the main queue, the main run
// loop and the main operation queue lose their pending work, and RunLoop::main()
// is bound to the process's initial thread again. Pool threads stay; work
// already running on them is not interrupted. Called by platform::testing::reset().
void reset_for_testing();

}  // namespace platform::dispatch
