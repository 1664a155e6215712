#pragma once

namespace platform::net {

// Cancels every task of every live session, joins the engine's workers and
// forgets the shared session, the shared cookie storage and the shared
// credential storage.
void reset_for_testing();

}  // namespace platform::net
