#pragma once
// Registration state outside the facade's clearStatics list.

namespace push {

// The registration queue, the in-progress and priority flags, the pending
// token blocks and the error status back to load values (tests).
void resetRegistrationStatics();

}  // namespace push
