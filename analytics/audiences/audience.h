#pragma once
// APMAudience: the audience definitions of the server configuration (checked,
// rewritten to internal names and stored as filter rows), the per-audience
// result records that events and user properties update, and the leaf results
// that travel in every bundle. APMSequenceTimestampsCache collects the
// timestamps of sequence filters for one audience within one bundling pass.
//
// Threads: every operation runs on the engine's worker queue; APMAudience
// takes no lock. The pass's cache dictionary is thread-safe, the caches in it
// are not.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/model/event.h"
#include "analytics/model/records.h"
#include "analytics/support/errors.h"
#include "core/mutable_dictionary.h"
#include "platform/foundation/value.h"
#include "wire/measurement/measurement.h"

namespace analytics {

class APMDatabase;
class APMRemoteConfig;

class APMSequenceTimestampsCache {
 public:
  // nullptr for no audience ID.
  static std::shared_ptr<APMSequenceTimestampsCache> initWithAudienceID(std::optional<std::int32_t> audienceID);

  std::int32_t audienceID() const { return audienceID_; }
  // A copy of the filter's timestamps in the order added; nullopt for no ID
  // or an unknown filter.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::optional<std::int32_t> filterID) const;
  // Appends; no ID is ignored.
  void addTimestamp(double timestamp, std::optional<std::int32_t> filterID);
  // One message per filter, by filter ID, with its timestamps in whole
  // seconds, ascending.
  std::vector<std::shared_ptr<wire::RIDUZSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps() const;

  struct Token {};
  APMSequenceTimestampsCache(Token, std::int32_t audienceID) : audienceID_(audienceID) {}

 private:
  std::int32_t audienceID_;
  std::map<std::int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};

// The bundling pass's caches: audience ID -> cache.
using APMSequenceTimestampsCaches = core::GULMutableDictionary<std::shared_ptr<APMSequenceTimestampsCache>, std::int32_t>;
using APMAudienceLeafResults = std::vector<std::shared_ptr<wire::RIDUZAudienceLeafFilterResult>>;

class APMAudience {
 public:
  explicit APMAudience(std::shared_ptr<APMDatabase> database) : database_(std::move(database)) {}
  static std::shared_ptr<APMAudience> initWithDatabase(std::shared_ptr<APMDatabase> database) {
    return std::make_shared<APMAudience>(std::move(database));
  }
  const std::shared_ptr<APMDatabase>& database() const { return database_; }

  // Every BOOL operation answers true to let the caller go on and false only
  // after a failed database step.

  // A complex event's main event is stored with its child count; its "_ep"
  // children are evaluated under the main event's name with the parameters merged.
  bool evaluateFiltersForEvent(const APMEvent* event, const APMEventAggregates* eventAggregates,
                               APMSequenceTimestampsCaches& cachedSequenceEvaluationTimestamps);
  bool evaluateFiltersForEventName(std::string_view eventName, const platform::foundation::Dict& eventParameters,
                                   const APMEventAggregates* eventAggregates, double eventTimestamp,
                                   APMSequenceTimestampsCaches& cachedSequenceEvaluationTimestamps);
  bool evaluateFiltersForUserProperty(const APMUserAttribute* userProperty);
  // Between these calls (one transaction on the worker queue) the event
  // filters of a name are read from the store once; updateAudiences drops
  // what was kept.
  void beginEventFilterCache();
  void endEventFilterCache();
  // Replaces the stored definitions by the valid audiences of `audiences`,
  // then evaluates every stored user property against them.
  bool updateAudiences(const std::vector<std::shared_ptr<wire::RIDUZAudience>>& audiences);
  // Above the result-count limit: drops the results of audiences that are
  // neither stored nor in `audienceIDs`.
  bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs);
  // The leaf results of the stored records (nullopt after a failure); the
  // records' previous results then follow their current ones.
  bool resultsForBundling(std::optional<APMAudienceLeafResults>* results);

  // Both the status and the result bit of the filter are set (6023 for a
  // record lacking either list).
  static bool isFilterResult(const APMFilterResult* result, std::int32_t filterID);
  // The record with the filter's bits set or cleared and the timestamp lists
  // given; previous results stay. nullptr when the record cannot be encoded.
  static std::shared_ptr<APMFilterResult> updatedFilterResultWithFilterID(
      std::int32_t filterID, std::int32_t audienceID, const APMFilterResult* currentFilterResult,
      std::optional<bool> newEvaluationResult,
      const std::vector<std::shared_ptr<wire::RIDUZDynamicFilterResultTimestamp>>* dynamicFilterTimestamps,
      const std::vector<std::shared_ptr<wire::RIDUZSequenceFilterResultTimestamp>>* sequenceFilterTimestamps);
  // Errors 9, 10 and 11 of the analytics domain.
  static bool isValidAudienceProto(const wire::RIDUZAudience* audience, const std::set<std::int32_t>& usedAudienceIDs,
                                   APMErrorOut error);

  // Tests: the remote configuration whose limits and flags are read, in
  // place of the engine's (nullptr restores it).
  static void setRemoteConfigForTesting(std::shared_ptr<APMRemoteConfig> config);

 private:
  struct FilterRowView;
  struct Pass;
  bool evaluateFilterRows(Pass& pass, const std::vector<FilterRowView>& rows);

  std::shared_ptr<APMDatabase> database_;
  std::optional<std::map<std::string, std::vector<std::shared_ptr<APMEventFilter>>, std::less<>>> eventFilterCache_;
};

}  // namespace analytics
