// Bundling of raw events into the upload queue: group selection, blacklist,
// daily conversion and real-time limits, aggregates, lifetime engagement,
// audiences, sampling, numbering and the queue insert, in one transaction.
#include "analytics/upload/bundling.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "analytics/audiences/audience.h"
#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/engine_records.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/identity/identity.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/model/name_tables.h"
#include "analytics/store/database.h"
#include "analytics/upload/sampling.h"
#include "platform/dispatch/clock.h"
#include "platform/os/bundle.h"
#include "wire/runtime/encoded_fields.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

namespace mf = measurement_fields;

APMMonitor& bundlingMonitor() { return APMMeasurement::monitor(); }

Value bundlingError(const std::optional<fd::Error>& error) { return error ? APMErrorContext(*error) : Value(); }
Value bundlingName(const APMEvent& event) { return Value(APMPublicEventNameDescription(Value(event.name()))); }
Value bundlingParameters(const APMEvent& event) { return Value(APMParametersDescription(Value(event.parameters()))); }

std::int32_t bundlingToday(const APMPersistedConfig* persisted) {
  const double now = platform::dispatch::Clock::current().now_since_1970();
  const double offset = persisted ? persisted->midnightOffset() : 0;
  return static_cast<std::int32_t>(std::floor((now - offset) / 86400.0));
}

// Bytes a length-delimited field of `length` bytes takes with a one-byte tag.
std::size_t bundlingFieldSize(std::size_t length) {
  std::size_t size = 1 + length;
  do {
    ++size;
    length >>= 7;
  } while (length != 0);
  return size;
}

// The rows one group takes: the filter's view of the read.
struct BundlingSelection {
  std::int64_t maxEvents = 0;
  std::int64_t maxBytes = 0;
  std::int64_t firstHour = 0;
  std::int64_t lastRowID = -1;
  std::int64_t totalBytes = 0;
  std::vector<std::int64_t> rowIDs;

  bool accept(std::size_t k, const APMRecord& row) {
    const auto rowID = row.get("rowid").as_int().value_or(-1);
    const double timestamp = row.get("timestamp").as_double().value_or(0);
    const std::int64_t hour = static_cast<std::int64_t>(std::floor(timestamp)) / 3600;
    const auto* data = row.get("data").data();
    const auto* name = row.get("name").string();
    // The stored message lacks the name, which has a column of its own.
    const auto bytes = static_cast<std::int64_t>((data ? data->size() : 0) +
                                                 (name ? bundlingFieldSize(name->size()) : 0));
    if (k > 0) {
      if (static_cast<std::int64_t>(k) >= maxEvents) return false;
      if (hour != firstHour || rowID != lastRowID + 1) return false;
      if (totalBytes + bytes >= maxBytes) return false;
    } else {
      // The first row is always taken, whatever its size: a row larger than
      // the limit would otherwise block every later one.
      firstHour = hour;
    }
    totalBytes += bytes;
    lastRowID = rowID;
    rowIDs.push_back(rowID);
    return true;
  }
};

// One bundling attempt; every member failure returns false and the
// transaction rolls back.
class BundlingPass {
 public:
  explicit BundlingPass(APMMeasurement& engine)
      : engine_(engine), database_(*engine.database()), config_(engine.instanceRemoteConfig()),
        persisted_(engine.persistedConfig()) {}

  // The transaction's block. `made` is the result of bundleRawEvents.
  bool run(bool& made);

 private:
  bool deleteGroup();
  bool applyDailyLimits(APMEvent& event);
  // The previous fire time the row gives the event (nullopt for a new row);
  // false after a failure.
  bool applyAggregates(const APMEvent& event, std::optional<double>& previous);
  bool flushAggregates();
  bool addLifetimeEngagement(wire::RIDUZMeasurementBundle& bundle);

  APMMeasurement& engine_;
  APMDatabase& database_;
  std::shared_ptr<APMRemoteConfig> config_;
  APMPersistedConfig* persisted_;
  std::int64_t fingerprint_ = 0;
  std::int64_t maxRowID_ = -1;
  std::shared_ptr<APMDailyCounts> counts_;
  std::int32_t today_ = 0;
  // The group's aggregates rows, written before anything reads them back.
  std::map<std::string, std::shared_ptr<APMEventAggregates>> aggregates_;
  std::vector<std::string> dirtyAggregates_;
  std::int64_t engagementMillis_ = 0;
};

bool BundlingPass::run(bool& made) {
  made = false;
  std::optional<fd::Error> error;
  const auto fingerprint = database_.nextMetadataFingerprintToProcess(&error);
  if (!fingerprint) {
    if (!error) return true;
    bundlingMonitor().logWithLevel(1, 23095, "Unable to fetch next event metadata. Error", bundlingError(error));
    return false;
  }
  fingerprint_ = *fingerprint;

  BundlingSelection selection;
  selection.maxEvents = config_->uploadMaxEventsPerBundle();
  selection.maxBytes = config_->uploadMaxSizeLimitBytes();
  error.reset();
  const auto raw = database_.rawEventsWithMetadataFingerprint(
      fingerprint_, &error, [&selection](std::size_t k, const APMRecord& row) { return selection.accept(k, row); });
  if (selection.rowIDs.empty()) {
    bundlingMonitor().logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error", bundlingError(error));
    return false;
  }
  maxRowID_ = selection.rowIDs.back();
  // Rows that did not decode are skipped and leave with the group.
  std::vector<APMEventRef> events;
  {
    static const std::vector<std::shared_ptr<APMRawEventData>> none;
    const auto& list = raw ? *raw : none;
    auto decoded = list.begin();
    const auto end = list.end();
    for (const std::int64_t rowID : selection.rowIDs) {
      if (decoded != end && (*decoded)->rowID() == rowID) {
        events.push_back((*decoded)->rawEvent());
        ++decoded;
      } else {
        bundlingMonitor().logWithLevel(4, 23096, "Failed to bundle raw event. Error", bundlingError(error));
      }
    }
  }

  error.reset();
  const auto metadata = database_.queryRawEventsMetadataWithFingerprint(fingerprint_, &error);
  if (!metadata) {
    bundlingMonitor().logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                                   Value(static_cast<long long>(fingerprint_)), bundlingError(error));
    return false;
  }
  auto bundle = wire::RIDUZMeasurementBundle::initWithMessageInfo(metadata->messageInfo());
  if (!bundle) return false;

  std::erase_if(events, [this](const APMEventRef& event) {
    if (!config_->isEventBlacklisted(event->name())) return false;
    bundlingMonitor().logWithLevel(4, 23099, "Rejected event. Event name", bundlingName(*event));
    return true;
  });
  if (events.empty()) {
    bundlingMonitor().logWithLevel(4, 23100, "Rejected all events.");
    return deleteGroup();
  }

  double earliest = events.front()->timestamp();
  double latest = earliest;
  for (const auto& event : events) {
    earliest = std::min(earliest, event->timestamp());
    latest = std::max(latest, event->timestamp());
  }
  wire::NANOSetInt64(bundle.get(), mf::kBundleStart, APMMillisecondsFromSeconds(earliest));
  wire::NANOSetInt64(bundle.get(), mf::kBundleEnd, APMMillisecondsFromSeconds(latest));

  error.reset();
  counts_ = engine_records::dailyCounts(database_, &error);
  if (!counts_) {
    bundlingMonitor().logWithLevel(1, 23101, "Failed to query daily event counts. Error", bundlingError(error));
    return false;
  }
  today_ = bundlingToday(persisted_);

  const auto& audience = engine_.audience();
  APMSequenceTimestampsCaches sequenceCaches;
  // Sampling works on messages; otherwise each event is encoded once, straight
  // into the bundle's events field.
  const bool sampling = config_->isEventSamplingEnabled() && !APMMeasurement::monitor().isDebugModeEnabled();
  const std::uint32_t eventsTag = wire::RIDUZMeasurementBundle::type().fields[mf::kBundleEvents].tag;
  std::vector<std::shared_ptr<wire::RIDUZEvent>> protos;
  std::size_t eventCount = 0;
  fd::Bytes eventsField;
  fd::Bytes eventBytes;
  bool realtime = false;
  const bool parsePurchases = config_->parsePurchaseDataEnabled();
  for (auto event : events) {
    if (config_->isEventCustomConversion(event->name())) event->setConversion(true);
    if (!applyDailyLimits(*event)) return false;
    std::optional<double> previous;
    if (!applyAggregates(*event, previous)) return false;
    if (event->name() == "_iap" && parsePurchases && APMAEU::isASRS()) {
      fd::Dict parameters = event->parameters();
      parameters.set("sandbox", APMValueObject(APMValue::initWithInt64(1)));
      auto withSandbox = event->copyWithParameters(parameters);
      if (withSandbox) event = withSandbox;
    }
    if (event->name() == "_e") {
      const APMValueRef et = APMValueFrom(event->parameters().get("_et"));
      if (et && et->isInt64()) {
        engagementMillis_ += et->int64Value();
      } else {
        bundlingMonitor().logWithLevel(1, 23165, "User engagement event doesn't contain any user engagement time");
      }
    }
    if (audience) {
      // An extra-parameter event reads its main event's aggregates back.
      if (event->name() == "_ep" && !flushAggregates()) return false;
      const auto found = aggregates_.find(event->name());
      const APMEventAggregates* aggregates = found == aggregates_.end() ? nullptr : found->second.get();
      if (!audience->evaluateFiltersForEvent(event.get(), aggregates, sequenceCaches)) return false;
    }
    // The row's previous time, when it has one, stands in for the event's.
    if (sampling) {
      auto proto = event->protoEvent(previous);
      if (!proto) return false;
      protos.push_back(std::move(proto));
    } else {
      eventBytes.clear();
      event->appendEncodedProtoEvent(eventBytes, previous);
      wire::NANOAppendLengthDelimitedField(eventsField, eventsTag, eventBytes);
      ++eventCount;
    }
    realtime = realtime || event->isRealtime();
  }
  if (!flushAggregates()) return false;
  if (!addLifetimeEngagement(*bundle)) return false;

  // An event that does not encode leaves the bundle without a body, refused at the insert.
  bool encoded = true;
  if (sampling) {
    error.reset();
    auto sampled = APMSampleEvents(database_, *config_, protos, &error);
    if (!sampled) return false;
    eventCount = sampled->size();
    for (const auto& proto : *sampled) {
      const auto bytes = proto ? proto->protoBuffer() : std::nullopt;
      if (!bytes) {
        encoded = false;
        break;
      }
      wire::NANOAppendLengthDelimitedField(eventsField, eventsTag, *bytes);
    }
  }
  if (eventCount == 0) {
    bundlingMonitor().logWithLevel(4, 23159, "Bundle was dropped because no events were left after sampling");
    if (!deleteGroup()) return false;
    made = true;
    return true;
  }

  error.reset();
  auto appMetadata = database_.queryAppMetadata(&error);
  if (!appMetadata) {
    bundlingMonitor().logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error",
                                   bundlingError(error));
    return false;
  }
  const double lastStart = appMetadata->lastBundleStartTimestamp();
  const double lastEnd = appMetadata->lastBundleEndTimestamp();
  if (lastEnd > 0) wire::NANOSetInt64(bundle.get(), mf::kBundlePreviousEnd, APMMillisecondsFromSeconds(lastEnd));
  if (lastStart > 0) {
    wire::NANOSetInt64(bundle.get(), mf::kBundlePreviousStart, APMMillisecondsFromSeconds(lastStart));
  } else if (lastEnd > 0) {
    wire::NANOSetInt64(bundle.get(), mf::kBundlePreviousStart, APMMillisecondsFromSeconds(lastEnd));
  }
  appMetadata->incrementLastBundleIndex();
  appMetadata->setLastBundleStartTimestamp(earliest);
  appMetadata->setLastBundleEndTimestamp(latest);
  wire::NANOSetInt32(bundle.get(), mf::kBundleIndex, appMetadata->lastBundleIndex());
  error.reset();
  if (!database_.updateAppMetadata(*appMetadata, &error)) {
    bundlingMonitor().logWithLevel(1, 23112, "Unable to update the app metadata. Error", bundlingError(error));
    return false;
  }

  if (audience) {
    std::optional<APMAudienceLeafResults> results;
    if (!audience->resultsForBundling(&results)) {
      bundlingMonitor().logWithLevel(1, 23113, "Unable to read audience evaluation results");
      return false;
    }
    if (results && !results->empty()) {
      fd::Array leafResults;
      for (const auto& result : *results) leafResults.push_back(Value::object(result));
      wire::NANOSetArray(bundle.get(), mf::kBundleAudienceResults, std::move(leafResults));
    }
  }

  if (persisted_) {
    const auto monitoring = APMMeasurement::monitor().monitoringDataForDispatchWithSamplePeriod(
        config_->monitoringSamplePeriod(), persisted_->lastMonitorDataSampledTimestamp());
    if (monitoring && !monitoring->empty()) {
      wire::NANOSetString(bundle.get(), mf::kBundleMonitoring, *monitoring);
      persisted_->setLastMonitorDataSampledTimestamp(platform::dispatch::Clock::current().now_since_1970());
    }
  }

  if (config_->version() >= 0) wire::NANOSetInt64(bundle.get(), mf::kBundleConfigVersion, config_->version());
  if (wire::NANOGetString(bundle.get(), mf::kBundleAppID).value_or("").empty()) {
    const APMIdentity* identity = engine_.identity();
    std::string appID = identity ? identity->appID().value_or("") : std::string();
    if (appID.empty()) appID = platform::os::Bundle::main().identifier().value_or("");
    wire::NANOSetString(bundle.get(), mf::kBundleAppID, appID);
    bundlingMonitor().logWithLevel(4, 23114, "Added missing App ID to event metadata.");
  }
  error.reset();
  // The bundle's other fields encoded, then the events spliced in at their tag.
  std::optional<fd::Bytes> body;
  if (const auto head = encoded ? bundle->protoBuffer() : std::nullopt) {
    const auto fields = wire::NANOScanFields(*head);
    const wire::NANOFieldReplacement spliced{eventsTag, eventsField};
    body.emplace();
    body->reserve(head->size() + eventsField.size());
    if (!fields || !wire::NANOReplaceFields(*head, *fields, std::span(&spliced, 1), *body)) body.reset();
  }
  if (!database_.insertEncodedBundle(body, *bundle, realtime, &error)) {
    bundlingMonitor().logWithLevel(1, 23115, "Unable to insert bundle. Error", bundlingError(error));
    return false;
  }
  bundlingMonitor().logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                                 Value(appMetadata->lastBundleIndex()),
                                 Value(static_cast<long long>(APMMillisecondsFromSeconds(latest))));
  if (!deleteGroup()) return false;
  made = true;
  return true;
}

bool BundlingPass::deleteGroup() {
  std::optional<fd::Error> error;
  if (!database_.deleteRawEventsWithMaxRowID(maxRowID_, &error)) {
    bundlingMonitor().logWithLevel(1, 23119, "Unable to delete raw events. RowID, error",
                                   Value(static_cast<long long>(maxRowID_)), bundlingError(error));
    return false;
  }
  error.reset();
  const auto referenced = database_.containsRawEventWithMetadataFingerprint(fingerprint_, &error);
  if (!referenced) {
    bundlingMonitor().logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error",
                                   Value(static_cast<long long>(fingerprint_)), bundlingError(error));
    return false;
  }
  if (*referenced) return true;
  error.reset();
  if (!database_.deleteRawEventMetadataWithMetadataFingerprint(fingerprint_, &error)) {
    bundlingMonitor().logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error",
                                   Value(static_cast<long long>(fingerprint_)), bundlingError(error));
    return false;
  }
  return true;
}

bool BundlingPass::applyDailyLimits(APMEvent& event) {
  bool changed = false;
  if (event.isConversion() && APMIsPublicName(Value(event.name()))) {
    const std::int32_t limit = config_->maxConversionsPerDay();
    if (counts_->day() != today_) counts_->resetWithNewDay(today_);
    if (counts_->conversionsCount() < limit) {
      counts_->incrementCountsForCurrentDay(today_, false, true);
      changed = true;
    } else {
      event.setConversion(false);
      bundlingMonitor().logWithLevel(4, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
                                     bundlingName(event), Value(limit));
    }
  }
  if (event.isRealtime() || event.isConversion()) {
    const bool exempt =
        APMMeasurement::monitor().isDebugModeEnabled() || event.name() == "_iap" || event.name() == "_f";
    if (counts_->day() != today_) counts_->resetWithNewDay(today_);
    if (exempt) {
      event.setRealtime(true);
      bundlingMonitor().logWithLevel(
          7, 23105,
          "Event is not subject to real-time event count daily limit. Marking an event as real-time. Event name, "
          "parameters",
          bundlingName(event), bundlingParameters(event));
    } else if (counts_->realtimeCount() < config_->maxRealtimeEventCountPerDay()) {
      counts_->incrementRealtimeCountsForCurrentDay(today_);
      event.setRealtime(true);
      changed = true;
      bundlingMonitor().logWithLevel(
          7, 23103,
          "Event is under real-time event count daily limit. Marking the event as real-time. Event name, parameters",
          bundlingName(event), bundlingParameters(event));
    } else {
      event.setRealtime(false);
      bundlingMonitor().logWithLevel(4, 23104,
                                     "Number of real-time events is over the real-time event count daily limit. Event "
                                     "is no longer real-time. Event name, parameters",
                                     bundlingName(event), bundlingParameters(event));
    }
  }
  if (!changed) return true;
  std::optional<fd::Error> error;
  if (engine_records::updateDailyCounts(database_, *counts_, &error)) return true;
  bundlingMonitor().logWithLevel(1, 23106, "Failed to update daily event counts. Name, error", bundlingName(event),
                                 bundlingError(error));
  return false;
}

bool BundlingPass::applyAggregates(const APMEvent& event, std::optional<double>& previous) {
  auto found = aggregates_.find(event.name());
  if (found == aggregates_.end()) {
    std::optional<fd::Error> error;
    auto stored = engine_records::eventAggregatesWithName(database_, event.name(), &error);
    if (!stored && error) {
      bundlingMonitor().logWithLevel(1, 23107, "Failed to query event aggregates. Name, error", bundlingName(event),
                                     bundlingError(error));
      return false;
    }
    found = aggregates_.emplace(event.name(), std::move(stored)).first;
  }
  auto& row = found->second;
  if (row) {
    previous = row->lastFireTimestamp();
    row->incrementCurrentBundleCount();
    row->incrementLifetimeCount();
    row->setLastFireTimestamp(event.timestamp());
  } else {
    row = APMEventAggregates::initWithName(event.name(), 1, 1, event.timestamp());
    if (!row) {
      bundlingMonitor().logWithLevel(1, 23108, "Failed to update event aggregates. Error", Value());
      return false;
    }
  }
  if (std::find(dirtyAggregates_.begin(), dirtyAggregates_.end(), event.name()) == dirtyAggregates_.end()) {
    dirtyAggregates_.push_back(event.name());
  }
  return true;
}

bool BundlingPass::flushAggregates() {
  for (const auto& name : dirtyAggregates_) {
    std::optional<fd::Error> error;
    if (!engine_records::updateEventAggregates(database_, *aggregates_.at(name), &error)) {
      bundlingMonitor().logWithLevel(1, 23108, "Failed to update event aggregates. Error", bundlingError(error));
      return false;
    }
  }
  dirtyAggregates_.clear();
  return true;
}

bool BundlingPass::addLifetimeEngagement(wire::RIDUZMeasurementBundle& bundle) {
  if (engagementMillis_ < 1) return true;
  std::optional<fd::Error> error;
  const auto stored = engine_records::userAttributeWithName(database_, "_lte", &error);
  if (error) {
    bundlingMonitor().logWithLevel(1, 23164, "Failed to query for user engagement lifetime user property. Error",
                                   bundlingError(error));
  }
  std::int64_t sum = engagementMillis_;
  if (stored && stored->value() && stored->value()->isInt64()) sum += stored->value()->int64Value();
  const double now = platform::dispatch::Clock::current().now_since_1970();
  const auto attribute = APMUserAttribute::initWithOrigin("auto", "_lte", APMValue::initWithInt64(sum), now);
  if (!attribute || !engine_.setUserPropertyInDatabaseOnWorkerQueue(attribute)) return false;

  auto items = wire::NANOGetArray(&bundle, mf::kBundleUserAttributes, &wire::RIDUZUserAttribute::type())
                   .value_or(fd::Array{});
  bool found = false;
  for (const Value& item : items) {
    const auto entry = item.object<wire::RIDUZUserAttribute>();
    if (!entry || wire::NANOGetString(entry.get(), mf::kAttributeName) != "_lte") continue;
    wire::NANOSetInt64(entry.get(), mf::kAttributeInt64, sum);
    wire::NANOSetInt64(entry.get(), mf::kAttributeSetTimestamp, APMMillisecondsFromSeconds(now));
    found = true;
  }
  if (!found) {
    auto proto = attribute->protoUserAttribute();
    if (!proto) return false;
    items.push_back(Value::object(proto));
  }
  wire::NANOSetArray(&bundle, mf::kBundleUserAttributes, std::move(items));
  return true;
}

}  // namespace

bool bundleRawEvents(APMMeasurement& engine) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  if (!engine.database() || !engine.instanceRemoteConfig()) return false;
  bool made = false;
  BundlingPass pass(engine);
  const auto& audience = engine.audience();
  if (audience) audience->beginEventFilterCache();
  const bool committed = engine.database()->performTransaction([&] { return pass.run(made); });
  if (audience) audience->endEventFilterCache();
  if (!committed || !made) return false;
  engine.setSuspendedUploadTimestamp(0);
  return true;
}

}  // namespace analytics
