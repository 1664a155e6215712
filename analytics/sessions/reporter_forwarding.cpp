// The screen reporter's calls into the session and ad exposure reporters.
#include "analytics/sessions/reporter_forwarding.h"

#include "analytics/engine/measurement.h"

namespace analytics {

void APMForwardActivationToSessions() {}
void APMForwardActivationToAdExposure() {}
void APMForwardResignationToSessions(const APMScreenRef&) {}
void APMForwardResignationToAdExposure(const APMScreenRef&) {}
void APMForwardScreenChangeToSessions(const APMScreenRef&, const APMScreenRef&) {}
void APMForwardScreenChangeToAdExposure(const APMScreenRef&, const APMScreenRef&) {}

}  // namespace analytics
