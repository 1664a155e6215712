#pragma once

namespace platform::web {

// Forgets the default data store, the page observers and the script evaluator.
void reset_for_testing();

}  // namespace platform::web
