#pragma once
// APMSessionReporter: decides when an analytics session starts and ends and
// measures engagement (time active in the foreground). It logs "_s" and "_e"
// through the analytics entry and keeps "_sid"/"_sno" as internal user
// properties. The engine owns one instance (made through the sessions seam);
// APMSessionsInstall() puts that seam in place.
//
// Threads: activation, resignation and screen changes arrive on the main
// thread (screen changes from within the screen reporter's queue while main
// waits); both alarms fire on the main queue. The engine's worker calls
// isSessionExpired, extendSession, updatePropertiesForNewSessionStart and
// the property builders; those touch only the persisted configuration,
// whose accessors are serialised.
//
// A screen is handed over as its parameters ("_sn", "_sc", "_si", what
// APMScreenParameters gives for it); nullopt stands for no screen.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "analytics/engine_seams.h"
#include "analytics/model/event.h"
#include "analytics/model/records.h"
#include "platform/foundation/value.h"

namespace analytics {

class APMAlarm;
class APMPersistedConfig;

// Posted on the default centre (no object) each time the engagement timer fires.
inline constexpr std::string_view kAPMSessionReporterEngagementTimerDidFire =
    "kAPMSessionReporterEngagementTimerDidFire";

class APMSessionReporter : public APMSessionReporting, public std::enable_shared_from_this<APMSessionReporter> {
 public:
  using ScreenParameters = std::optional<platform::foundation::Dict>;

  static std::shared_ptr<APMSessionReporter> initWithPersistedConfig(APMPersistedConfig* persistedConfig);
  // The engine's reporter when the engine exists and has one; nullptr otherwise.
  static std::shared_ptr<APMSessionReporter> engineReporter();
  ~APMSessionReporter() override;
  APMSessionReporter(const APMSessionReporter&) = delete;
  APMSessionReporter& operator=(const APMSessionReporter&) = delete;

  // ---- engine side (APMSessionReporting) ----
  bool isSessionExpired() override;
  bool extendSession() override;
  void updatePropertiesForNewSessionStart() override;
  APMUserAttributeRef sessionIDPropertyWithTimestamp(double timestamp) override;
  APMUserAttributeRef sessionNumberProperty() override;
  void setReportingEnabled(bool enabled) override;
  void setMinimumSessionInterval(double seconds) override;
  void setTimeoutSessionInterval(double seconds) override;

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  double minimumSessionInterval() const { return minimumSessionInterval_.load(); }
  double timeoutSessionInterval() const { return timeoutSessionInterval_.load(); }
  bool shouldStartNewSession();

  // ---- screen reporter side (main thread) ----
  void handleAppDidBecomeActive() override;
  void handleAppWillResignActiveWithScreen(const ScreenParameters& screen);
  void handleScreenDidChangeFromScreen(const ScreenParameters& previousScreen, const ScreenParameters& nextScreen);

  // ---- events and timers (main thread) ----
  void logSessionStartEvent();
  void logUserEngagementEvent();
  void logUserEngagementEventWithScreen(const ScreenParameters& screen);
  void rescheduleSessionStartTimer();
  void rescheduleUserEngagementTimer();
  // Sets or (nullopt) clears the internal user properties "_sid" and "_sno".
  void setSessionID(std::optional<std::int64_t> sessionID, std::optional<std::int64_t> sessionNumber);

  // ---- clocks ----
  // Seconds since 1970.
  double currentClockTime() const;
  // Seconds since boot: wall clock minus the kernel's boot time; -1 when unknown.
  double currentUptime() const;
  // Uptime since the engagement start; negative logs 33004 and yields 0.
  double incurredEngagementTime() const;

  APMAlarm& sessionStartTimer() const { return *sessionStartTimer_; }
  APMAlarm& userEngagementTimer() const { return *userEngagementTimer_; }

  struct Passkey {
   private:
    Passkey() = default;
    friend class APMSessionReporter;
  };
  explicit APMSessionReporter(Passkey);

 private:
  APMPersistedConfig* persistedConfig_ = nullptr;
  // A session start is pending (the persisted flag).
  bool startPending() const;

  std::unique_ptr<APMAlarm> sessionStartTimer_;
  std::unique_ptr<APMAlarm> userEngagementTimer_;
  std::atomic<double> engagementStartUptime_{0};
  std::atomic<bool> reportingEnabled_{false};
  std::atomic<double> minimumSessionInterval_{0};
  std::atomic<double> timeoutSessionInterval_{0};
};

// "_s" with origin "auto": "_sid" (the timestamp truncated) when session IDs
// are enabled, "_sno" when a session number is given.
APMEventRef APMCreateSessionStartEvent(std::optional<std::int64_t> sessionNumber, double timestamp);

// Installs the sessions seam (the engine's reporter is an APMSessionReporter).
void APMSessionsInstall();

}  // namespace analytics
