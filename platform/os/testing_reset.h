#pragma once

namespace platform::os {

// Unboots the device: drops the profile, live state, bundles, preference
// domains (pending flushes are discarded, nothing is written), system-log
// clients and file faults. platform::testing::reset() calls it.
void reset_for_testing();

}  // namespace platform::os
