#pragma once
// What the remote configuration reads from parts built elsewhere: the stored
// configuration in the analytics database, and the analytics origin of the
// identifiers. The analytics database implements the first; the identity
// installs the second.
//
// Threads: the database operations are called on the engine's worker queue;
// the origin source from any thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/support/errors.h"
#include "wire/measurement/measurement.h"

namespace analytics {

// The three database operations the remote configuration calls.
class APMRemoteConfigDatabase {
 public:
  virtual ~APMRemoteConfigDatabase() = default;
  // Stores the configuration and stamps the update time.
  virtual bool updateRemoteConfig(const wire::RIDUZMeasurementConfig& config, APMErrorOut error) = 0;
  // The stored configuration, or nullptr (with an error when the read failed).
  virtual std::shared_ptr<wire::RIDUZMeasurementConfig> queryMeasurementConfigWithError(APMErrorOut error) = 0;
  // Seconds since 1970 of the last stored update, or nullopt.
  virtual std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorOut error) = 0;
};

// The analytics origin ("am", "fa", ...) or nullopt while unknown.
using APMOriginSource = std::function<std::optional<std::string>()>;
// Installs the process-wide origin source; an empty function removes it.
void APMSetOriginSource(APMOriginSource source);
// The installed source's answer; nullopt without one.
std::optional<std::string> APMCurrentOrigin();

}  // namespace analytics
