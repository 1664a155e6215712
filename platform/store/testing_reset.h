#pragma once

namespace platform::store {

// Drops the default queue's observers and open transactions.
void reset_for_testing();

}  // namespace platform::store
