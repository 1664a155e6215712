#pragma once
// Internal: cache resets of the module's parts, called by reset_for_testing.

namespace platform::security::detail {
void reset_trust_caches();
void reset_keychain_cache();
}  // namespace platform::security::detail
