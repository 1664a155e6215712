// The measurement engine's event intake: admission, daily limits and the
// storage of one raw event with its metadata record.
#include <algorithm>
#include <cmath>
#include <limits>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/engine_records.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine_seams.h"
#include "analytics/identity/environment.h"
#include "analytics/identity/identity.h"
#include "analytics/identity/keychain.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/name_tables.h"
#include "analytics/store/database.h"
#include "analytics/support/digest.h"
#include "platform/dispatch/clock.h"
#include "platform/os/bundle.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

bool intakeNonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

Value nameContext(const APMEvent& event) { return Value(APMPublicEventNameDescription(Value(event.name()))); }
Value parametersContext(const APMEvent& event) {
  return Value(APMParametersDescription(Value(event.parameters())));
}

// Logged on the first refusal past a limit and on every thousandth after it.
bool everyThousandth(std::int64_t count, std::int64_t limit) { return (count - limit) % 1000 == 0; }

std::int32_t dayOf(double seconds, double midnightOffset) {
  return static_cast<std::int32_t>(std::floor((seconds - midnightOffset) / 86400.0));
}

}  // namespace

void APMMeasurement::logEvent(const APMEventRef& event) {
  if (!event) {
    monitor().logWithLevel(4, 23048, "Attempted to log nil event");
    return;
  }
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2097",
                                           [self, event] { self->handleEventOnWorkerQueue(event); });
}

void APMMeasurement::handleEventOnWorkerQueue(APMEventRef event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
  if (!enabled_) {
    monitor().logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  if (!database_) return;
  const auto config = instanceRemoteConfig();
  if (safelistedEvents_ && !safelistedEvents_->empty()) {
    if (std::find(safelistedEvents_->begin(), safelistedEvents_->end(), event->name()) == safelistedEvents_->end()) {
      monitor().logWithLevel(3, 23174, "Event dropped. Reason: not whitelisted. Event name, origin",
                             nameContext(*event), Value(event->origin()));
      return;
    }
    fd::Dict parameters = event->parameters();
    parameters.set("ga_safelisted", APMValueObject(APMValue::initWithInt64(1)));
    if (auto copy = event->copyWithParameters(parameters)) event = copy;
  }
  const bool appActive = APMIsAppActive();
  if (config->sessionBackgroundEnabled() && !appActive) {
    if (const Value* extend = event->parameters().find("extend_session")) {
      const auto value = APMValueFrom(*extend);
      if (value && value->isInt64() && value->int64Value() == 1) {
        if (sessionReporter_ && sessionReporter_->isSessionExpired()) {
          reportSessionStartOnWorkerQueueWithTimestamp(platform::dispatch::Clock::current().now_since_1970());
        } else if (sessionReporter_) {
          sessionReporter_->extendSession();
        }
      } else {
        monitor().logWithLevel(3, 23179,
                               "extend_session is a reserved parameter. To extend or start a session in the "
                               "background, set an event parameter {@'extend_session': @1}");
      }
    }
  }
  if (sessionReporter_ && sessionReporter_->isSessionExpired() && !appActive) {
    deleteSessionPropertiesOnWorkerQueue(23177, 23178, true);
  }
  std::vector<APMEventRef> more;
  if (auto conditional = APMConditionalPropertiesSeamInstalled()) {
    if (auto produced = conditional->processEventOnWorkerQueue(*this, event)) {
      more = std::move(*produced);
    } else {
      monitor().logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                             nameContext(*event), Value(event->origin()));
    }
  }
  writeEventOnWorkerQueue(event);
  for (const auto& produced : more) writeEventOnWorkerQueue(produced);
  updateSchedule();
}

void APMMeasurement::maybeAddDebugAndRealtimeParameters(APMEvent& event) const {
  if (!monitor().isDebugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  monitor().logWithLevel(7, 23073, "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                         nameContext(event), parametersContext(event));
}

void APMMeasurement::writeEventOnWorkerQueue(APMEventRef event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
  if (!event || !database_) return;
  monitor().logWithLevel(7, 23051, "Logging event: origin, name, params", Value(event->origin()), nameContext(*event),
                         parametersContext(*event));
  const auto config = instanceRemoteConfig();
  if (config->isEventBlacklisted(event->name())) {
    monitor().logWithLevel(4, 23052, "Rejected event. Event name", nameContext(*event));
    if (!config->blacklistPublic() && !config->blacklistInternal() && !APMIsErrorEvent(event.get())) {
      APMLogInternalErrorEventWithValue(11, Value(event->name()), 40, Value());
    }
    return;
  }
  const std::string& name = event->name();
  if (name == "ecommerce_purchase" || name == "_f" || name == "_iap") event->setConversion(true);

  auto lifetime = APMLifetimeValueSeamInstalled();
  if (lifetime && lifetime->isPurchaseEvent(*event)) {
    const bool recorded = database_->performTransaction([&] {
      if (lifetime->recordLifetimeValueToDatabase(*database_, *event)) return true;
      const Value* currency = event->parameters().find("currency");
      const Value* value = event->parameters().find("value");
      monitor().logWithLevel(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
                             nameContext(*event), currency ? *currency : Value(), value ? *value : Value());
      return false;
    });
    if (!recorded) return;
  }
  const bool isPublic = APMIsPublicName(Value(name));
  bool dropped = false;
  bool realtime = false;
  if (!database_->performTransaction(
          [&] { return updateDailyLimitsOnWorkerQueue(*event, isPublic, dropped, realtime); })) {
    return;
  }
  if (dropped) {
    monitor().logWithLevel(7, 23062, "Event dropped. Event name, event params", nameContext(*event),
                           parametersContext(*event));
    return;
  }
  database_->performTransaction([&] { return storeEventOnWorkerQueue(event, isPublic, realtime); });
}

bool APMMeasurement::updateDailyLimitsOnWorkerQueue(APMEvent& event, bool isPublic, bool& dropped, bool& realtime) {
  const auto config = instanceRemoteConfig();
  std::optional<fd::Error> error;
  auto counts = engine_records::dailyCounts(*database_, &error);
  if (!counts) {
    monitor().logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error",
                           error ? APMErrorContext(*error) : Value());
    return false;
  }
  const std::int32_t today =
      dayOf(platform::dispatch::Clock::current().now_since_1970(), persistedConfig_ ? persistedConfig_->midnightOffset() : 0);
  if (counts->day() != today) counts->resetWithNewDay(today);

  const std::int32_t maxEvents = config->maxEventsPerDay();
  if (counts->allEventsCount() >= maxEvents) {
    dropped = true;
    if (everyThousandth(counts->allEventsCount(), maxEvents)) {
      monitor().logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit", nameContext(event),
                             Value(maxEvents));
    }
  }
  bool givesBackUnit = false;
  const bool isError = APMIsErrorEvent(&event);
  if (!dropped && isError) {
    const std::int32_t maxErrors = config->maxErrorEventsPerDay();
    if (counts->errorEventsCount() >= maxErrors) {
      dropped = givesBackUnit = true;
      if (everyThousandth(counts->errorEventsCount(), maxErrors)) {
        const Value* code = event.parameters().find("_err");
        monitor().logWithLevel(1, 23056, "Too many error events logged. Error code, limit", code ? *code : Value(),
                               Value(maxErrors));
      }
    }
  }
  if (!dropped && isPublic) {
    const std::int32_t maxPublic = config->maxPublicEventsPerDay();
    if (counts->publicEventsCount() >= maxPublic) {
      dropped = givesBackUnit = true;
      if (everyThousandth(counts->publicEventsCount(), maxPublic)) {
        monitor().logWithLevel(1, 23057, "Data loss. Too many public events logged. Name, limit", nameContext(event),
                               Value(maxPublic));
      }
      APMLogInternalErrorEventWithValue(16, Value(event.name()), 40, Value());
    }
  }
  if (isError) {
    counts->incrementErrorEventsCountForCurrentDay(today);
  } else {
    counts->incrementCountsForCurrentDay(today, isPublic, false);
  }
  if (givesBackUnit) counts->decrementAllEventsCount();

  const bool exempt = monitor().isDebugModeEnabled() || event.name() == "_iap" || event.name() == "_f";
  const std::int32_t maxRealtime = config->maxRealtimeEventCountPerDay();
  if (event.isConversion() || config->isEventCustomConversion(event.name())) {
    if (counts->realtimeCount() < maxRealtime) {
      monitor().logWithLevel(7, 23058,
                             "Conversion event is under real-time daily limit. Marking the event as real-time. Event "
                             "name, parameters",
                             nameContext(event), parametersContext(event));
      realtime = true;
    }
    if (exempt) {
      monitor().logWithLevel(7, 23059,
                             "Conversion event is not subject to real-time daily limit. Marking the event as "
                             "real-time. Event name, parameters",
                             nameContext(event), parametersContext(event));
      realtime = true;
    }
  }
  if (event.isRealtime() && !exempt && counts->realtimeCount() >= maxRealtime) {
    event.setRealtime(false);
    monitor().logWithLevel(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
                           nameContext(event), parametersContext(event));
  }
  maybeAddDebugAndRealtimeParameters(event);
  realtime = realtime || event.isRealtime();
  error.reset();
  if (!engine_records::updateDailyCounts(*database_, *counts, &error)) {
    monitor().logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error", nameContext(event),
                           error ? APMErrorContext(*error) : Value());
    return false;
  }
  return true;
}

bool APMMeasurement::storeEventOnWorkerQueue(const APMEventRef& event, bool isPublic, bool realtime) {
  const auto config = instanceRemoteConfig();
  std::optional<fd::Error> error;
  const auto aggregates = engine_records::eventAggregatesWithName(*database_, event->name(), &error);
  if (!aggregates && error) {
    monitor().logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", nameContext(*event),
                           APMErrorContext(*error));
    return false;
  }
  if (!aggregates) {
    if (isPublic) {
      error.reset();
      const auto count = engine_records::publicEventCount(*database_, &error);
      if (!count) {
        monitor().logWithLevel(1, 23064, "Unable to query event count. Error", error ? APMErrorContext(*error) : Value());
        return false;
      }
      if (*count >= kMaxPublicEventNames) {
        monitor().logWithLevel(1, 23065, "Unable to set event. Reached limit on set events. Name", nameContext(*event));
        APMLogInternalErrorEventWithValue(kAPMErrorEventLimitReached, Value(event->name()), 40, Value());
        return false;
      }
    }
    const auto fresh = APMEventAggregates::initWithName(event->name(), 0, 0, 0);
    error.reset();
    if (!fresh || !engine_records::updateEventAggregates(*database_, *fresh, &error)) {
      monitor().logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error",
                             error ? APMErrorContext(*error) : Value());
      return false;
    }
  }
  error.reset();
  const auto attributes = engine_records::userAttributesIncludingInternal(*database_, true, &error);
  if (!attributes) {
    monitor().logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error",
                           error ? APMErrorContext(*error) : Value());
    return false;
  }
  const auto metadata = createRawEventMetadataWithUserAttributes(*attributes);
  error.reset();
  if (!metadata || !engine_records::insertIfNotExistsRawEventMetadata(*database_, *metadata, &error)) {
    monitor().logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error",
                           error ? APMErrorContext(*error) : Value());
    return false;
  }
  error.reset();
  const auto deleted = engine_records::deleteRawEventsOverAbsoluteLimit(*database_, &error);
  if (!deleted) {
    monitor().logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
                           error ? APMErrorContext(*error) : Value());
    return false;
  }
  if (*deleted != 0) {
    monitor().logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count", Value(*deleted));
  }
  const auto bytes = metadata->protoBuffer().value_or(fd::Bytes());
  const std::int64_t fingerprint = apm_64LSBMD5(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
  error.reset();
  if (!engine_records::insertRawEvent(*database_, *event, fingerprint, realtime, &error)) {
    monitor().logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error",
                           error ? APMErrorContext(*error) : Value());
    return false;
  }
  if (event->name() == "_f") {
    const std::string bundleID = platform::os::Bundle::main().identifier().value_or("");
    std::int64_t count = 0;
    if (const auto stored = APMKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID)) {
      try {
        count = std::stoll(*stored);
      } catch (...) {
        count = 0;
      }
    }
    if (count < 0) count = 0;
    const std::int64_t next = count == std::numeric_limits<std::int64_t>::max() ? count : count + 1;
    APMKeychainWrapper::upsertKeychainValue(std::to_string(next), "_pfo", bundleID);
  }
  monitor().logWithLevel(7, 23072, "Event logged. Event name, event params", nameContext(*event),
                         parametersContext(*event));
  return true;
}

std::shared_ptr<wire::RIDUZMeasurementBundle> APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<APMUserAttributeRef>& userAttributes) const {
  APMIdentity* identity = identity_ ? identity_ : APMIdentity::sharedInstance();
  auto bundle = wire::RIDUZMeasurementBundle::make();
  if (!identity || !bundle) return nullptr;
  wire::NANOMessageBase* m = bundle.get();
  const auto setText = [m](std::int32_t index, const std::optional<std::string>& text) {
    if (text) wire::NANOSetString(m, index, *text);
  };
  APMEnvironmentInfo& environment = APMEnvironmentInfo::sharedInstance();
  wire::NANOSetInt32(m, 0, 1);
  wire::NANOSetString(m, 8, "ios");
  setText(14, identity->appID());
  setText(22, identity->appInstanceID());
  setText(16, identity->appVersion());
  const auto ruv = identity->appIDFromRUV();
  const auto vezaz = identity->appIDFromVeZaz();
  if (intakeNonEmpty(ruv)) {
    wire::NANOSetString(m, 26, *ruv);
  } else if (intakeNonEmpty(vezaz)) {
    wire::NANOSetString(m, 36, *vezaz);
  }
  wire::NANOSetInt64(m, 17, APMIdentity::durArudirovizoLibraryVersion());
  setText(29, identity->davidizeInstanceID());
  if (identity->appVersionMajor()) wire::NANOSetInt32(m, 30, *identity->appVersionMajor());
  if (identity->appVersionMinor()) wire::NANOSetInt32(m, 31, *identity->appVersionMinor());
  if (identity->appVersionRelease()) wire::NANOSetInt32(m, 32, *identity->appVersionRelease());
  const auto resettable = identity->resettableDeviceID();
  if (identity->hasLimitedAdTracking() && resettable) {
    wire::NANOSetBool(m, 21, identity->limitedAdTracking());
    wire::NANOSetString(m, 19, *resettable);
  } else {
    setText(20, identity->identifierForVendor());
  }
  setText(10, environment.deviceModel());
  wire::NANOSetString(m, 9, environment.deviceOSVersion());
  wire::NANOSetInt32(m, 12, environment.timeZoneOffsetMinutes());
  setText(11, environment.userDefaultLanguage());
  fd::Array attributes;
  for (const auto& attribute : userAttributes) {
    if (attribute) attributes.push_back(wire::message_to_value<wire::measurement::kUserAttribute>(attribute->protoUserAttribute()));
  }
  if (!attributes.empty()) wire::NANOSetArray(m, 2, attributes);
  return bundle;
}

}  // namespace analytics
