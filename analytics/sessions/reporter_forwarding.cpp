// The screen reporter's calls into the session and ad exposure reporters; a
// screen travels as its parameters.
#include "analytics/sessions/reporter_forwarding.h"

#include "analytics/engine/measurement.h"
#include "analytics/sessions/ad_exposure_reporter.h"
#include "analytics/sessions/session_reporter.h"

namespace analytics {

namespace {

std::optional<platform::foundation::Dict> forwardedScreen(const APMScreenRef& screen) {
  if (!screen) return std::nullopt;
  return APMScreenParameters(screen);
}

std::shared_ptr<APMSessionReporter> forwardedSessionReporter() {
  return APMMeasurement::hasSharedInstance() ? APMSessionReporter::engineReporter() : nullptr;
}

}  // namespace

void APMForwardActivationToSessions() {
  if (auto sessions = forwardedSessionReporter()) sessions->handleAppDidBecomeActive();
}

void APMForwardActivationToAdExposure() { APMAdExposureReporter::sharedInstance()->handleAppDidBecomeActive(); }

void APMForwardResignationToSessions(const APMScreenRef& screen) {
  if (auto sessions = forwardedSessionReporter()) sessions->handleAppWillResignActiveWithScreen(forwardedScreen(screen));
}

void APMForwardResignationToAdExposure(const APMScreenRef& screen) {
  APMAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(forwardedScreen(screen));
}

void APMForwardScreenChangeToSessions(const APMScreenRef& previousScreen, const APMScreenRef& newScreen) {
  if (auto sessions = forwardedSessionReporter()) {
    sessions->handleScreenDidChangeFromScreen(forwardedScreen(previousScreen), forwardedScreen(newScreen));
  }
}

void APMForwardScreenChangeToAdExposure(const APMScreenRef& previousScreen, const APMScreenRef& newScreen) {
  APMAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(forwardedScreen(previousScreen),
                                                                            forwardedScreen(newScreen));
}

}  // namespace analytics
