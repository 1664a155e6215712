// APMAudience: definitions, evaluation of events and user properties into
// result records, leaf results for bundling; APMSequenceTimestampsCache.
#include "analytics/audiences/audience.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "analytics/audiences/audience_fields.h"
#include "analytics/audiences/filter_evaluation.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/store/database.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics {

namespace fd = platform::foundation;
namespace af = audience_fields;
using wire::RIDUZDynamicFilterResultTimestamp;
using wire::RIDUZResultData;
using wire::RIDUZSequenceFilterResultTimestamp;
using DynamicTimestamps = std::vector<std::shared_ptr<RIDUZDynamicFilterResultTimestamp>>;
using SequenceTimestamps = std::vector<std::shared_ptr<RIDUZSequenceFilterResultTimestamp>>;

namespace {

APMMonitor& audienceMonitor() { return APMMeasurement::monitor(); }

struct ConfigOverride {
  std::mutex mutex;
  std::shared_ptr<APMRemoteConfig> config;
};

ConfigOverride& configOverride() {
  static ConfigOverride* slot = new ConfigOverride();
  return *slot;
}

// The configuration whose limits are read, at each use.
std::shared_ptr<APMRemoteConfig> settings() {
  ConfigOverride& slot = configOverride();
  {
    std::lock_guard lock(slot.mutex);
    if (slot.config) return slot.config;
  }
  return APMMeasurement::remoteConfig();
}

// A database call failed when it answered nothing and set an error.
bool failed(bool answered, const std::optional<fd::Error>& error) { return !answered && error.has_value(); }

fd::Value errorContext(const std::optional<fd::Error>& error) {
  return error ? APMErrorContext(*error) : fd::Value();
}

fd::Value eventNameContext(std::string_view name) { return fd::Value(APMPublicEventNameDescription(fd::Value(name))); }
fd::Value propertyNameContext(std::string_view name) {
  return fd::Value(APMPublicUserPropertyNameDescription(fd::Value(name)));
}

// Seconds as whole seconds, truncated; saturating, NaN as 0.
std::int64_t wholeSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (seconds <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(seconds);
}

// The first word of a repeated uint64 field; nullopt when absent or empty.
std::optional<std::uint64_t> firstWord(const RIDUZResultData* record, std::int32_t index) {
  const auto words = wire::NANOGetArray(record, index, nullptr);
  if (!words || words->empty()) return std::nullopt;
  return static_cast<std::uint64_t>(words->front().as_int().value_or(0));
}

std::uint64_t filterMask(std::int32_t filterID) { return std::uint64_t{1} << (static_cast<std::uint32_t>(filterID) & 63); }

template <class T>
std::vector<std::shared_ptr<T>> messages(const wire::NANOMessageBase* message, std::int32_t index) {
  std::vector<std::shared_ptr<T>> items;
  for (const fd::Value& item : wire::NANOGetArray(message, index, &T::type()).value_or(fd::Array{})) {
    if (auto object = item.object<T>()) items.push_back(std::move(object));
  }
  return items;
}

template <class T>
fd::Array messageArray(const std::vector<std::shared_ptr<T>>& items) {
  fd::Array array;
  for (const auto& item : items) array.push_back(fd::Value::object(item));
  return array;
}

// A public name replaced by its internal code from `table`; other names stay.
void rewriteName(wire::NANOMessageBase* message, std::int32_t index, const fd::Dict& table) {
  const auto name = wire::NANOGetString(message, index);
  if (!name) return;
  const fd::Value* internal = table.find(*name);
  if (internal != nullptr && internal->string() != nullptr) wire::NANOSetString(message, index, *internal->string());
}

bool nonEmptyString(const wire::NANOMessageBase* message, std::int32_t index) {
  const auto text = wire::NANOGetString(message, index);
  return text && !text->empty();
}

// Checks a parameter or property filter's inner filter: exactly one of the
// number and string filters, and that one valid.
bool validInnerFilter(const wire::RIDUZFilter* filter, APMErrorOut error, std::int64_t code,
                      std::string_view exactlyOne, std::string_view invalidNumber, std::string_view invalidString) {
  const bool hasNumber = wire::NANOHasField(filter, af::kFilterNumberFilter);
  const bool hasString = wire::NANOHasField(filter, af::kFilterStringFilter);
  if (!APMCheckSuccess(hasNumber != hasString, error, code, exactlyOne)) return false;
  if (hasNumber) {
    const auto number = wire::NANOGetMessage<wire::RIDUZNumberFilter>(filter, af::kFilterNumberFilter);
    return APMCheckSuccess(APMIsValidNumberFilter(number.get()), error, code, invalidNumber);
  }
  const auto string = wire::NANOGetMessage<wire::RIDUZStringFilter>(filter, af::kFilterStringFilter);
  return APMCheckSuccess(APMIsValidStringFilter(string.get()), error, code, invalidString);
}

// The error texts of one kind of filter (event or property).
struct FilterTexts {
  std::int64_t code;
  std::string_view missingName, missingID, idOutOfRange, duplicateID;
};

// A non-empty name, and a filter ID present, in range and not used yet in the audience.
bool validNameAndFilterID(const wire::NANOMessageBase* filter, std::int32_t nameIndex, std::int32_t idIndex,
                          std::set<std::int32_t>& filterIDs, APMErrorOut error, const FilterTexts& texts) {
  if (!APMCheckSuccess(nonEmptyString(filter, nameIndex), error, texts.code, texts.missingName)) return false;
  if (!APMCheckSuccess(wire::NANOHasField(filter, idIndex), error, texts.code, texts.missingID)) return false;
  const std::int32_t filterID = wire::NANOGetInt32(filter, idIndex);
  if (!APMCheckSuccess(filterID >= 0 && filterID < settings()->maxFiltersPerAudience(), error, texts.code,
                       texts.idOutOfRange)) {
    return false;
  }
  return APMCheckSuccess(filterIDs.insert(filterID).second, error, texts.code, texts.duplicateID);
}

}  // namespace

void APMAudience::setRemoteConfigForTesting(std::shared_ptr<APMRemoteConfig> config) {
  ConfigOverride& slot = configOverride();
  std::lock_guard lock(slot.mutex);
  slot.config = std::move(config);
}

// ---- sequence timestamps cache --------------------------------------------

std::shared_ptr<APMSequenceTimestampsCache> APMSequenceTimestampsCache::initWithAudienceID(
    std::optional<std::int32_t> audienceID) {
  if (!audienceID) return nullptr;
  return std::make_shared<APMSequenceTimestampsCache>(Token{}, *audienceID);
}

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::optional<std::int32_t> filterID) const {
  if (!filterID) return std::nullopt;
  const auto it = allSequenceTimestampsByFilterID_.find(*filterID);
  if (it == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return it->second;
}

void APMSequenceTimestampsCache::addTimestamp(double timestamp, std::optional<std::int32_t> filterID) {
  if (!filterID) return;
  allSequenceTimestampsByFilterID_[*filterID].push_back(timestamp);
}

SequenceTimestamps APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  SequenceTimestamps list;
  for (const auto& [filterID, timestamps] : allSequenceTimestampsByFilterID_) {
    std::vector<std::int64_t> seconds;
    for (double timestamp : timestamps) seconds.push_back(wholeSeconds(timestamp));
    std::sort(seconds.begin(), seconds.end());
    fd::Array values;
    for (std::int64_t second : seconds) values.emplace_back(static_cast<long long>(second));
    auto message = RIDUZSequenceFilterResultTimestamp::make();
    if (!message) continue;
    wire::NANOSetInt32(message.get(), af::kTimestampFilterID, filterID);
    wire::NANOSetArray(message.get(), af::kTimestampValue, values);
    list.push_back(std::move(message));
  }
  return list;
}

// ---- results ----------------------------------------------------------------

bool APMAudience::isFilterResult(const APMFilterResult* result, std::int32_t filterID) {
  if (result == nullptr || result->currentResults().empty()) return false;
  const auto record = RIDUZResultData::initWithBuffer(result->currentResults());
  const auto status = record ? firstWord(record.get(), af::kResultStatus) : std::nullopt;
  const auto results = record ? firstWord(record.get(), af::kResultResults) : std::nullopt;
  if (!status || !results) {
    audienceMonitor().logWithLevel(2, 6023,
                           "Audience filter result is non-nil and is missing status or results array. Audience result "
                           "will not be bundled. Audience ID, result data",
                           fd::Value(result->audienceID()), fd::Value(result->currentResults()));
    return false;
  }
  const std::uint64_t mask = filterMask(filterID);
  return (*status & mask) != 0 && (*results & mask) != 0;
}

std::shared_ptr<APMFilterResult> APMAudience::updatedFilterResultWithFilterID(
    std::int32_t filterID, std::int32_t audienceID, const APMFilterResult* currentFilterResult,
    std::optional<bool> newEvaluationResult, const DynamicTimestamps* dynamicFilterTimestamps,
    const SequenceTimestamps* sequenceFilterTimestamps) {
  std::uint64_t status = 0;
  std::uint64_t results = 0;
  if (currentFilterResult != nullptr && !currentFilterResult->currentResults().empty()) {
    if (const auto record = RIDUZResultData::initWithBuffer(currentFilterResult->currentResults())) {
      const auto firstStatus = firstWord(record.get(), af::kResultStatus);
      const auto firstResults = firstWord(record.get(), af::kResultResults);
      if (firstStatus && firstResults) {
        status = *firstStatus;
        results = *firstResults;
      }
    }
  }
  const std::uint64_t mask = filterMask(filterID);
  status = newEvaluationResult ? status | mask : status & ~mask;
  results = newEvaluationResult == true ? results | mask : results & ~mask;

  auto record = RIDUZResultData::make();
  if (!record) return nullptr;
  wire::NANOSetArray(record.get(), af::kResultStatus, fd::Array{fd::Value(static_cast<long long>(status))});
  wire::NANOSetArray(record.get(), af::kResultResults, fd::Array{fd::Value(static_cast<long long>(results))});
  if (dynamicFilterTimestamps != nullptr && !dynamicFilterTimestamps->empty()) {
    wire::NANOSetArray(record.get(), af::kResultDynamicTimestamps, messageArray(*dynamicFilterTimestamps));
  }
  if (sequenceFilterTimestamps != nullptr && !sequenceFilterTimestamps->empty()) {
    wire::NANOSetArray(record.get(), af::kResultSequenceTimestamps, messageArray(*sequenceFilterTimestamps));
  }
  auto bytes = record->protoBuffer();
  if (!bytes) return nullptr;
  return std::make_shared<APMFilterResult>(
      audienceID, std::move(*bytes),
      currentFilterResult != nullptr ? currentFilterResult->previousResults() : fd::Bytes{});
}

bool APMAudience::resultsForBundling(std::optional<APMAudienceLeafResults>* results) {
  if (results != nullptr) results->reset();
  std::optional<fd::Error> error;
  const auto stored = database_ ? database_->allFilterResults(&error)
                                : std::map<std::int32_t, std::shared_ptr<APMFilterResult>>{};
  if (!database_ || failed(!stored.empty(), error)) {
    audienceMonitor().logWithLevel(1, 6019,
                           "Unable to query Audience filter results. Audience results will not be bundled. Error",
                           errorContext(error));
    return false;
  }
  APMAudienceLeafResults leaves;
  std::vector<std::shared_ptr<APMFilterResult>> rewritten;
  for (const auto& [audienceID, row] : stored) {
    const auto current = RIDUZResultData::initWithBuffer(row->currentResults());
    if (!current) {
      audienceMonitor().logWithLevel(1, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID",
                             fd::Value(audienceID));
      continue;
    }
    const auto status = firstWord(current.get(), af::kResultStatus);
    if (!status || *status == 0) {
      audienceMonitor().logWithLevel(1, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID",
                             fd::Value(audienceID));
      continue;
    }
    auto leaf = wire::RIDUZAudienceLeafFilterResult::make();
    if (!leaf) continue;
    wire::NANOSetInt32(leaf.get(), af::kLeafAudienceID, audienceID);
    wire::NANOSetMessage(leaf.get(), af::kLeafCurrentResults, current.get());
    if (!row->previousResults().empty()) {
      wire::NANOSetBool(leaf.get(), af::kLeafNewAudience, false);
      const auto previous = RIDUZResultData::initWithBuffer(row->previousResults());
      if (previous && previous->protoBuffer() != current->protoBuffer()) {
        wire::NANOSetMessage(leaf.get(), af::kLeafPreviousResults, previous.get());
      }
    } else {
      wire::NANOSetBool(leaf.get(), af::kLeafNewAudience, true);
    }
    leaves.push_back(std::move(leaf));
    rewritten.push_back(std::make_shared<APMFilterResult>(audienceID, row->currentResults(), row->currentResults()));
  }
  if (!rewritten.empty()) {
    error.reset();
    if (failed(database_->updateFilterResults(rewritten, &error), error)) {
      audienceMonitor().logWithLevel(1, 6022,
                             "Unable to save updated Audience filter results. Audience results will not be bundled. "
                             "Error",
                             errorContext(error));
      return false;
    }
  }
  if (results != nullptr) *results = std::move(leaves);
  return true;
}

// ---- definitions ------------------------------------------------------------

bool APMAudience::isValidAudienceProto(const wire::RIDUZAudience* audience,
                                       const std::set<std::int32_t>& usedAudienceIDs, APMErrorOut error) {
  if (!APMCheckSuccess(audience != nullptr && wire::NANOHasField(audience, af::kAudienceID), error, 9,
                       "Missing audience ID")) {
    return false;
  }
  const std::int32_t audienceID = wire::NANOGetInt32(audience, af::kAudienceID);
  if (!APMCheckSuccess(audienceID >= 0, error, 9, "Audience ID is negative")) return false;
  if (!APMCheckSuccess(!usedAudienceIDs.contains(audienceID), error, 9, "Duplicate audience ID")) return false;
  const auto eventFilters = messages<wire::RIDUZEventFilter>(audience, af::kAudienceEventFilters);
  const auto propertyFilters = messages<wire::RIDUZPropertyFilter>(audience, af::kAudiencePropertyFilters);
  // A list counts as present once it holds a filter (the runtime reports every repeated field as set).
  if (!APMCheckSuccess(!eventFilters.empty() || !propertyFilters.empty(), error, 9, "Audience missing filters arrays")) {
    return false;
  }
  const auto filterCount = static_cast<std::int64_t>(eventFilters.size() + propertyFilters.size());
  if (!APMCheckSuccess(filterCount >= 1 && filterCount <= settings()->maxFiltersPerAudience(), error, 9,
                       "Audience filter count out of range")) {
    return false;
  }

  std::set<std::int32_t> filterIDs;
  for (const auto& filter : eventFilters) {
    if (!validNameAndFilterID(filter.get(), af::kEventFilterEventName, af::kEventFilterID, filterIDs, error,
                              {10, "Event filter missing event name", "Missing event filter ID",
                               "Event filter ID is out of range", "Duplicate event filter ID"})) {
      return false;
    }
    if (wire::NANOHasField(filter.get(), af::kEventFilterCountFilter)) {
      const auto count = wire::NANOGetMessage<wire::RIDUZNumberFilter>(filter.get(), af::kEventFilterCountFilter);
      if (!APMCheckSuccess(!wire::NANOGetBool(count.get(), af::kNumberMatchAsFloat), error, 10,
                           "Event filter has float event count filter")) {
        return false;
      }
      if (!APMCheckSuccess(APMIsValidNumberFilter(count.get()), error, 10,
                           "Event filter has invalid event count filter")) {
        return false;
      }
    }
    const auto parameterFilters = messages<wire::RIDUZFilter>(filter.get(), af::kEventFilterParameterFilters);
    if (!APMCheckSuccess(static_cast<std::int64_t>(parameterFilters.size()) <= settings()->maxParametersPerFilter(),
                         error, 10, "Event filter parameters filters count out of range")) {
      return false;
    }
    for (const auto& parameterFilter : parameterFilters) {
      if (!APMCheckSuccess(nonEmptyString(parameterFilter.get(), af::kFilterParameterName), error, 10,
                           "Event filter missing parameter name")) {
        return false;
      }
      if (!validInnerFilter(parameterFilter.get(), error, 10,
                            "Event filter must have exactly one of number or string filter",
                            "Event filter has invalid number filter", "Event filter has invalid string filter")) {
        return false;
      }
    }
  }
  for (const auto& filter : propertyFilters) {
    if (!validNameAndFilterID(filter.get(), af::kPropertyFilterPropertyName, af::kPropertyFilterID, filterIDs, error,
                              {11, "Property filter missing property name", "Missing property filter ID",
                               "Property filter ID is out of range", "Duplicate property filter ID"})) {
      return false;
    }
    if (!APMCheckSuccess(wire::NANOHasField(filter.get(), af::kPropertyFilterFilter), error, 11,
                         "Property filter has no filter")) {
      return false;
    }
    const auto inner = wire::NANOGetMessage<wire::RIDUZFilter>(filter.get(), af::kPropertyFilterFilter);
    if (!validInnerFilter(inner.get(), error, 11, "Property filter must have exactly one of number or string filter",
                          "Property filter has invalid number filter", "Property filter has invalid string filter")) {
      return false;
    }
  }
  return true;
}

void APMAudience::beginEventFilterCache() { eventFilterCache_.emplace(); }

void APMAudience::endEventFilterCache() { eventFilterCache_.reset(); }

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<wire::RIDUZAudience>>& audiences) {
  if (eventFilterCache_) eventFilterCache_->clear();
  const auto maxAudienceCount = settings()->maxAudienceCount();
  if (static_cast<std::int64_t>(audiences.size()) > maxAudienceCount) {
    audienceMonitor().logWithLevel(1, 6008, "Configuration contains too many audiences. Audiences will not be saved. Audience count",
                           fd::Value(static_cast<std::int64_t>(audiences.size())));
    return true;
  }
  std::set<std::int32_t> acceptedIDs;
  std::vector<std::shared_ptr<APMEventFilter>> eventRows;
  std::vector<std::shared_ptr<APMPropertyFilter>> propertyRows;
  for (const auto& audience : audiences) {
    std::optional<fd::Error> error;
    if (!isValidAudienceProto(audience.get(), acceptedIDs, &error)) {
      audienceMonitor().logWithLevel(1, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
                             APMMessageContext(audience.get()), errorContext(error));
      continue;
    }
    const std::int32_t audienceID = wire::NANOGetInt32(audience.get(), af::kAudienceID);
    acceptedIDs.insert(audienceID);
    for (const auto& filter : messages<wire::RIDUZEventFilter>(audience.get(), af::kAudienceEventFilters)) {
      rewriteName(filter.get(), af::kEventFilterEventName, APMEventNameTable());
      auto parameterFilters = messages<wire::RIDUZFilter>(filter.get(), af::kEventFilterParameterFilters);
      for (const auto& parameterFilter : parameterFilters) {
        rewriteName(parameterFilter.get(), af::kFilterParameterName, APMParameterNameTable());
      }
      if (!parameterFilters.empty()) {
        wire::NANOSetArray(filter.get(), af::kEventFilterParameterFilters, messageArray(parameterFilters));
      }
      eventRows.push_back(std::make_shared<APMEventFilter>(
          audienceID, wire::NANOGetInt32(filter.get(), af::kEventFilterID),
          wire::NANOGetString(filter.get(), af::kEventFilterEventName).value_or(""),
          filter->protoBuffer().value_or(fd::Bytes{})));
    }
    for (const auto& filter : messages<wire::RIDUZPropertyFilter>(audience.get(), af::kAudiencePropertyFilters)) {
      rewriteName(filter.get(), af::kPropertyFilterPropertyName, APMUserPropertyNameTable());
      propertyRows.push_back(std::make_shared<APMPropertyFilter>(
          audienceID, wire::NANOGetInt32(filter.get(), af::kPropertyFilterID),
          wire::NANOGetString(filter.get(), af::kPropertyFilterPropertyName).value_or(""),
          filter->protoBuffer().value_or(fd::Bytes{})));
    }
  }

  if (!maybeDeleteStaleFilterResults(acceptedIDs)) return false;
  if (!database_) return false;
  struct Step {
    std::int64_t code;
    std::string_view message;
    std::function<bool(APMErrorOut)> run;
  };
  const Step steps[] = {
      {6010, "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
       [this](APMErrorOut error) { return database_->deleteAllEventFilters(error); }},
      {6011, "Unable to delete existing Audience user property filters. Audiences will not be saved. Error",
       [this](APMErrorOut error) { return database_->deleteAllPropertyFilters(error); }},
      {6012, "Unable to save Audience event filters. Audiences will not be saved. Error",
       [this, &eventRows](APMErrorOut error) { return eventRows.empty() || database_->updateEventFilters(eventRows, error); }},
      {6013, "Unable to save Audience user property filters. Audiences will not be saved. Error",
       [this, &propertyRows](APMErrorOut error) {
         return propertyRows.empty() || database_->updatePropertyFilters(propertyRows, error);
       }},
  };
  for (const Step& step : steps) {
    std::optional<fd::Error> error;
    if (failed(step.run(&error), error)) {
      audienceMonitor().logWithLevel(1, step.code, step.message, errorContext(error));
      return false;
    }
  }

  std::optional<fd::Error> error;
  const auto properties = database_->userAttributesIncludingInternal(true, &error);
  if (failed(properties.has_value(), error)) {
    audienceMonitor().logWithLevel(1, 6014, "Unable to query current user properties. Audiences will not be saved. Error",
                           errorContext(error));
    return false;
  }
  for (const auto& property : properties.value_or(std::vector<APMUserAttributeRef>{})) {
    if (!evaluateFiltersForUserProperty(property.get())) return false;
  }
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs) {
  std::optional<fd::Error> error;
  const auto stored = database_ ? database_->allFilterResults(&error)
                                : std::map<std::int32_t, std::shared_ptr<APMFilterResult>>{};
  if (!database_ || failed(!stored.empty(), error)) {
    audienceMonitor().logWithLevel(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
                           errorContext(error));
    return false;
  }
  const std::int32_t maxCount = settings()->maxFilterResultCount();
  if (static_cast<std::int64_t>(stored.size()) <= maxCount) return true;
  audienceMonitor().logWithLevel(3, 6016,
                         "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter "
                         "result count, max filter result count",
                         fd::Value(static_cast<std::int64_t>(stored.size())), fd::Value(maxCount));
  error.reset();
  const auto definedIDs = database_->allAudienceIDs(&error);
  if (failed(definedIDs.has_value(), error)) {
    audienceMonitor().logWithLevel(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
                           errorContext(error));
    return false;
  }
  const std::vector<std::int64_t> defined = definedIDs.value_or(std::vector<std::int64_t>{});
  std::vector<std::shared_ptr<APMFilterResult>> stale;
  for (const auto& [audienceID, result] : stored) {
    const bool isDefined = std::find(defined.begin(), defined.end(), audienceID) != defined.end();
    if (!isDefined && !audienceIDs.contains(audienceID)) stale.push_back(result);
  }
  if (stale.empty()) return true;
  error.reset();
  if (failed(database_->deleteFilterResults(stale, &error), error)) {
    audienceMonitor().logWithLevel(1, 6018, "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
                           errorContext(error));
    return false;
  }
  return true;
}

// ---- evaluation ---------------------------------------------------------------

struct APMAudience::FilterRowView {
  std::int32_t audienceID;
  std::int32_t filterID;
  const fd::Bytes* data;
};

// What differs between the event and the user-property evaluation.
struct APMAudience::Pass {
  struct Decoded {
    std::shared_ptr<wire::NANOMessageBase> filter;
    bool dynamic = false;
    bool sequence = false;
  };
  fd::Value name;                  // the name as a monitor context
  double timestamp = 0;
  bool falseKeepsTrue = false;     // dynamic mode: a false outcome leaves a true filter true
  APMSequenceTimestampsCaches* caches = nullptr;
  std::function<std::optional<Decoded>(const fd::Bytes&)> decode;
  std::function<APMFilterOutcome(const wire::NANOMessageBase*)> evaluate;
  std::int64_t readCode, undecodableCode, undecodableDynamicCode, storeCode;
  std::string_view readMessage, undecodableMessage, undecodableDynamicMessage, storeMessage;
};

bool APMAudience::evaluateFilterRows(Pass& pass, const std::vector<FilterRowView>& rows) {
  const bool dynamicMode = settings()->isAudienceDynamicFiltersEnabled();
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> newResults;
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> loadedResults;   // nullptr: no stored row
  std::map<std::int32_t, std::map<std::int32_t, std::int64_t>> dynamicTimestamps;

  const auto dynamicTimestampsOf = [&dynamicTimestamps](std::int32_t audienceID, const APMFilterResult* current)
      -> std::map<std::int32_t, std::int64_t>& {
    auto it = dynamicTimestamps.find(audienceID);
    if (it != dynamicTimestamps.end()) return it->second;
    std::map<std::int32_t, std::int64_t> held;
    if (current != nullptr && !current->currentResults().empty()) {
      if (const auto record = RIDUZResultData::initWithBuffer(current->currentResults())) {
        for (const auto& entry : messages<RIDUZDynamicFilterResultTimestamp>(record.get(), af::kResultDynamicTimestamps)) {
          held[wire::NANOGetInt32(entry.get(), af::kTimestampFilterID)] =
              wire::NANOGetInt64(entry.get(), af::kTimestampValue);
        }
      }
    }
    return dynamicTimestamps.emplace(audienceID, std::move(held)).first->second;
  };

  for (const FilterRowView& row : rows) {
    std::shared_ptr<APMFilterResult> current;
    if (const auto made = newResults.find(row.audienceID); made != newResults.end()) {
      current = made->second;
    } else if (const auto loaded = loadedResults.find(row.audienceID); loaded != loadedResults.end()) {
      current = loaded->second;
    } else {
      std::optional<fd::Error> error;
      current = database_->filterResultForAudienceID(row.audienceID, &error);
      if (failed(current != nullptr, error)) {
        audienceMonitor().logWithLevel(1, pass.readCode, pass.readMessage, pass.name, errorContext(error));
        return false;
      }
      loadedResults[row.audienceID] = current;
    }
    const bool alreadyTrue = isFilterResult(current.get(), row.filterID);
    const auto decoded = pass.decode(*row.data);

    std::shared_ptr<APMFilterResult> updated;
    if (!dynamicMode) {
      if (alreadyTrue) continue;
      if (!decoded) {
        audienceMonitor().logWithLevel(1, pass.undecodableCode, pass.undecodableMessage, pass.name, fd::Value(row.filterID),
                               fd::Value(row.audienceID));
        continue;
      }
      const auto outcome = pass.evaluate(decoded->filter.get());
      if (!outcome) continue;
      updated = updatedFilterResultWithFilterID(row.filterID, row.audienceID, current.get(), outcome, nullptr, nullptr);
    } else {
      const bool dynamic = decoded && decoded->dynamic;
      const bool sequence = decoded && decoded->sequence;
      if (alreadyTrue && !dynamic && !sequence) continue;
      if (!decoded) {
        audienceMonitor().logWithLevel(1, pass.undecodableDynamicCode, pass.undecodableDynamicMessage,
                               fd::Array{pass.name, fd::Value(row.filterID), fd::Value(row.audienceID),
                                         fd::Value(false)});
        continue;
      }
      auto outcome = pass.evaluate(decoded->filter.get());
      if (!outcome) continue;
      auto& held = dynamicTimestampsOf(row.audienceID, current.get());
      std::shared_ptr<APMSequenceTimestampsCache> cache =
          pass.caches->objectForKey(row.audienceID).value_or(nullptr);
      if (*outcome) {
        if (sequence) {
          if (!cache) {
            cache = APMSequenceTimestampsCache::initWithAudienceID(row.audienceID);
            pass.caches->setObject(cache, row.audienceID);
          }
          cache->addTimestamp(pass.timestamp, row.filterID);
        } else if (dynamic) {
          const auto it = held.find(row.filterID);
          const std::int64_t previous = it != held.end() ? it->second : 0;
          if (pass.timestamp > static_cast<double>(previous)) {
            held[row.filterID] = wholeSeconds(pass.timestamp);
          } else {
            audienceMonitor().logWithLevel(5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
          }
        }
      } else if (alreadyTrue && pass.falseKeepsTrue) {
        outcome = true;
      }
      DynamicTimestamps dynamicList;
      for (const auto& [filterID, timestamp] : held) {
        auto entry = RIDUZDynamicFilterResultTimestamp::make();
        if (!entry) continue;
        wire::NANOSetInt32(entry.get(), af::kTimestampFilterID, filterID);
        wire::NANOSetInt64(entry.get(), af::kTimestampValue, timestamp);
        dynamicList.push_back(std::move(entry));
      }
      const SequenceTimestamps sequenceList = cache ? cache->sequenceFilterResultTimestamps() : SequenceTimestamps{};
      updated = updatedFilterResultWithFilterID(row.filterID, row.audienceID, current.get(), outcome, &dynamicList,
                                                &sequenceList);
    }
    if (!updated) continue;
    newResults[row.audienceID] = std::move(updated);
    loadedResults.erase(row.audienceID);
  }

  if (newResults.empty()) return true;
  std::vector<std::shared_ptr<APMFilterResult>> toStore;
  for (auto& entry : newResults) toStore.push_back(entry.second);
  std::optional<fd::Error> error;
  if (failed(database_->updateFilterResults(toStore, &error), error)) {
    audienceMonitor().logWithLevel(1, pass.storeCode, pass.storeMessage, pass.name, errorContext(error));
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForEventName(std::string_view eventName, const fd::Dict& eventParameters,
                                              const APMEventAggregates* eventAggregates, double eventTimestamp,
                                              APMSequenceTimestampsCaches& cachedSequenceEvaluationTimestamps) {
  std::optional<fd::Error> error;
  std::optional<std::vector<std::shared_ptr<APMEventFilter>>> filters;
  if (eventFilterCache_) {
    if (const auto kept = eventFilterCache_->find(eventName); kept != eventFilterCache_->end()) filters = kept->second;
  }
  if (!filters) {
    if (database_) filters = database_->eventFiltersForEventName(eventName, &error);
    if (!database_ || failed(filters.has_value(), error)) {
      audienceMonitor().logWithLevel(1, 6000, "Unable to query event filters for event. Event will not be evaluated. Event name, error",
                             eventNameContext(eventName), errorContext(error));
      return false;
    }
    if (eventFilterCache_ && filters) eventFilterCache_->emplace(std::string(eventName), *filters);
  }
  std::vector<FilterRowView> rows;
  for (const auto& filter : filters.value_or(std::vector<std::shared_ptr<APMEventFilter>>{})) {
    rows.push_back({filter->audienceID(), filter->filterID(), &filter->data()});
  }
  const std::string name(eventName);
  Pass pass;
  pass.name = eventNameContext(eventName);
  pass.timestamp = eventTimestamp;
  pass.falseKeepsTrue = true;
  pass.caches = &cachedSequenceEvaluationTimestamps;
  pass.decode = [](const fd::Bytes& data) -> std::optional<Pass::Decoded> {
    const auto filter = data.empty() ? nullptr : wire::RIDUZEventFilter::initWithBuffer(data);
    if (!filter) return std::nullopt;
    return Pass::Decoded{filter, wire::NANOGetBool(filter.get(), af::kEventFilterDynamic),
                         wire::NANOGetBool(filter.get(), af::kEventFilterSequence)};
  };
  pass.evaluate = [&name, &eventParameters, eventAggregates](const wire::NANOMessageBase* filter) {
    return APMEvaluateEventFilter(static_cast<const wire::RIDUZEventFilter*>(filter), name, eventParameters,
                                  eventAggregates);
  };
  pass.readCode = 6001;
  pass.readMessage = "Unable to query filter result for audience. Event will not be evaluated. Event name, error";
  pass.undecodableCode = 6002;
  pass.undecodableMessage =
      "Event filter contains no data. Event will not be evaluated. Event name, filter ID, audience ID";
  pass.undecodableDynamicCode = 6035;
  pass.undecodableDynamicMessage = "Event filter contains no data or corrupt data. Event will not be evaluated. Event "
                                   "name, filter ID, audience ID, dynamic";
  pass.storeCode = 6003;
  pass.storeMessage =
      "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error";
  return evaluateFilterRows(pass, rows);
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute* userProperty) {
  const std::string name = userProperty != nullptr ? userProperty->name() : std::string();
  std::optional<fd::Error> error;
  const auto filters = database_ ? database_->propertyFiltersForPropertyName(name, &error) : std::nullopt;
  if (!database_ || failed(filters.has_value(), error)) {
    audienceMonitor().logWithLevel(1, 6004,
                           "Unable to query property filters for property. Property will not be evaluated. Property "
                           "name, error",
                           propertyNameContext(name), errorContext(error));
    return false;
  }
  std::vector<FilterRowView> rows;
  for (const auto& filter : filters.value_or(std::vector<std::shared_ptr<APMPropertyFilter>>{})) {
    rows.push_back({filter->audienceID(), filter->filterID(), &filter->data()});
  }
  APMSequenceTimestampsCaches caches;   // local to this call
  Pass pass;
  pass.name = propertyNameContext(name);
  pass.timestamp = userProperty != nullptr ? userProperty->lastSetTimestamp() : 0;
  pass.falseKeepsTrue = false;
  pass.caches = &caches;
  pass.decode = [](const fd::Bytes& data) -> std::optional<Pass::Decoded> {
    const auto filter = data.empty() ? nullptr : wire::RIDUZPropertyFilter::initWithBuffer(data);
    if (!filter) return std::nullopt;
    return Pass::Decoded{filter, wire::NANOGetBool(filter.get(), af::kPropertyFilterDynamic),
                         wire::NANOGetBool(filter.get(), af::kPropertyFilterSequence)};
  };
  pass.evaluate = [userProperty](const wire::NANOMessageBase* filter) {
    return APMEvaluatePropertyFilter(static_cast<const wire::RIDUZPropertyFilter*>(filter), userProperty);
  };
  pass.readCode = 6005;
  pass.readMessage = "Unable to query filter result for audience. Property will not be evaluated. Property name, error";
  pass.undecodableCode = 6006;
  pass.undecodableMessage = "User property filter contains no data. User property will not be evaluated. User "
                            "property name, filter ID, audience ID";
  pass.undecodableDynamicCode = 6036;
  pass.undecodableDynamicMessage = "User property filter contains no data or corrupt data. User property will not be "
                                   "evaluated. User property name, filter ID, audience ID, dynamic";
  pass.storeCode = 6007;
  pass.storeMessage = "Unable to save updated Audience filter results. User property will not be evaluated. User "
                      "property name, error";
  return evaluateFilterRows(pass, rows);
}

bool APMAudience::evaluateFiltersForEvent(const APMEvent* event, const APMEventAggregates* eventAggregates,
                                          APMSequenceTimestampsCaches& cachedSequenceEvaluationTimestamps) {
  if (event == nullptr) return true;
  const fd::Dict& parameters = event->parameters();
  const fd::Value* complexID = parameters.find("_eid");
  if (complexID == nullptr) {
    return evaluateFiltersForEventName(event->name(), parameters, eventAggregates, event->timestamp(),
                                       cachedSequenceEvaluationTimestamps);
  }
  if (!database_) return false;
  const auto intParameter = [&parameters](std::string_view key) -> std::int64_t {
    const fd::Value* entry = parameters.find(key);
    const APMValueRef value = entry != nullptr ? APMValueFrom(*entry) : nullptr;
    return value ? value->int64Value() : 0;
  };
  const std::int64_t eventID = intParameter("_eid");
  std::optional<fd::Error> error;
  const auto pair = database_->mainEventAndChildCountPairWithEventID(eventID, &error);
  if (failed(pair.has_value(), error)) {
    audienceMonitor().logWithLevel(1, 6026,
                           "Cannot query for the main event for complex event's audience evaluation. Event name, error",
                           eventNameContext(event->name()), errorContext(error));
    return false;
  }

  if (event->name() != "_ep") {
    if (pair) {
      audienceMonitor().logWithLevel(4, 6033, "Found complex events that share the same event ID. Event name, event ID",
                             eventNameContext(event->name()), fd::Value(static_cast<long long>(eventID)));
    }
    error.reset();
    if (!database_->updateComplexEventForAudienceEvaluationWithEventID(eventID, intParameter("_epc"), event, &error)) {
      audienceMonitor().logWithLevel(1, 6024,
                             "Cannot insert main event data for complex event's audience evaluation. Event name, error",
                             eventNameContext(event->name()), errorContext(error));
      return false;
    }
    return evaluateFiltersForEventName(event->name(), parameters, eventAggregates, event->timestamp(),
                                       cachedSequenceEvaluationTimestamps);
  }

  const fd::Value* mainName = parameters.find("_en");
  const APMValueRef mainNameValue = mainName != nullptr ? APMValueFrom(*mainName) : nullptr;
  if (!mainNameValue || mainNameValue->stringValue().value_or("").empty()) {
    audienceMonitor().logWithLevel(1, 6025, "Extra parameter event doesn't have the main event name.");
    return false;
  }
  if (!pair) {
    audienceMonitor().logWithLevel(4, 6031,
                           "Cannot evaluate the audience for an extra parameter event. Complex event's main event pair "
                           "doesn't exist in the database.");
    error.reset();
    if (!database_->deleteComplexEventForAudienceEvaluationWithEventID(eventID, &error)) {
      audienceMonitor().logWithLevel(1, 6032, "Cannot delete complex event's main event from the database. Event name, error",
                             eventNameContext(event->name()), errorContext(error));
      return false;
    }
    return true;
  }
  const APMEventRef& mainEvent = pair->first;
  if (!mainEvent) {
    audienceMonitor().logWithLevel(1, 6027, "Complex event's main event is nil for audience evaluation. Event name",
                           eventNameContext(event->name()));
    return false;
  }
  fd::Dict merged = mainEvent->parameters();
  for (const auto& [key, value] : parameters) merged.set(key, value);
  error.reset();
  if (pair->second > 1) {
    if (!database_->updateComplexEventForAudienceEvaluationWithEventID(eventID, pair->second - 1, mainEvent.get(),
                                                                      &error)) {
      audienceMonitor().logWithLevel(1, 6030,
                             "Cannot update the remaining children to process of a complex event. Event name, error",
                             eventNameContext(mainEvent->name()), errorContext(error));
      return false;
    }
  } else if (!database_->deleteComplexEventForAudienceEvaluationWithEventID(eventID, &error)) {
    audienceMonitor().logWithLevel(1, 6029, "Cannot delete complex event's main event from the database. Event name, error",
                           eventNameContext(mainEvent->name()), errorContext(error));
    return false;
  }
  error.reset();
  const auto aggregates = database_->eventAggregatesWithName(mainEvent->name(), &error);
  if (failed(aggregates != nullptr, error)) {
    audienceMonitor().logWithLevel(1, 6034, "Failed to query event aggregates. Name, error", eventNameContext(mainEvent->name()),
                           errorContext(error));
    return false;
  }
  return evaluateFiltersForEventName(mainEvent->name(), merged, aggregates.get(), event->timestamp(),
                                     cachedSequenceEvaluationTimestamps);
}

}  // namespace analytics
