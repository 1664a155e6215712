#pragma once
// APMAdExposureReporter: measures how long ad units are on screen and logs
// "_xu" per unit and "_xa" for the time any ad was shown, each with origin
// "am" and the parameters of the screen the exposure happened on. Exposures
// under one second are not logged.
//
// Threads: public calls from any thread (the screen reporter's from the main
// thread or from within its queue; the engagement notification on the main
// queue). Its state lives on the serial queue "APMAdExposureReporter": begin
// hops there asynchronously, every other entry point synchronously. Times
// are taken on the calling thread before the hop.
//
// A screen is handed over as its parameters (what APMScreenParameters gives
// for it); nullopt stands for no screen.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace platform::foundation {
class ObserverToken;
}

namespace analytics {

class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
 public:
  using ScreenParameters = std::optional<platform::foundation::Dict>;
  static constexpr std::size_t kMaxAdUnits = 100;

  // Made on first use; observes the session reporter's engagement tick.
  static std::shared_ptr<APMAdExposureReporter> sharedInstance();
  // A separate reporter (tests); it observes the engagement tick as well.
  static std::shared_ptr<APMAdExposureReporter> create();
  ~APMAdExposureReporter();
  APMAdExposureReporter(const APMAdExposureReporter&) = delete;
  APMAdExposureReporter& operator=(const APMAdExposureReporter&) = delete;

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);
  void logExposureEventsWithScreenParameters(const platform::foundation::Dict& screenParameters);

  // ---- screen reporter side ----
  void handleScreenDidChangeFromScreen(const ScreenParameters& previousScreen, const ScreenParameters& nextScreen);
  void handleEngagementTimer();
  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const ScreenParameters& screen);

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }
  // Seconds since boot: wall clock minus the kernel's boot time; -1 when unknown.
  static double currentTime();
  const platform::dispatch::Queue& queue() const { return queue_; }

  struct Passkey {
   private:
    Passkey() = default;
    friend class APMAdExposureReporter;
  };
  explicit APMAdExposureReporter(Passkey);

 private:
  struct State;
  // Queue side.
  void logExposureEventsOnSerialQueue(double endTime, const platform::foundation::Dict& screenParameters);
  void logAdExposureEventOnSerialQueue(double endTime, const platform::foundation::Dict& screenParameters);
  void logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                           const platform::foundation::Dict& screenParameters);
  void updateStartTimesOnSerialQueue(double time);
  void observeEngagementTimer();

  platform::dispatch::Queue queue_;
  std::unique_ptr<State> state_;  // queue only
  std::atomic<bool> reportingEnabled_{true};
  std::unique_ptr<platform::foundation::ObserverToken> observation_;
};

}  // namespace analytics
