// The session reporter: session starts, engagement measurement and the
// sessions seam.
#include "analytics/sessions/session_reporter.h"

#include "analytics/config/scheduler.h"

namespace analytics {

std::shared_ptr<APMSessionReporter> APMSessionReporter::initWithPersistedConfig(APMPersistedConfig* persistedConfig) {
  auto reporter = std::make_shared<APMSessionReporter>(Passkey{});
  reporter->persistedConfig_ = persistedConfig;
  reporter->sessionStartTimer_ = std::make_unique<APMAlarm>(platform::dispatch::Queue::main(), "Session timer");
  reporter->userEngagementTimer_ = std::make_unique<APMAlarm>(platform::dispatch::Queue::main(), "Engagement timer");
  return reporter;
}
std::shared_ptr<APMSessionReporter> APMSessionReporter::engineReporter() { return nullptr; }
APMSessionReporter::~APMSessionReporter() = default;
bool APMSessionReporter::isSessionExpired() { return false; }
bool APMSessionReporter::extendSession() { return false; }
void APMSessionReporter::updatePropertiesForNewSessionStart() {}
APMUserAttributeRef APMSessionReporter::sessionIDPropertyWithTimestamp(double) { return nullptr; }
APMUserAttributeRef APMSessionReporter::sessionNumberProperty() { return nullptr; }
void APMSessionReporter::setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }
void APMSessionReporter::setMinimumSessionInterval(double seconds) { minimumSessionInterval_ = seconds; }
void APMSessionReporter::setTimeoutSessionInterval(double seconds) { timeoutSessionInterval_ = seconds; }
bool APMSessionReporter::shouldStartNewSession() { return false; }
void APMSessionReporter::handleAppDidBecomeActive() {}
void APMSessionReporter::handleAppWillResignActiveWithScreen(const ScreenParameters&) {}
void APMSessionReporter::handleScreenDidChangeFromScreen(const ScreenParameters&, const ScreenParameters&) {}
void APMSessionReporter::logSessionStartEvent() {}
void APMSessionReporter::logUserEngagementEvent() {}
void APMSessionReporter::logUserEngagementEventWithScreen(const ScreenParameters&) {}
void APMSessionReporter::rescheduleSessionStartTimer() {}
void APMSessionReporter::rescheduleUserEngagementTimer() {}
void APMSessionReporter::setSessionID(std::optional<std::int64_t>, std::optional<std::int64_t>) {}
double APMSessionReporter::currentClockTime() const { return 0; }
double APMSessionReporter::currentUptime() const { return 0; }
double APMSessionReporter::incurredEngagementTime() const { return 0; }

APMEventRef APMCreateSessionStartEvent(std::optional<std::int64_t>, double) { return nullptr; }
void APMSessionsInstall() {}

}  // namespace analytics
