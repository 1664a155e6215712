#pragma once

namespace platform::notify {

// Drops the centre (its delegate, categories, delivered notifications and
// pending prompts). platform::testing::reset() calls it before the runtime reset.
void reset_for_testing();

}  // namespace platform::notify
