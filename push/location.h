#pragma once
// Location tracking: one fix per process from the platform location manager,
// kept as the last location and sent to the push service at once and then on
// a timer (300 s in front, 585 s behind). Registration carries the fix in its
// record and clears it. Without the location framework nothing starts.
#include <memory>
#include <optional>
#include <vector>

#include "platform/location/manager.h"
#include "push/request.h"

namespace push {

class RerAvirorLocation : public platform::location::ManagerDelegate {
 public:
  static std::shared_ptr<RerAvirorLocation> sharedInstance();

  // The last fix, or nullopt (read under the location lock).
  static std::optional<OSLastLocation> lastLocation();
  static void clearLastLocation();

  // The first call waits 2 s; later ones start at once.
  static void getLocation(bool prompt);
  static void internalGetLocation(bool prompt);
  // Re-arms the send timer for the time it had left.
  static void onfocus(bool inFocus);
  static void beginTask();
  static void endTask();
  // A new one-shot send timer on the main run loop; the one it replaces is invalidated.
  static void resetSendTimer();
  static void sendLocation();

  void did_update(platform::location::Manager& manager, std::vector<platform::location::Location> locations) override;
  void did_fail(platform::location::Manager& manager, foundation::Error error) override;

  static constexpr double kFirstStartDelaySeconds = 2.0;
  static constexpr double kForegroundSendDelaySeconds = 300.0;
  static constexpr double kBackgroundSendDelaySeconds = 585.0;

  // Back to load values (tests).
  static void resetLocals();
  // Seconds until the send timer fires; nullopt without a timer (tests).
  static std::optional<double> sendTimerRemaining();
};

}  // namespace push
