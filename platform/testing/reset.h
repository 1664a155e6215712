#pragma once

namespace platform::testing {

// Puts every platform singleton back to its first-use state, so platform unit
// tests can share one process. Call from a fixture's TearDown.
void reset();

}  // namespace platform::testing
