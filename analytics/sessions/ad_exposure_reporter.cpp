// The ad exposure reporter: open ad units with their measuring intervals,
// the unit ("_xu") and total ("_xa") exposure events, and the cuts at screen
// changes, engagement ticks, activation and resignation.
#include "analytics/sessions/ad_exposure_reporter.h"

#include <cmath>
#include <map>
#include <vector>

#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine_seams.h"
#include "analytics/identity/environment.h"
#include "analytics/sessions/session_reporter.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/notification.h"
#include "platform/os/facts.h"

namespace analytics {

namespace {

using platform::foundation::Dict;
using platform::foundation::Value;

APMMonitor& adExposureMonitor() { return APMMeasurement::monitor(); }

// The current screen's parameters; empty without screen tracking.
Dict adExposureCurrentScreenParameters() {
  const auto screens = APMScreensSeamInstalled();
  return screens ? screens->screenParameters() : Dict();
}

// (end − start) seconds in whole milliseconds, truncated toward zero.
std::int64_t adExposureMilliseconds(double start, double end) {
  const double ms = (end - start) * 1000;
  if (std::isnan(ms)) return 0;
  if (ms >= 9.2233720368547758e18) return INT64_MAX;
  if (ms <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<std::int64_t>(ms);
}

}  // namespace

// Touched on the reporter's queue only. Units keep the order they opened in.
struct APMAdExposureReporter::State {
  struct Unit {
    std::string id;
    std::int64_t count = 0;
    double startTime = 0;
  };
  std::vector<Unit> units;
  double adExposureStartTime = 0;

  Unit* find(const std::string& id) {
    for (auto& unit : units) {
      if (unit.id == id) return &unit;
    }
    return nullptr;
  }
};

APMAdExposureReporter::APMAdExposureReporter(Passkey)
    : queue_(platform::dispatch::Queue::serial("APMAdExposureReporter")), state_(std::make_unique<State>()) {
  state_->adExposureStartTime = currentTime();
}

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
  // Kept for the life of the process: the engagement observation refers to it.
  static const auto* shared = new std::shared_ptr<APMAdExposureReporter>(create());
  return *shared;
}

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::create() {
  auto reporter = std::make_shared<APMAdExposureReporter>(Passkey{});
  reporter->observeEngagementTimer();
  return reporter;
}

APMAdExposureReporter::~APMAdExposureReporter() {
  if (observation_) observation_->remove();
}

void APMAdExposureReporter::observeEngagementTimer() {
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  observation_ = std::make_unique<platform::foundation::ObserverToken>(
      platform::foundation::NotificationCenter::default_center().add_observer(
          this, std::string(kAPMSessionReporterEngagementTimerDidFire), nullptr, nullptr,
          [weak](const platform::foundation::Notification&) {
            if (auto self = weak.lock()) self->handleEngagementTimer();
          }));
}

double APMAdExposureReporter::currentTime() {
  const auto boot = platform::os::sysctl_int("kern.boottime");
  if (!boot || *boot == 0) return -1;
  return platform::dispatch::Clock::current().now_since_1970() - static_cast<double>(*boot);
}

// ---- units -------------------------------------------------------------------------

void APMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    adExposureMonitor().logWithLevel(4, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  auto self = shared_from_this();
  queue_.async([self, adUnitID, time] {
    State& state = *self->state_;
    if (state.units.size() >= kMaxAdUnits) {
      adExposureMonitor().logWithLevel(4, 1002, "Reached limit on ad units. Ignoring ad unit with ID", Value(adUnitID));
      return;
    }
    if (state.units.empty()) state.adExposureStartTime = time;
    State::Unit* unit = state.find(adUnitID);
    if (!unit) {
      state.units.push_back({adUnitID, 0, time});
      unit = &state.units.back();
    }
    ++unit->count;
  });
}

void APMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    adExposureMonitor().logWithLevel(4, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  const Dict screen = adExposureCurrentScreenParameters();
  queue_.sync([&] {
    State& state = *state_;
    State::Unit* unit = state.find(adUnitID);
    if (!unit) {
      adExposureMonitor().logWithLevel(4, 1004, "Unknown ad unit. Ignoring ad unit with ID", Value(adUnitID));
      return;
    }
    if (unit->count >= 2) {
      --unit->count;
      return;
    }
    logAdUnitExposureEventOnSerialQueue(adUnitID, time, screen);
    std::erase_if(state.units, [&](const State::Unit& u) { return u.id == adUnitID; });
    if (state.units.empty()) {
      logAdExposureEventOnSerialQueue(time, screen);
      state.adExposureStartTime = time;
    }
  });
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(const Dict& screenParameters) {
  const double time = currentTime();
  queue_.sync([&] { logExposureEventsOnSerialQueue(time, screenParameters); });
}

// ---- screen reporter side ----------------------------------------------------------

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const ScreenParameters& previousScreen,
                                                            const ScreenParameters&) {
  if (previousScreen) logExposureEventsWithScreenParameters(*previousScreen);
}

void APMAdExposureReporter::handleEngagementTimer() {
  logExposureEventsWithScreenParameters(adExposureCurrentScreenParameters());
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
  const double time = currentTime();
  queue_.sync([&] { updateStartTimesOnSerialQueue(time); });
}

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const ScreenParameters& screen) {
  const Dict parameters = screen && !screen->empty() ? *screen : adExposureCurrentScreenParameters();
  const double time = currentTime();
  queue_.sync([&] { logExposureEventsOnSerialQueue(time, parameters); });
}

// ---- queue side --------------------------------------------------------------------

void APMAdExposureReporter::logExposureEventsOnSerialQueue(double endTime, const Dict& screenParameters) {
  State& state = *state_;
  if (state.units.empty()) return;
  for (const auto& unit : state.units) logAdUnitExposureEventOnSerialQueue(unit.id, endTime, screenParameters);
  logAdExposureEventOnSerialQueue(endTime, screenParameters);
  updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueue(double endTime, const Dict& screenParameters) {
  if (!isReportingEnabled()) {
    adExposureMonitor().logWithLevel(4, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!APMIsAppActive()) {
    adExposureMonitor().logWithLevel(7, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  const std::int64_t ms = adExposureMilliseconds(state_->adExposureStartTime, endTime);
  if (ms <= 999) {
    adExposureMonitor().logWithLevel(7, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  Dict parameters = screenParameters;
  parameters.set("_xt", Value(ms));
  APMAnalytics::logInternalEventWithOrigin("am", "_xa", parameters);
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                                                const Dict& screenParameters) {
  if (!isReportingEnabled()) {
    adExposureMonitor().logWithLevel(4, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    adExposureMonitor().logWithLevel(4, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!APMIsAppActive()) {
    adExposureMonitor().logWithLevel(7, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  const State::Unit* unit = state_->find(adUnitID);
  const std::int64_t ms = adExposureMilliseconds(unit ? unit->startTime : endTime, endTime);
  if (ms <= 999) {
    adExposureMonitor().logWithLevel(7, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  Dict parameters = screenParameters;
  parameters.set("_ai", Value(adUnitID));
  parameters.set("_xt", Value(ms));
  APMAnalytics::logInternalEventWithOrigin("am", "_xu", parameters);
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  State& state = *state_;
  if (state.units.empty()) return;
  for (auto& unit : state.units) unit.startTime = time;
  state.adExposureStartTime = time;
}

}  // namespace analytics
