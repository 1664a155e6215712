// The measurement engine's user properties: set, remove and query on the
// worker queue with the caps of 25.
#include "analytics/config/scheduler.h"
#include "analytics/engine/engine_records.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/name_tables.h"
#include "analytics/store/database.h"
#include "platform/dispatch/queue.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

Value nameContext(const std::string& name) { return Value(APMPublicUserPropertyNameDescription(Value(name))); }
Value valueContext(const APMUserAttribute& attribute) {
  return attribute.value() ? attribute.value()->value() : Value();
}
Value errorContext(const std::optional<fd::Error>& error) { return error ? APMErrorContext(*error) : Value(); }

// Callbacks run on the background global queue, never on the worker itself.
void deliver(std::function<void()> block) {
  platform::dispatch::Queue::global(platform::dispatch::Qos::background).async(std::move(block));
}

}  // namespace

void APMMeasurement::setUserAttribute(const APMUserAttributeRef& attribute) {
  if (!attribute) {
    monitor().logWithLevel(4, 23079, "Attempted to set nil user property");
    return;
  }
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2693",
                                           [self, attribute] { self->setUserAttributeOnWorkerQueue(attribute); });
}

void APMMeasurement::removeUserAttribute(const APMUserAttributeRef& attribute) {
  if (!attribute) {
    monitor().logWithLevel(4, 23074, "Attempted to remove nil user property");
    return;
  }
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2649",
                                           [self, attribute] { self->removeUserAttributeOnWorkerQueue(attribute); });
}

void APMMeasurement::userAttributeWithName(const std::string& name, UserAttributeCallback callback) {
  if (!callback) {
    monitor().logWithLevel(1, 23088, "userAttributeWithName callback is nil");
    return;
  }
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2821", [self, name, callback] {
    std::optional<fd::Error> error;
    APMUserAttributeRef attribute;
    if (self->database_) attribute = engine_records::userAttributeWithName(*self->database_, name, &error);
    if (!self->database_ || error) {
      monitor().logWithLevel(1, 23089, "Unable to get user attribute by name. Name", nameContext(name));
    }
    deliver([callback, attribute] { callback(attribute); });
  });
}

void APMMeasurement::userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback) {
  if (!callback) {
    monitor().logWithLevel(1, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2871", [self, includeInternal, callback] {
    std::optional<fd::Error> error;
    std::optional<std::vector<APMUserAttributeRef>> attributes;
    if (self->database_) attributes = engine_records::userAttributesIncludingInternal(*self->database_, includeInternal, &error);
    fd::Dict properties;
    if (!attributes) {
      monitor().logWithLevel(1, 23091, "Unable to retrieve user properties. Error", errorContext(error));
    } else {
      for (const auto& attribute : *attributes) {
        if (!attribute || attribute->name().empty() || !attribute->value()) {
          monitor().logWithLevel(1, 23092, "Cannot add invalid public user property name or value.");
          continue;
        }
        const APMValue& value = *attribute->value();
        if (value.isString()) {
          if (const auto text = value.stringValue()) properties.set(attribute->name(), Value(*text));
        } else if (value.isDouble()) {
          properties.set(attribute->name(), Value(value.doubleValue()));
        } else if (value.isInt64()) {
          properties.set(attribute->name(), Value(static_cast<long long>(value.int64Value())));
        }
      }
    }
    deliver([callback, properties] { callback(properties); });
  });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback) {
  if (origin.empty()) {
    monitor().logWithLevel(1, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    monitor().logWithLevel(1, 23094, "MaxUserProperties callback cannot be nil. Origin", Value(origin));
    return;
  }
  deliver([callback] { callback(kMaxUserProperties); });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const APMUserAttributeRef& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:");
  if (!attribute) return;
  if (!enabled_) {
    monitor().logWithLevel(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  if (!database_) return;
  database_->performTransaction([&] { return setUserPropertyInDatabaseOnWorkerQueue(attribute); });
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttributeRef& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue:");
  if (!attribute || !database_) return false;
  const std::string& name = attribute->name();
  monitor().logWithLevel(7, 23080, "Setting user property. Name, value", nameContext(name), valueContext(*attribute));
  std::optional<fd::Error> error;
  const auto stored = engine_records::containsUserAttributeWithName(*database_, name, &error);
  if (!stored && error) {
    monitor().logWithLevel(1, 23082, "Unable to query existence of user property. Name, error", nameContext(name),
                           errorContext(error));
    return false;
  }
  if (!stored || !*stored) {
    error.reset();
    const auto count = attribute->isPublic()
                           ? engine_records::publicUserAttributeCount(*database_, &error)
                           : engine_records::userAttributeCountForOrigin(*database_, attribute->origin(), &error);
    if (!count && error) {
      monitor().logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                             Value(attribute->origin()), errorContext(error));
      return false;
    }
    if (!count || *count >= kMaxUserProperties) {
      monitor().logWithLevel(4, 23084,
                             "Unable to set user property. Reached limit on set user properties for origin. Origin, "
                             "name, value",
                             Value(attribute->origin()), nameContext(name), valueContext(*attribute));
      APMLogInternalErrorEventWithValue(9, Value(name), 24, Value());
      return false;
    }
  }
  error.reset();
  if (!engine_records::updateUserAttribute(*database_, *attribute, &error)) {
    monitor().logWithLevel(1, 23085, "Unable to set user property. Name, value, error", nameContext(name),
                           valueContext(*attribute), errorContext(error));
    return false;
  }
  if (!engine_records::evaluateFiltersForUserProperty(audience_.get(), *attribute)) {
    monitor().logWithLevel(1, 23086, "Unable to evaluate user property. Name, value", nameContext(name),
                           valueContext(*attribute));
    return false;
  }
  monitor().logWithLevel(7, 23087, "User property set. Name, value", nameContext(name), valueContext(*attribute));
  return true;
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(const APMUserAttributeRef& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:");
  if (!attribute) return;
  const std::string& name = attribute->name();
  monitor().logWithLevel(7, 23075, "Removing user property. Name", nameContext(name));
  if (!enabled_) {
    monitor().logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  if (!database_) return;
  std::optional<fd::Error> error;
  if (engine_records::deleteUserAttributeWithName(*database_, name, &error)) {
    monitor().logWithLevel(7, 23078, "User property removed. Name", nameContext(name));
  } else {
    monitor().logWithLevel(1, 23077, "Unable to remove user property. Name, error", nameContext(name),
                           errorContext(error));
  }
}

}  // namespace analytics
