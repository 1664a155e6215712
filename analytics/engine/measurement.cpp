// The measurement engine's process-wide monitor and class-level state.
#include "analytics/engine/measurement.h"

#include "analytics/config/remote_config.h"
#include "analytics/support/library_version.h"

namespace analytics {

APMMonitor& APMMeasurement::monitor() {
  // Lives for the process: queued work may still reach it while the process ends.
  static APMMonitor* shared = new APMMonitor(APMLibraryVersion());
  return *shared;
}

APMMeasurement::ClassState& APMMeasurement::classState() {
  // Lives for the process, like the monitor.
  static ClassState* state = new ClassState();
  return *state;
}

bool APMMeasurement::hasSharedInstance() {
  ClassState& state = classState();
  std::lock_guard lock(state.mutex);
  return state.initialized && state.instance != nullptr;
}

std::shared_ptr<APMMeasurement> APMMeasurement::lockedSharedInstance() {
  ClassState& state = classState();
  std::lock_guard lock(state.mutex);
  return state.instance;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
  const auto engine = lockedSharedInstance();
  if (engine) {
    if (auto config = engine->instanceRemoteConfig()) return config;
  }
  return APMRemoteConfig::defaultInstance();
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::instanceRemoteConfig() const { return remoteConfig_; }

}  // namespace analytics
