#pragma once

namespace platform::location {

// Forgets the authorisation and the live managers.
void reset_for_testing();

}  // namespace platform::location
