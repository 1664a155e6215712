#pragma once
// The messages clients send to the advertising-identifier class found by name
// ("ASIdentifierManager"): the platform does not provide it, so a test or a
// later layer registers it with these declarations. Callable from any thread.
#include "platform/foundation/uuid.h"
#include "platform/runtime/runtime.h"

namespace platform::os::ad_sel {

// +[ASIdentifierManager sharedManager].
inline const rt::ClassSel<rt::Id()> sharedManager{"sharedManager"};
// -advertisingTrackingEnabled (the getter "isAdvertisingTrackingEnabled").
inline const rt::Sel<bool()> advertisingTrackingEnabled{"advertisingTrackingEnabled"};
// -advertisingIdentifier.
inline const rt::Sel<foundation::Uuid()> advertisingIdentifier{"advertisingIdentifier"};

}  // namespace platform::os::ad_sel
