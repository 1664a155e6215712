#include "platform/security/testing_reset.h"

#include "platform/security/security_internal.h"

namespace platform::security {

void reset_for_testing() {
  detail::reset_keychain_cache();
  detail::reset_trust_caches();
}

}  // namespace platform::security
