// Back to load values for the facade features' process-wide state.
#include "push/focus_time.h"
#include "push/location.h"
#include "push/purchases.h"
#include "push/reraviror.h"

namespace push {

void clearIosParamsStatics();
void clearEmailStatics();
void clearPromptStatics();
void clearTagStatics();

void RerAviror::clearFeatureStatics() {
  clearIosParamsStatics();
  clearEmailStatics();
  clearPromptStatics();
  clearTagStatics();
  RerAvirorLocation::resetLocals();
  RerAvirorTracker::resetLocals();
  RerAvirorTrackIAP::resetShared();
}

}  // namespace push
