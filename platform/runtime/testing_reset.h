#pragma once

namespace platform::rt {

// Back to a fresh registry holding only the base classes, with no load hook
// remembered as run. Class pointers taken before are dangling afterwards.
void reset_for_testing();

}  // namespace platform::rt
