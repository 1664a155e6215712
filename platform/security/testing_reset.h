#pragma once

namespace platform::security {

// Drops the module's caches (the parsed keychain file, the system anchor
// store). Keychain items live in the device's file and are not touched.
// platform::testing::reset() calls it.
void reset_for_testing();

}  // namespace platform::security
