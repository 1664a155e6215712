// Conditional user properties: validation, the controller's set, clear and
// query, and the time-out, expiry and trigger pass over each processed event.
#include "analytics/engine/conditional_properties.h"

#include <cmath>
#include <mutex>

#include "analytics/config/scheduler.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/model/records.h"
#include "analytics/model/validator.h"
#include "analytics/model/value.h"
#include "analytics/store/database.h"
#include "analytics/support/errors.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/sync.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

constexpr double kCupMinimumInterval = 0.001;
constexpr double kCupMaximumInterval = 15552000;  // 180 days

Value cupNameContext(const std::string& name) { return Value(APMPublicUserPropertyNameDescription(Value(name))); }
Value cupEventContext(const APMEventRef& event) {
  return event ? Value(APMPublicEventNameDescription(Value(event->name()))) : Value();
}
Value cupErrorContext(const std::optional<fd::Error>& error) { return error ? APMErrorContext(*error) : Value(); }
double cupNow() { return platform::dispatch::Clock::current().now_since_1970(); }

// The supplied event re-made with the stored origin and the transition's time.
APMEventRef cupMakeEvent(const APMEventRef& supplied, const std::string& origin, double timestamp) {
  if (!supplied) return nullptr;
  return APMEvent::initWithOrigin(origin, false, supplied->name(), timestamp, 0, supplied->parameters());
}

bool cupIntervalIsValid(double seconds) { return seconds >= kCupMinimumInterval && seconds <= kCupMaximumInterval; }

}  // namespace

bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(Value(property.origin()), nullptr)) return false;
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(Value(property.name()), nullptr)) return false;
  if (property.value() &&
      !APMDataTypeValidator::isValidConditionalUserPropertyValue(APMValueObject(property.value()), nullptr)) {
    return false;
  }
  if (!cupIntervalIsValid(property.triggerTimeout())) {
    APMMeasurement::monitor().logWithLevel(1, 11000, "Invalid conditional user property timeout. Trigger timeout",
                                           Value(property.triggerTimeout()));
    return false;
  }
  if (!cupIntervalIsValid(property.timeToLive())) {
    APMMeasurement::monitor().logWithLevel(1, 11001, "Invalid conditional user property time to live. Time to live",
                                           Value(property.timeToLive()));
    return false;
  }
  return true;
}

std::shared_ptr<APMConditionalUserPropertyController> APMConditionalUserPropertyController::sharedInstance() {
  static const auto shared = std::make_shared<APMConditionalUserPropertyController>();
  return shared;
}

// ---- any thread ----------------------------------------------------------------------

void APMConditionalUserPropertyController::setConditionalUserProperty(const APMConditionalUserPropertyRef& property,
                                                                      const std::string& name) {
  if (!property) {
    APMMeasurement::monitor().logWithLevel(1, 11002,
                                           "Unable to set conditional user property. Conditional user property is nil");
    return;
  }
  auto record = property->copy();
  record->setName(name);
  if (!APMIsValidConditionalUserProperty(*record)) return;
  record->setCreationTimestamp(cupNow());
  const auto engine = APMMeasurement::sharedInstance();
  if (!engine) return;
  std::weak_ptr<APMConditionalUserPropertyController> weak = weak_from_this();
  std::weak_ptr<APMMeasurement> weakEngine = engine;
  engine->scheduler()->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:93", [weak, weakEngine,
                                                                                                 record] {
    auto self = weak.lock();
    auto target = weakEngine.lock();
    if (!self || !target) return;
    if (record->value()) {
      self->setConditionalUserPropertyOnWorkerQueue(*target, record);
    } else {
      self->removeConditionalUserPropertyOnWorkerQueue(*target, record);
    }
  });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(const APMEventRef& clearEvent,
                                                                                      const std::string& name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(Value(name), nullptr)) return;
  auto record = std::make_shared<APMConditionalUserProperty>();
  record->setName(name);
  record->setExpiredEvent(clearEvent);
  const auto engine = APMMeasurement::sharedInstance();
  if (!engine) return;
  std::weak_ptr<APMConditionalUserPropertyController> weak = weak_from_this();
  std::weak_ptr<APMMeasurement> weakEngine = engine;
  engine->scheduler()->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:118",
                                                    [weak, weakEngine, record] {
                                                      auto self = weak.lock();
                                                      auto target = weakEngine.lock();
                                                      if (self && target) {
                                                        self->removeConditionalUserPropertyOnWorkerQueue(*target,
                                                                                                         record);
                                                      }
                                                    });
}

std::optional<std::vector<APMConditionalUserPropertyRef>>
APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const Value& prefix,
                                                                              const Value& origin) {
  if (!prefix.is_null() && !prefix.string()) {
    APMMeasurement::monitor().logWithLevel(
        1, 11003, "Unable to query for conditional user properties. Name prefix is not a string. Class",
        Value(APMClassName(prefix)));
    return std::nullopt;
  }
  if (!origin.is_null() && !origin.string()) {
    APMMeasurement::monitor().logWithLevel(
        1, 11004, "Unable to query for conditional user properties. Origin is not a string. Class",
        Value(APMClassName(origin)));
    return std::nullopt;
  }
  const auto engine = APMMeasurement::sharedInstance();
  if (!engine) return std::nullopt;
  const std::string prefixText = prefix.string() ? *prefix.string() : std::string();
  const std::string originText = origin.string() ? *origin.string() : std::string();

  struct Answer {
    std::mutex mutex;
    std::optional<std::vector<APMConditionalUserPropertyRef>> found;
    std::optional<fd::Error> error;
  };
  auto answer = std::make_shared<Answer>();
  std::weak_ptr<APMMeasurement> weakEngine = engine;
  const auto query = [weakEngine, answer, prefixText, originText] {
    auto target = weakEngine.lock();
    if (!target) return;
    if (!target->isEnabled()) {
      APMMeasurement::monitor().logWithLevel(3, 11005,
                                             "Unable to query for conditional user properties. Analytics is disabled");
      return;
    }
    if (!target->database()) return;
    std::optional<fd::Error> error;
    auto found = target->database()->conditionalUserPropertiesWithPrefix(prefixText, originText, &error);
    std::lock_guard lock(answer->mutex);
    answer->found = std::move(found);
    answer->error = std::move(error);
  };
  bool answered = true;
  if (engine->scheduler()->workerQueue().is_current()) {
    // Waiting here would wait on ourselves: the worker answers inline.
    query();
  } else {
    platform::dispatch::Semaphore done;
    engine->scheduler()->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:168", [query, done] {
      query();
      done.signal();
    });
    answered = done.wait(platform::dispatch::Duration(kQueryTimeout));
  }
  if (!answered) return std::nullopt;
  std::lock_guard lock(answer->mutex);
  if (answer->found && !answer->found->empty()) return answer->found;
  if (answer->error) {
    APMMeasurement::monitor().logWithLevel(1, 11006,
                                           "Unable to query for conditional user properties. Name prefix, origin, error",
                                           Value(prefixText), Value(originText), cupErrorContext(answer->error));
    return std::nullopt;
  }
  return answer->found;
}

// ---- worker ------------------------------------------------------------------------

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    APMMeasurement& engine, const APMConditionalUserPropertyRef& property) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue:");
  auto& monitor = APMMeasurement::monitor();
  if (!engine.isEnabled()) {
    monitor.logWithLevel(3, 11007, "Unable to set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    monitor.logWithLevel(1, 11008,
                         "Unable to set conditional user property on worker queue. Conditional user property is nil");
    return;
  }
  const auto database = engine.database();
  if (!database) return;
  auto record = property->copy();
  APMEventRef triggered;
  const bool committed = database->performTransaction([&] {
    triggered.reset();
    std::optional<fd::Error> error;
    const auto stored = database->conditionalUserPropertyWithName(record->name(), &error);
    if (!stored && error) {
      monitor.logWithLevel(1, 11009, "Unable to query conditional user property. Name, origin, error",
                           cupNameContext(record->name()), Value(record->origin()), cupErrorContext(error));
      return false;
    }
    if (stored && stored->origin() != record->origin()) {
      monitor.logWithLevel(4, 11010, "Updating a conditional user property with different origin. Name, origin, saved origin",
                           cupNameContext(record->name()), Value(record->origin()), Value(stored->origin()));
    }
    bool activatedHere = false;
    if (stored && stored->isActive()) {
      record->setOrigin(stored->origin());
      record->setCreationTimestamp(stored->creationTimestamp());
      record->setTriggerEventName(stored->triggerEventName());
      record->setTriggeredEvent(stored->triggeredEvent());
      record->setTriggerTimeout(stored->triggerTimeout());
    } else if (record->triggerEventName().empty()) {
      record->setActive(true);
      record->setTriggeredTimestamp(record->creationTimestamp());
      activatedHere = true;
    }
    if (record->isActive()) {
      auto attribute = APMUserAttribute::initWithOrigin(record->origin(), record->name(), record->value(),
                                                        record->triggeredTimestamp());
      error.reset();
      if (!attribute || !database->updateUserAttribute(attribute.get(), &error)) {
        // A record without its property would look active for ever: undo all.
        monitor.logWithLevel(1, 11011,
                             "Unable to update user property from conditional user property. Name, origin, error",
                             cupNameContext(record->name()), Value(record->origin()), cupErrorContext(error));
        return false;
      }
      monitor.logWithLevel(7, 11012, "User property updated. Name, origin", cupNameContext(record->name()),
                           Value(record->origin()));
      if (activatedHere) triggered = cupMakeEvent(record->triggeredEvent(), record->origin(), record->triggeredTimestamp());
    }
    if (stored && stored->isActive()) {
      record->setActive(stored->isActive());
      record->setTriggeredTimestamp(stored->triggeredTimestamp());
    }
    error.reset();
    if (!database->updateConditionalUserProperty(record.get(), &error)) {
      // A property set without its record would never expire: undo all.
      monitor.logWithLevel(1, 11014,
                           "Unable to insert user property from conditional user property. Name, origin, error",
                           cupNameContext(record->name()), Value(record->origin()), cupErrorContext(error));
      return false;
    }
    monitor.logWithLevel(7, 11013, "Conditional user property added. Name, origin", cupNameContext(record->name()),
                         Value(record->origin()));
    return true;
  });
  if (committed && triggered) engine.writeEventOnWorkerQueue(triggered);
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    APMMeasurement& engine, const APMConditionalUserPropertyRef& property) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue:");
  auto& monitor = APMMeasurement::monitor();
  if (!engine.isEnabled()) {
    monitor.logWithLevel(3, 11015, "Unable to remove conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    monitor.logWithLevel(1, 11016,
                         "Unable to remove conditional user property on worker queue. Conditional user property is nil");
    return;
  }
  const auto database = engine.database();
  if (!database) return;
  APMEventRef cleared;
  const bool committed = database->performTransaction([&] {
    cleared.reset();
    const std::string& name = property->name();
    std::optional<fd::Error> error;
    const auto stored = database->conditionalUserPropertyWithName(name, &error);
    if (!stored) {
      if (error) {
        monitor.logWithLevel(
            1, 11017, "Unable to remove conditional user property. Cannot query conditional user property. Name, origin, error",
            cupNameContext(name), Value(property->origin()), cupErrorContext(error));
        return false;
      }
      monitor.logWithLevel(
          4, 11018, "Unable to remove conditional user property. Conditional user property doesn't exist. Name, origin",
          cupNameContext(name), Value(property->origin()));
      return true;
    }
    error.reset();
    if (!database->deleteConditionalUserPropertyWithName(name, &error)) {
      monitor.logWithLevel(
          1, 11019,
          "Unable to remove conditional user property. Failed to execute the delete operation. Name, origin, error",
          cupNameContext(name), Value(property->origin()), cupErrorContext(error));
      return false;
    }
    if (stored->isActive()) {
      error.reset();
      if (!database->deleteUserAttributeWithName(name, &error)) {
        monitor.logWithLevel(
            1, 11020, "Unable to remove conditional user property. Failed to delete the user property. Name, origin, error",
            cupNameContext(name), Value(property->origin()), cupErrorContext(error));
        return false;
      }
    }
    cleared = cupMakeEvent(property->expiredEvent(), stored->origin(), cupNow());
    return true;
  });
  if (committed && cleared) engine.writeEventOnWorkerQueue(cleared);
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(APMDatabase& database,
                                                                               std::vector<APMEventRef>& timedOutEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:");
  auto& monitor = APMMeasurement::monitor();
  std::optional<fd::Error> error;
  const auto timedOut = database.timedOutConditionalUserPropertiesWithError(&error);
  if (!timedOut) {
    monitor.logWithLevel(1, 10001, "Unable to fetch timed out conditional user properties. Error",
                         cupErrorContext(error));
    return false;
  }
  for (const auto& record : *timedOut) {
    monitor.logWithLevel(7, 10002, "Conditional user property has timed out. Name", cupNameContext(record->name()));
    error.reset();
    if (!database.deleteConditionalUserPropertyWithName(record->name(), &error)) {
      monitor.logWithLevel(7, 10003, "Unable to delete timed out condition user property. Name, error",
                           cupNameContext(record->name()), cupErrorContext(error));
      return false;
    }
    if (auto event = cupMakeEvent(record->timedOutEvent(), record->origin(), cupNow())) timedOutEvents.push_back(event);
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(APMDatabase& database,
                                                                             std::vector<APMEventRef>& expiredEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:");
  auto& monitor = APMMeasurement::monitor();
  std::optional<fd::Error> error;
  const auto expired = database.expiredConditionalUserPropertiesWithError(&error);
  if (!expired) {
    monitor.logWithLevel(1, 10004, "Unable to fetch expired conditional user properties. Error", cupErrorContext(error));
    return false;
  }
  for (const auto& record : *expired) {
    monitor.logWithLevel(7, 10005, "Conditional user property has expired. Name, expired event",
                         cupNameContext(record->name()), cupEventContext(record->expiredEvent()));
    error.reset();
    if (!database.deleteUserAttributeWithName(record->name(), &error)) {
      monitor.logWithLevel(
          1, 10006, "Unable to remove conditional user property. Failed to delete the user property. Name, origin, error",
          cupNameContext(record->name()), Value(record->origin()), cupErrorContext(error));
      return false;
    }
    error.reset();
    if (!database.deleteConditionalUserPropertyWithName(record->name(), &error)) {
      monitor.logWithLevel(7, 10007, "Unable to delete expired condition user property. Name, error",
                           cupNameContext(record->name()), cupErrorContext(error));
      return false;
    }
    if (auto event = cupMakeEvent(record->expiredEvent(), record->origin(), cupNow())) expiredEvents.push_back(event);
  }
  return true;
}

std::optional<std::vector<APMEventRef>>
APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    APMMeasurement& engine, const std::string& eventName) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateConditionalUserPropertiesWithEventNameOnWorkerQueue:");
  auto& monitor = APMMeasurement::monitor();
  const auto database = engine.database();
  if (!database) return std::nullopt;
  std::optional<fd::Error> error;
  const auto triggered = database->triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (!triggered) {
    monitor.logWithLevel(1, 10008, "Unable to fetch triggering conditional user properties. Event name, error",
                         Value(APMPublicEventNameDescription(Value(eventName))), cupErrorContext(error));
    return std::nullopt;
  }
  std::vector<APMEventRef> events;
  for (const auto& record : *triggered) {
    const double now = cupNow();
    auto attribute = APMUserAttribute::initWithOrigin(record->origin(), record->name(), record->value(), now);
    error.reset();
    if (attribute && database->updateUserAttribute(attribute.get(), &error)) {
      monitor.logWithLevel(7, 10010, "User property updated. Name, origin, value", cupNameContext(record->name()),
                           Value(record->origin()), record->value() ? record->value()->value() : Value());
    } else {
      monitor.logWithLevel(1, 10009,
                           "Unable to update user property from conditional user property. Name, origin, error",
                           cupNameContext(record->name()), Value(record->origin()), cupErrorContext(error));
    }
    if (auto event = cupMakeEvent(record->triggeredEvent(), record->origin(), now)) events.push_back(event);
    record->setActive(true);
    record->setTriggeredTimestamp(now);
    error.reset();
    if (!database->updateConditionalUserProperty(record.get(), &error)) {
      monitor.logWithLevel(1, 10011, "Unable to update conditional user property. Name, origin, error",
                           cupNameContext(record->name()), Value(record->origin()), cupErrorContext(error));
      return std::nullopt;
    }
  }
  return events;
}

std::optional<std::vector<APMEventRef>> APMConditionalUserPropertyController::processEventOnWorkerQueue(
    APMMeasurement& engine, const APMEventRef& event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
  if (!event) {
    APMMeasurement::monitor().logWithLevel(1, 10000,
                                           "Unable to process event for conditional user property. Event is nil");
    return std::nullopt;
  }
  const auto database = engine.database();
  if (!database) return std::nullopt;
  std::vector<APMEventRef> timedOut;
  std::vector<APMEventRef> expired;
  std::optional<std::vector<APMEventRef>> triggered;
  const bool committed = database->performTransaction([&] {
    timedOut.clear();
    expired.clear();
    triggered.reset();
    if (!removeTimedOutCUPWithTimedOutEvents(*database, timedOut)) return false;
    if (!removeExpiredCUPWithExpiredEvents(*database, expired)) return false;
    triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(engine, event->name());
    return triggered.has_value();
  });
  if (!committed) return std::nullopt;
  for (const auto& produced : timedOut) engine.writeEventOnWorkerQueue(produced);
  for (const auto& produced : expired) engine.writeEventOnWorkerQueue(produced);
  return triggered;
}

}  // namespace analytics
