#pragma once
// What the screen reporter tells the session reporter (when the engine
// exists) and the ad exposure reporter: activation, resignation with the
// current screen, and screen changes. Main thread, or the screen reporter's
// queue for screen changes.
#include "analytics/sessions/screen.h"

namespace analytics {

void APMForwardActivationToSessions();
void APMForwardActivationToAdExposure();
void APMForwardResignationToSessions(const APMScreenRef& screen);
void APMForwardResignationToAdExposure(const APMScreenRef& screen);
void APMForwardScreenChangeToSessions(const APMScreenRef& previousScreen, const APMScreenRef& newScreen);
void APMForwardScreenChangeToAdExposure(const APMScreenRef& previousScreen, const APMScreenRef& newScreen);

}  // namespace analytics
