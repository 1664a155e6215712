#pragma once
// Conditional user properties: the record check and the controller that sets,
// clears and queries them and moves them through pending, active and gone as
// the engine processes events.
//
// Threads: set, clear and query are callable from any thread except the
// worker queue for the query's wait (there the query runs inline); they hand
// their work to the engine's worker queue "com.dozada.fira.worker". Methods
// ending in OnWorkerQueue, and the time-out, expiry and trigger steps, run on
// that queue inside database transactions.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/model/event.h"
#include "analytics/store/conditional_user_property.h"
#include "platform/foundation/value.h"

namespace analytics {

class APMDatabase;
class APMMeasurement;

// Origin, name and value (when present) pass the validator; trigger timeout
// and time to live lie in 0.001..15552000 s (11000 / 11001 otherwise).
bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property);

class APMConditionalUserPropertyController : public std::enable_shared_from_this<APMConditionalUserPropertyController> {
 public:
  // Seconds a query waits for the worker.
  static constexpr double kQueryTimeout = 30;

  static std::shared_ptr<APMConditionalUserPropertyController> sharedInstance();

  // With a value sets, without one clears (11002 for no record). The record
  // is copied; an invalid one is dropped.
  void setConditionalUserProperty(const APMConditionalUserPropertyRef& property, const std::string& name);
  // Clears `name`, logging `clearEvent` when it was stored. An invalid name is dropped.
  void clearConditionalUserPropertyWithClearEvent(const APMEventRef& clearEvent, const std::string& name);
  // Prefix and origin are strings or null (null matches all). nullopt for a
  // non-string argument, a failed read, no engine or a worker that did not
  // answer within kQueryTimeout.
  std::optional<std::vector<APMConditionalUserPropertyRef>> conditionalUserPropertiesWithNamePrefix(
      const platform::foundation::Value& prefix, const platform::foundation::Value& origin);

  // Worker: the events to write after the processed one; nullopt on failure
  // (then nothing was changed or written).
  std::optional<std::vector<APMEventRef>> processEventOnWorkerQueue(APMMeasurement& engine, const APMEventRef& event);
  void setConditionalUserPropertyOnWorkerQueue(APMMeasurement& engine, const APMConditionalUserPropertyRef& property);
  void removeConditionalUserPropertyOnWorkerQueue(APMMeasurement& engine,
                                                  const APMConditionalUserPropertyRef& property);
  bool removeTimedOutCUPWithTimedOutEvents(APMDatabase& database, std::vector<APMEventRef>& timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(APMDatabase& database, std::vector<APMEventRef>& expiredEvents);
  std::optional<std::vector<APMEventRef>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
      APMMeasurement& engine, const std::string& eventName);
};

}  // namespace analytics
