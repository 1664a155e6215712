#pragma once
// The measurement engine. So far its process-wide monitor, which every
// analytics class logs through, and its class-level state: the shared engine
// instance and the initialized flag under one process-wide mutex, and the
// remote configuration in force. The engine itself joins this class later.
// Callable from any thread.
#include <memory>
#include <mutex>

#include "analytics/monitor/monitor.h"

namespace analytics {

class APMIdentity;
class APMRemoteConfig;

class APMMeasurement {
 public:
  // One monitor per process, made at first use with the library version.
  static APMMonitor& monitor();
  // Under the mutex: initialized and an engine instance exists.
  static bool hasSharedInstance();
  // The engine's remote configuration when the engine and it exist, else the
  // default instance.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();

  // The engine's own remote configuration (nullptr while it has none).
  std::shared_ptr<APMRemoteConfig> instanceRemoteConfig() const;
  // The engine's identity (nullptr until its component start sets it).
  APMIdentity* identity() const { return identity_; }

 private:
  friend class APMIdentifiers;  // reads the engine's identity

  // The engine instance read under the mutex, whether initialized or not.
  static std::shared_ptr<APMMeasurement> lockedSharedInstance();

  struct ClassState {
    std::mutex mutex;
    bool initialized = false;                 // guarded by mutex
    std::shared_ptr<APMMeasurement> instance;  // guarded by mutex
  };
  static ClassState& classState();

  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  APMIdentity* identity_ = nullptr;  // the shared identity, which lives for the process
};

}  // namespace analytics
