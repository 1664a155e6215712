// The session reporter: session starts ("_s"), engagement ("_e"), the
// session user properties and the sessions seam the engine asks for its
// reporter.
#include "analytics/sessions/session_reporter.h"

#include <cmath>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/model/value.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification.h"
#include "platform/os/facts.h"

namespace analytics {

namespace {

using platform::foundation::Dict;
using platform::foundation::Value;

APMMonitor& sessionMonitor() { return APMMeasurement::monitor(); }

Value sessionInt64(std::int64_t value) { return Value(value); }

// Seconds to a 64-bit integer, truncated toward zero (saturating).
std::int64_t sessionTruncated(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds >= 9.2233720368547758e18) return INT64_MAX;
  if (seconds <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<std::int64_t>(seconds);
}

class SessionsSeam final : public APMSessionsSeam {
 public:
  std::shared_ptr<APMSessionReporting> makeSessionReporter(APMPersistedConfig* persistedConfig) override {
    return APMSessionReporter::initWithPersistedConfig(persistedConfig);
  }
  APMEventRef createSessionStartEvent(std::optional<std::int64_t> sessionNumber, double timestamp) override {
    return APMCreateSessionStartEvent(sessionNumber, timestamp);
  }
};

}  // namespace

std::shared_ptr<APMSessionReporter> APMSessionReporter::initWithPersistedConfig(APMPersistedConfig* persistedConfig) {
  auto reporter = std::make_shared<APMSessionReporter>(Passkey{});
  const auto config = APMMeasurement::remoteConfig();
  reporter->persistedConfig_ = persistedConfig;
  reporter->minimumSessionInterval_ = config->sessionDefaultMinimumInterval();
  reporter->timeoutSessionInterval_ = config->sessionDefaultTimeoutInterval();
  reporter->engagementStartUptime_ = reporter->currentUptime();
  if (persistedConfig) {
    persistedConfig->setStartNewSession(reporter->shouldStartNewSession());
    persistedConfig->setEngagementTimeBeforeSessionStart(0);
  }
  reporter->sessionStartTimer_ = std::make_unique<APMAlarm>(platform::dispatch::Queue::main(), "Session timer");
  reporter->userEngagementTimer_ = std::make_unique<APMAlarm>(platform::dispatch::Queue::main(), "Engagement timer");
  return reporter;
}

std::shared_ptr<APMSessionReporter> APMSessionReporter::engineReporter() {
  if (!APMMeasurement::hasSharedInstance()) return nullptr;
  const auto engine = APMMeasurement::sharedInstance();
  if (!engine) return nullptr;
  return std::dynamic_pointer_cast<APMSessionReporter>(engine->sessionReporter());
}

APMSessionReporter::~APMSessionReporter() {
  if (sessionStartTimer_) sessionStartTimer_->cancel();
  if (userEngagementTimer_) userEngagementTimer_->cancel();
}

// ---- clocks ------------------------------------------------------------------------

double APMSessionReporter::currentClockTime() const {
  return platform::dispatch::Clock::current().now_since_1970();
}

double APMSessionReporter::currentUptime() const {
  const auto boot = platform::os::sysctl_int("kern.boottime");
  if (!boot || *boot == 0) return -1;
  return platform::dispatch::Clock::current().now_since_1970() - static_cast<double>(*boot);
}

double APMSessionReporter::incurredEngagementTime() const {
  const double incurred = currentUptime() - engagementStartUptime_.load();
  if (incurred < 0) {
    sessionMonitor().logWithLevel(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return incurred;
}

// ---- session state -----------------------------------------------------------------

bool APMSessionReporter::shouldStartNewSession() { return APMIsAppActive() && isSessionExpired(); }

bool APMSessionReporter::isSessionExpired() {
  const double last = persistedConfig_ ? persistedConfig_->lastSessionActivityClockTime() : 0;
  return std::fabs(currentClockTime() - last) > timeoutSessionInterval_.load();
}

bool APMSessionReporter::startPending() const { return persistedConfig_ && persistedConfig_->startNewSession(); }

bool APMSessionReporter::extendSession() {
  if (!APMMeasurement::remoteConfig()->sessionBackgroundEnabled() || isSessionExpired()) return false;
  if (persistedConfig_) persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
  if (!persistedConfig_) return;
  if (APMMeasurement::remoteConfig()->sessionNumberEnabled()) {
    persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  }
  persistedConfig_->setStartNewSession(false);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

APMUserAttributeRef APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return APMUserAttribute::initWithOrigin("auto", "_sid", APMValue::initWithInt64(sessionTruncated(timestamp)),
                                          timestamp);
}

APMUserAttributeRef APMSessionReporter::sessionNumberProperty() {
  const std::int64_t number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
  return APMUserAttribute::initWithOrigin("auto", "_sno", APMValue::initWithInt64(number), currentClockTime());
}

// ---- settings ----------------------------------------------------------------------

void APMSessionReporter::setReportingEnabled(bool enabled) {
  reportingEnabled_ = enabled;
  if (!enabled) return;
  if (startPending() && !sessionStartTimer_->hasActiveTimer()) rescheduleSessionStartTimer();
  if (APMIsAppActive() && !userEngagementTimer_->hasActiveTimer()) rescheduleUserEngagementTimer();
}

void APMSessionReporter::setMinimumSessionInterval(double seconds) {
  if (seconds < 0) {
    sessionMonitor().logWithLevel(4, 33000, "Received negative minimum session duration. Setting to 0.0 instead");
    seconds = 0;
  }
  minimumSessionInterval_ = seconds;
  if (startPending() && sessionStartTimer_->hasActiveTimer()) rescheduleSessionStartTimer();
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0) {
    sessionMonitor().logWithLevel(4, 33001, "Received negative timeout session duration. Setting to 0.0 instead");
    seconds = 0;
  }
  timeoutSessionInterval_ = seconds;
}

// ---- activation, resignation, screens ----------------------------------------------

void APMSessionReporter::handleAppDidBecomeActive() {
  engagementStartUptime_ = currentUptime();
  rescheduleUserEngagementTimer();
  if (!persistedConfig_) return;
  if (shouldStartNewSession()) {
    persistedConfig_->setStartNewSession(true);
    persistedConfig_->setEngagementTimeBeforeSessionStart(0);
  }
  if (!persistedConfig_->startNewSession()) return;
  setSessionID(std::nullopt, std::nullopt);
  if (APMMeasurement::remoteConfig()->sessionImmediateStartEnabled()) {
    logSessionStartEvent();
  } else {
    rescheduleSessionStartTimer();
  }
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const ScreenParameters& screen) {
  logUserEngagementEventWithScreen(screen);
  userEngagementTimer_->cancel();
  if (startPending()) {
    sessionStartTimer_->cancel();
    // Measured from the restart of the engagement event just logged.
    persistedConfig_->setEngagementTimeBeforeSessionStart(persistedConfig_->engagementTimeBeforeSessionStart() +
                                                          incurredEngagementTime());
  }
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const ScreenParameters& previousScreen,
                                                         const ScreenParameters&) {
  if (previousScreen && incurredEngagementTime() >= 1.0) logUserEngagementEventWithScreen(previousScreen);
}

// ---- events and timers -------------------------------------------------------------

void APMSessionReporter::rescheduleSessionStartTimer() {
  sessionMonitor().logWithLevel(7, 33002, "Scheduling session start timer");
  const double before = persistedConfig_ ? persistedConfig_->engagementTimeBeforeSessionStart() : 0;
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  sessionStartTimer_->runAfterDelay(minimumSessionInterval_.load() - before, [weak] {
    if (auto self = weak.lock()) self->logSessionStartEvent();
  });
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
  sessionMonitor().logWithLevel(7, 33003, "Scheduling user engagement timer");
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  userEngagementTimer_->runAfterDelay(APMMeasurement::remoteConfig()->sessionEventUserEngagementInterval(), [weak] {
    platform::foundation::NotificationCenter::default_center().post(
        std::string(kAPMSessionReporterEngagementTimerDidFire));
    if (auto self = weak.lock()) self->logUserEngagementEvent();
  });
}

void APMSessionReporter::logSessionStartEvent() {
  if (!APMIsAppActive()) {
    sessionMonitor().logWithLevel(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  updatePropertiesForNewSessionStart();
  if (!isReportingEnabled()) return;
  const auto config = APMMeasurement::remoteConfig();
  std::optional<std::int64_t> sessionID;
  std::optional<std::int64_t> sessionNumber;
  Dict parameters;
  if (config->sessionIDEnabled()) {
    sessionID = sessionTruncated(currentClockTime());
    parameters.set("_sid", sessionInt64(*sessionID));
  }
  if (config->sessionNumberEnabled()) {
    sessionNumber = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
    parameters.set("_sno", sessionInt64(*sessionNumber));
  }
  setSessionID(sessionID, sessionNumber);
  APMAnalytics::logInternalEventWithOrigin("auto", "_s", parameters);
}

void APMSessionReporter::logUserEngagementEvent() { logUserEngagementEventWithScreen(std::nullopt); }

void APMSessionReporter::logUserEngagementEventWithScreen(const ScreenParameters& screen) {
  if (!APMIsAppActive()) {
    sessionMonitor().logWithLevel(7, 33006, "User engagement event not logged. Application is not active");
    return;
  }
  if (isReportingEnabled()) {
    Dict parameters;
    parameters.set("_et", sessionInt64(sessionTruncated(incurredEngagementTime() * 1000)));
    if (screen) {
      for (const char* key : {"_sn", "_sc", "_si"}) {
        if (const Value* value = screen->find(key)) parameters.set(key, *value);
      }
    }
    APMAnalytics::logInternalEventWithOrigin("auto", "_e", parameters);
  }
  engagementStartUptime_ = currentUptime();
  if (persistedConfig_) persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimer();
}

void APMSessionReporter::setSessionID(std::optional<std::int64_t> sessionID,
                                      std::optional<std::int64_t> sessionNumber) {
  APMAnalytics::setInternalUserProperty(sessionID ? sessionInt64(*sessionID) : Value(), "_sid");
  APMAnalytics::setInternalUserProperty(sessionNumber ? sessionInt64(*sessionNumber) : Value(), "_sno");
}

// ---- builders and the seam ---------------------------------------------------------

APMEventRef APMCreateSessionStartEvent(std::optional<std::int64_t> sessionNumber, double timestamp) {
  Dict parameters;
  if (APMMeasurement::remoteConfig()->sessionIDEnabled()) {
    parameters.set("_sid", sessionInt64(sessionTruncated(timestamp)));
  }
  if (sessionNumber) parameters.set("_sno", sessionInt64(*sessionNumber));
  return APMEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
}

void APMSessionsInstall() { APMInstallSessionsSeam(std::make_shared<SessionsSeam>()); }

}  // namespace analytics
