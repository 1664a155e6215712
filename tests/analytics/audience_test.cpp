// APMAudience on a real database in a temporary folder: validation of
// definitions, storing them, evaluating events (complex events included) and
// user properties into result records, and the leaf results for bundling.
#include "analytics/audiences/audience.h"

#include <algorithm>
#include <string>
#include <vector>

#include "analytics/audiences/audience_fields.h"
#include "analytics/config/remote_config.h"
#include "analytics/model/records.h"
#include "tests/analytics/audience_support.h"
#include "tests/analytics/store_support.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
using namespace analytics;
using namespace analytics_audience_test;
using wire::RIDUZResultData;

constexpr const char* kAppID = "1:123:ios:abc";

EventFilterRef buyFilter(std::int32_t id) { return eventFilter({.id = id, .name = "buy"}); }
PropertyFilterRef levelFilter(std::int32_t id, const char* over = "2", bool dynamic = false) {
  return propertyFilter({.id = id, .name = "level", .filter = filterOf(numberFilter(af::kComparisonGreaterThan, over)),
                         .dynamic = dynamic});
}
FilterRef amountOver(const char* value) {
  return filterOf(numberFilter(af::kComparisonGreaterThan, value), nullptr, "amount");
}

std::vector<std::uint64_t> words(const RIDUZResultData* record, std::int32_t index) {
  std::vector<std::uint64_t> result;
  for (const auto& item : wire::NANOGetArray(record, index, nullptr).value_or(fd::Array{})) {
    result.push_back(static_cast<std::uint64_t>(item.as_int().value_or(0)));
  }
  return result;
}

class AudienceTest : public DatabaseTablesTest {
 protected:
  void SetUp() override {
    DatabaseTablesTest::SetUp();
    audience_ = APMAudience::initWithDatabase(database_);
  }
  void TearDown() override {
    APMAudience::setRemoteConfigForTesting(nullptr);
    audience_.reset();
    DatabaseTablesTest::TearDown();
  }

  // A remote configuration with these settings in place of the defaults.
  void useSettings(const std::vector<std::pair<std::string, std::string>>& settings) {
    auto config = wire::RIDUZMeasurementConfig::make();
    wire::NANOSetString(config.get(), 1, kAppID);
    fd::Array entries;
    for (const auto& [name, value] : settings) {
      auto setting = wire::RIDUZSetting::make();
      wire::NANOSetString(setting.get(), 0, name);
      wire::NANOSetString(setting.get(), 1, value);
      entries.push_back(fd::Value::object(setting));
    }
    wire::NANOSetArray(config.get(), 3, entries);
    auto remote = APMRemoteConfig::initWithAppID(kAppID, database_, config);
    ASSERT_TRUE(remote);
    APMAudience::setRemoteConfigForTesting(remote);
  }

  // "audience/filter/name" of the stored definitions.
  std::vector<std::string> definitions(const char* table, const char* nameColumn) {
    RawSqlite raw(file());
    std::vector<std::string> rows;
    for (const auto& row : raw.rows(std::string("SELECT audience_id, filter_id, ") + nameColumn + " FROM " + table +
                                    " ORDER BY audience_id, filter_id")) {
      rows.push_back(row[0] + "/" + row[1] + "/" + row[2]);
    }
    return rows;
  }
  std::vector<std::string> eventDefinitions() { return definitions("event_filters", "event_name"); }
  std::vector<std::string> propertyDefinitions() { return definitions("property_filters", "property_name"); }

  std::shared_ptr<APMFilterResult> stored(std::int32_t audienceID) {
    return database_->filterResultForAudienceID(audienceID, nullptr);
  }
  std::shared_ptr<RIDUZResultData> record(std::int32_t audienceID) {
    const auto result = stored(audienceID);
    return result ? RIDUZResultData::initWithBuffer(result->currentResults()) : nullptr;
  }
  // The first status and result words of an audience's record ({} without one).
  std::vector<std::uint64_t> bits(std::int32_t audienceID) {
    const auto current = record(audienceID);
    if (!current) return {};
    auto status = words(current.get(), af::kResultStatus);
    const auto results = words(current.get(), af::kResultResults);
    status.insert(status.end(), results.begin(), results.end());
    return status;
  }

  bool store(std::int32_t audienceID, const std::vector<EventFilterRef>& events,
             const std::vector<PropertyFilterRef>& properties = {}) {
    return audience_->updateAudiences({audience(audienceID, events, properties)});
  }
  bool logEvent(const std::string& name, fd::Dict parameters, double timestamp,
                const std::shared_ptr<APMEventAggregates>& aggregates = nullptr) {
    auto event = APMEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
    EXPECT_TRUE(event) << name;
    return event && audience_->evaluateFiltersForEvent(event.get(), aggregates.get(), caches_);
  }
  bool setProperty(const std::string& name, APMValueRef value, double timestamp) {
    auto property = APMUserAttribute::initWithOrigin("app", name, value, timestamp);
    EXPECT_TRUE(property);
    return audience_->evaluateFiltersForUserProperty(property.get());
  }

  std::shared_ptr<APMAudience> audience_;
  APMSequenceTimestampsCaches caches_;
};

// ---- definitions ------------------------------------------------------------------

TEST_F(AudienceTest, ValidationTableInOrder) {
  const auto count = [](std::size_t n) {
    std::vector<EventFilterRef> filters;
    for (std::size_t i = 0; i < n; ++i) filters.push_back(buyFilter(static_cast<std::int32_t>(i)));
    return filters;
  };
  std::vector<FilterRef> manyParameters(26, amountOver("1"));
  const auto withParameter = [](FilterRef parameter) {
    return eventFilter({.id = 0, .name = "buy", .parameters = {std::move(parameter)}});
  };
  const auto withInner = [](FilterRef inner) {
    return propertyFilter({.id = 1, .name = "level", .filter = std::move(inner)});
  };
  const auto bothFilters = filterOf(numberFilter(2, "1"), stringFilter(af::kMatchExact, "a"), "amount");
  const struct {
    AudienceRef audience;
    std::int64_t code;
    const char* description;
  } cases[] = {
      {audience(std::nullopt, {buyFilter(0)}), 9, "Missing audience ID"},
      {audience(-1, {buyFilter(0)}), 9, "Audience ID is negative"},
      {audience(5, {buyFilter(0)}), 9, "Duplicate audience ID"},
      {audience(1, {}), 9, "Audience missing filters arrays"},
      {audience(1, count(11)), 9, "Audience filter count out of range"},
      {audience(1, {eventFilter({.id = 0, .name = ""})}), 10, "Event filter missing event name"},
      {audience(1, {eventFilter({.id = std::nullopt, .name = "buy"})}), 10, "Missing event filter ID"},
      {audience(1, {buyFilter(10)}), 10, "Event filter ID is out of range"},
      {audience(1, {buyFilter(-1)}), 10, "Event filter ID is out of range"},
      {audience(1, {buyFilter(3), buyFilter(3)}), 10, "Duplicate event filter ID"},
      {audience(1, {eventFilter({.id = 0, .name = "buy", .count = numberFilter(2, "1", {}, {}, true)})}), 10,
       "Event filter has float event count filter"},
      {audience(1, {eventFilter({.id = 0, .name = "buy", .count = numberFilter(2, "x")})}), 10,
       "Event filter has invalid event count filter"},
      {audience(1, {eventFilter({.id = 0, .name = "buy", .parameters = manyParameters})}), 10,
       "Event filter parameters filters count out of range"},
      {audience(1, {withParameter(filterOf(numberFilter(2, "1")))}), 10, "Event filter missing parameter name"},
      {audience(1, {withParameter(bothFilters)}), 10, "Event filter must have exactly one of number or string filter"},
      {audience(1, {withParameter(filterOf(nullptr, nullptr, "amount"))}), 10,
       "Event filter must have exactly one of number or string filter"},
      {audience(1, {withParameter(filterOf(numberFilter(0, "1"), nullptr, "amount"))}), 10,
       "Event filter has invalid number filter"},
      {audience(1, {withParameter(stringOnly(stringFilter(af::kMatchRegularExpression, "("), "amount"))}), 10,
       "Event filter has invalid string filter"},
      {audience(1, {}, {propertyFilter({.id = 1, .name = std::nullopt, .filter = amountOver("1")})}), 11,
       "Property filter missing property name"},
      {audience(1, {}, {propertyFilter({.id = std::nullopt, .name = "level", .filter = amountOver("1")})}), 11,
       "Missing property filter ID"},
      {audience(1, {}, {levelFilter(10)}), 11, "Property filter ID is out of range"},
      {audience(1, {buyFilter(0)}, {levelFilter(0)}), 11, "Duplicate property filter ID"},
      {audience(1, {}, {propertyFilter({.id = 1, .name = "level"})}), 11, "Property filter has no filter"},
      {audience(1, {}, {withInner(bothFilters)}), 11, "Property filter must have exactly one of number or string filter"},
      {audience(1, {}, {withInner(filterOf(numberFilter(4, std::nullopt, "1")))}), 11,
       "Property filter has invalid number filter"},
      {audience(1, {}, {withInner(stringOnly(stringFilter(af::kMatchInList, std::nullopt)))}), 11,
       "Property filter has invalid string filter"},
  };
  const std::set<std::int32_t> used{5};
  for (const auto& c : cases) {
    std::optional<fd::Error> error;
    EXPECT_FALSE(APMAudience::isValidAudienceProto(c.audience.get(), used, &error)) << c.description;
    ASSERT_TRUE(error) << c.description;
    EXPECT_EQ(error->domain, kAPMErrorDomain);
    EXPECT_EQ(error->code, c.code) << c.description;
    EXPECT_EQ(text(error), c.description);
  }
  std::optional<fd::Error> error;
  EXPECT_TRUE(APMAudience::isValidAudienceProto(audience(1, count(9), {levelFilter(9)}).get(), used, &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(APMAudience::isValidAudienceProto(nullptr, used, &error));
}

TEST_F(AudienceTest, LimitsAreReadFromTheConfigurationInForce) {
  useSettings({{"measurement.audience.filter_max_count_per_audience", "70"},
               {"measurement.audience.parameter_max_count_filter", "1"}});
  EXPECT_TRUE(APMAudience::isValidAudienceProto(audience(1, {buyFilter(64)}).get(), {}, nullptr));
  std::optional<fd::Error> error;
  EXPECT_FALSE(APMAudience::isValidAudienceProto(
      audience(1, {eventFilter({.id = 0, .name = "buy", .parameters = {amountOver("1"), amountOver("2")}})}).get(), {},
      &error));
  EXPECT_EQ(text(error), "Event filter parameters filters count out of range");
}

TEST_F(AudienceTest, StoringDefinitions) {
  ASSERT_TRUE(store(1, {buyFilter(0)}));
  EXPECT_EQ(eventDefinitions(), std::vector<std::string>{"1/0/buy"});

  // One audience over the limit: nothing changes, and the call goes on.
  std::vector<AudienceRef> tooMany;
  for (int i = 0; i < 51; ++i) tooMany.push_back(audience(100 + i, {buyFilter(0)}));
  recorder_.clear();
  EXPECT_TRUE(audience_->updateAudiences(tooMany));
  EXPECT_TRUE(hasCode(recorder_, 6008));
  EXPECT_EQ(eventDefinitions(), std::vector<std::string>{"1/0/buy"});

  // A duplicate ID keeps the first; a filter ID shared by an event and a
  // property filter skips its audience; public names become internal ones.
  const auto screenView = eventFilter(
      {.id = 1, .name = "screen_view",
       .parameters = {filterOf(numberFilter(2, "100"), nullptr, "engagement_time_msec")}});
  recorder_.clear();
  EXPECT_TRUE(audience_->updateAudiences({audience(2, {buyFilter(0)}), audience(2, {eventFilter({.id = 0, .name = "sell"})}),
                                          audience(3, {buyFilter(0)}, {levelFilter(0)}),
                                          audience(4, {eventFilter({.id = 0, .name = "level_up"}), screenView},
                                                   {propertyFilter({.id = 2, .name = "user_id",
                                                                    .filter = stringOnly(stringFilter(5, "x"))})})}));
  const auto codes = recorder_.codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 6009), 2);   // the second audience 2, and audience 3
  EXPECT_EQ(eventDefinitions(), (std::vector<std::string>{"2/0/buy", "4/0/level_up", "4/1/_vs"}));
  EXPECT_EQ(propertyDefinitions(), std::vector<std::string>{"4/2/_id"});
  const auto stored = database_->eventFiltersForEventName("_vs", nullptr);
  ASSERT_TRUE(stored && stored->size() == 1);
  const auto filter = wire::RIDUZEventFilter::initWithBuffer(stored->front()->data());
  ASSERT_TRUE(filter);
  EXPECT_EQ(wire::NANOGetString(filter.get(), af::kEventFilterEventName), "_vs");
  const auto parameters = wire::NANOGetArray(filter.get(), af::kEventFilterParameterFilters, &wire::RIDUZFilter::type());
  ASSERT_TRUE(parameters && parameters->size() == 1);
  EXPECT_EQ(wire::NANOGetString(parameters->front().object<wire::RIDUZFilter>().get(), af::kFilterParameterName), "_et");
}

TEST_F(AudienceTest, NewDefinitionsAreEvaluatedAgainstStoredUserProperties) {
  auto level = APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithInt64(5), 100);
  ASSERT_TRUE(database_->updateUserAttribute(level.get(), nullptr));
  ASSERT_TRUE(store(6, {}, {levelFilter(3)}));
  EXPECT_EQ(bits(6), (std::vector<std::uint64_t>{8, 8}));
}

TEST_F(AudienceTest, StaleResultsAreDeletedOnlyAboveTheLimit) {
  ASSERT_TRUE(store(1, {buyFilter(0)}));
  const auto result = [](std::int32_t id) {
    return APMAudience::updatedFilterResultWithFilterID(0, id, nullptr, true, nullptr, nullptr);
  };
  ASSERT_TRUE(database_->updateFilterResults({result(1), result(2), result(3)}, nullptr));
  // Within the limit (200) nothing goes.
  ASSERT_TRUE(store(2, {buyFilter(0)}));
  EXPECT_EQ(database_->allFilterResults(nullptr).size(), 3u);

  useSettings({{"measurement.audience.filter_result_max_count", "2"}});
  recorder_.clear();
  ASSERT_TRUE(audience_->updateAudiences({audience(4, {buyFilter(0)})}));
  EXPECT_TRUE(hasCode(recorder_, 6016));
  // 2 was defined until now and 4 is new; 1 and 3 are neither.
  const auto left = database_->allFilterResults(nullptr);
  EXPECT_EQ(left.size(), 1u);
  EXPECT_TRUE(left.contains(2));
}

// ---- evaluation -------------------------------------------------------------------

TEST_F(AudienceTest, FilterIDsZeroAndSixtyFourShareABit) {
  const auto result = APMAudience::updatedFilterResultWithFilterID(64, 7, nullptr, true, nullptr, nullptr);
  ASSERT_TRUE(result);
  EXPECT_TRUE(APMAudience::isFilterResult(result.get(), 0));
  EXPECT_FALSE(APMAudience::isFilterResult(result.get(), 1));
  const auto cleared = APMAudience::updatedFilterResultWithFilterID(0, 7, result.get(), false, nullptr, nullptr);
  EXPECT_FALSE(APMAudience::isFilterResult(cleared.get(), 64));

  // Stored rows with both IDs: once filter 0 holds, filter 64 counts as true and is not evaluated.
  const auto row = [](std::int32_t filterID, const EventFilterRef& filter) {
    return std::make_shared<APMEventFilter>(7, filterID, "buy", *filter->protoBuffer());
  };
  ASSERT_TRUE(database_->updateEventFilters(
      {row(0, buyFilter(0)), row(64, eventFilter({.id = 64, .name = "buy", .parameters = {amountOver("10")}}))},
      nullptr));
  ASSERT_TRUE(logEvent("buy", {{"amount", 1}}, 100));
  EXPECT_EQ(bits(7), (std::vector<std::uint64_t>{1, 1}));
}

TEST_F(AudienceTest, ATrueFilterWithoutFlagsIsNotEvaluatedAgain) {
  for (bool dynamic : {false, true}) {
    SCOPED_TRACE(dynamic ? "dynamic" : "plain");
    APMAudience::setRemoteConfigForTesting(nullptr);   // dynamic filters are on by default
    if (!dynamic) useSettings({{"measurement.audience.dynamic_filters", "0"}});
    const std::int32_t id = dynamic ? 11 : 10;
    ASSERT_TRUE(store(id, {eventFilter({.id = 2, .name = "buy", .parameters = {amountOver("10")}})}));
    ASSERT_TRUE(logEvent("buy", {{"amount", 5}}, 100));
    EXPECT_EQ(bits(id), (std::vector<std::uint64_t>{4, 0}));
    ASSERT_TRUE(logEvent("buy", {{"amount", 12}}, 101));
    EXPECT_EQ(bits(id), (std::vector<std::uint64_t>{4, 4}));
    const auto before = stored(id)->currentResults();
    ASSERT_TRUE(logEvent("buy", {{"amount", 5}}, 102));
    EXPECT_EQ(stored(id)->currentResults(), before);
    // A parameter the event lacks is no outcome: nothing is stored.
    ASSERT_TRUE(store(id + 10, {eventFilter({.id = 2, .name = "buy", .parameters = {amountOver("10")}})}));
    ASSERT_TRUE(logEvent("buy", {{"other", 5}}, 103));
    EXPECT_EQ(stored(id + 10), nullptr);
  }
}

TEST_F(AudienceTest, DynamicFiltersTable) {
  ASSERT_TRUE(store(20, {eventFilter({.id = 1, .name = "buy", .parameters = {amountOver("10")}, .dynamic = true})},
                    {levelFilter(2, "2", true)}));
  const auto dynamicTimestamps = [this]() {
    std::vector<std::int64_t> result;
    const auto current = record(20);
    for (const auto& item : wire::NANOGetArray(current.get(), af::kResultDynamicTimestamps,
                                               &wire::RIDUZDynamicFilterResultTimestamp::type())
                                .value_or(fd::Array{})) {
      const auto entry = item.object<wire::RIDUZDynamicFilterResultTimestamp>();
      result.push_back(wire::NANOGetInt32(entry.get(), 0));
      result.push_back(wire::NANOGetInt64(entry.get(), 1));
    }
    return result;
  };
  struct Step {
    const char* label;
    std::function<bool()> run;
    std::vector<std::uint64_t> bits;
    std::vector<std::int64_t> timestamps;
  };
  const std::vector<Step> steps = {
      {"event true", [&] { return logEvent("buy", {{"amount", 12}}, 100.9); }, {2, 2}, {1, 100}},
      {"event false stays true", [&] { return logEvent("buy", {{"amount", 5}}, 150); }, {2, 2}, {1, 100}},
      {"event true later", [&] { return logEvent("buy", {{"amount", 20}}, 200.5); }, {2, 2}, {1, 200}},
      {"event true earlier keeps the time", [&] { return logEvent("buy", {{"amount", 20}}, 120); }, {2, 2}, {1, 200}},
      {"property true", [&] { return setProperty("level", APMValue::initWithInt64(5), 300); }, {6, 6}, {1, 200, 2, 300}},
      {"property false", [&] { return setProperty("level", APMValue::initWithInt64(1), 400); }, {6, 2}, {1, 200, 2, 300}},
  };
  for (const auto& step : steps) {
    recorder_.clear();
    ASSERT_TRUE(step.run()) << step.label;
    EXPECT_EQ(bits(20), step.bits) << step.label;
    EXPECT_EQ(dynamicTimestamps(), step.timestamps) << step.label;
    EXPECT_EQ(hasCode(recorder_, 6037), std::string(step.label) == "event true earlier keeps the time") << step.label;
  }
}

TEST_F(AudienceTest, UndecodableFilterDataIsLoggedAndSkipped) {
  const fd::Bytes garbage{0xff, 0xff, 0xff};
  ASSERT_TRUE(database_->updateEventFilters({std::make_shared<APMEventFilter>(80, 0, "buy", garbage)}, nullptr));
  ASSERT_TRUE(database_->updatePropertyFilters({std::make_shared<APMPropertyFilter>(80, 1, "level", garbage)}, nullptr));
  for (bool dynamic : {true, false}) {
    SCOPED_TRACE(dynamic ? "dynamic" : "plain");
    if (!dynamic) useSettings({{"measurement.audience.dynamic_filters", "0"}});
    recorder_.clear();
    EXPECT_TRUE(logEvent("buy", {}, 100));
    EXPECT_TRUE(setProperty("level", APMValue::initWithInt64(5), 100));
    EXPECT_TRUE(hasCode(recorder_, dynamic ? 6035 : 6002));
    EXPECT_TRUE(hasCode(recorder_, dynamic ? 6036 : 6006));
    EXPECT_EQ(stored(80), nullptr);
  }
}

TEST_F(AudienceTest, SequenceFilterCollectsTheTimestampsOfOnePass) {
  ASSERT_TRUE(store(30, {eventFilter({.id = 3, .name = "buy", .sequence = true})}));
  for (double timestamp : {102.9, 100.7, 101.2}) ASSERT_TRUE(logEvent("buy", {}, timestamp));
  const auto current = record(30);
  const auto sequences = wire::NANOGetArray(current.get(), af::kResultSequenceTimestamps,
                                            &wire::RIDUZSequenceFilterResultTimestamp::type());
  ASSERT_TRUE(sequences && sequences->size() == 1);
  const auto entry = sequences->front().object<wire::RIDUZSequenceFilterResultTimestamp>();
  EXPECT_EQ(wire::NANOGetInt32(entry.get(), 0), 3);
  EXPECT_EQ(words(reinterpret_cast<const RIDUZResultData*>(entry.get()), 1),
            (std::vector<std::uint64_t>{100, 101, 102}));
  const auto cache = caches_.objectForKey(30);
  ASSERT_TRUE(cache && *cache);
  EXPECT_EQ((*cache)->sequenceTimestampsForFilterID(3), (std::vector<double>{102.9, 100.7, 101.2}));
  EXPECT_EQ((*cache)->sequenceTimestampsForFilterID(std::nullopt), std::nullopt);
  EXPECT_EQ(APMSequenceTimestampsCache::initWithAudienceID(std::nullopt), nullptr);
}

TEST_F(AudienceTest, ComplexEventChildrenMergeIntoTheMainEvent) {
  ASSERT_TRUE(store(40, {eventFilter({.id = 0, .name = "purchase",
                                      .parameters = {amountOver("10"),
                                                     stringOnly(stringFilter(af::kMatchExact, "book"), "item")}})}));
  RawSqlite raw(file());
  ASSERT_TRUE(logEvent("purchase", {{"_eid", 9}, {"_epc", 2}, {"amount", 12}}, 100));
  EXPECT_EQ(raw.one("SELECT children_to_process FROM main_event_params WHERE event_id = 9"), "2");
  EXPECT_EQ(stored(40), nullptr);   // "item" comes with a child

  ASSERT_TRUE(logEvent("_ep", {{"_eid", 9}, {"_en", "purchase"}, {"item", "pen"}}, 101));
  EXPECT_EQ(raw.one("SELECT children_to_process FROM main_event_params WHERE event_id = 9"), "1");
  EXPECT_EQ(bits(40), (std::vector<std::uint64_t>{1, 0}));

  ASSERT_TRUE(logEvent("_ep", {{"_eid", 9}, {"_en", "purchase"}, {"item", "book"}}, 102));
  EXPECT_EQ(raw.one("SELECT count(*) FROM main_event_params"), "0");
  EXPECT_EQ(bits(40), (std::vector<std::uint64_t>{1, 1}));

  // A child whose main event was never stored.
  const auto before = database_->allFilterResults(nullptr).at(40)->currentResults();
  recorder_.clear();
  EXPECT_TRUE(logEvent("_ep", {{"_eid", 5}, {"_en", "purchase"}, {"item", "book"}}, 103));
  EXPECT_TRUE(hasCode(recorder_, 6031));
  EXPECT_EQ(raw.one("SELECT count(*) FROM main_event_params"), "0");
  EXPECT_EQ(database_->allFilterResults(nullptr).at(40)->currentResults(), before);

  // A child without the main event's name.
  recorder_.clear();
  EXPECT_FALSE(logEvent("_ep", {{"_eid", 5}}, 104));
  EXPECT_TRUE(hasCode(recorder_, 6025));
}

// ---- results for bundling -----------------------------------------------------------

TEST_F(AudienceTest, LeafResultsCarryNewAndPreviousRecords) {
  ASSERT_TRUE(store(50, {buyFilter(0), eventFilter({.id = 1, .name = "sell"})}));
  ASSERT_TRUE(logEvent("buy", {}, 100));
  const auto leaf = [](const std::optional<APMAudienceLeafResults>& results) {
    EXPECT_TRUE(results && results->size() == 1);
    return results && !results->empty() ? results->front() : nullptr;
  };

  std::optional<APMAudienceLeafResults> results;
  ASSERT_TRUE(audience_->resultsForBundling(&results));
  auto first = leaf(results);
  ASSERT_TRUE(first);
  EXPECT_EQ(wire::NANOGetInt32(first.get(), af::kLeafAudienceID), 50);
  EXPECT_TRUE(wire::NANOGetBool(first.get(), af::kLeafNewAudience));
  EXPECT_FALSE(wire::NANOHasField(first.get(), af::kLeafPreviousResults));
  const auto current = wire::NANOGetMessage<RIDUZResultData>(first.get(), af::kLeafCurrentResults);
  EXPECT_EQ(words(current.get(), af::kResultStatus), std::vector<std::uint64_t>{1});

  ASSERT_TRUE(audience_->resultsForBundling(&results));
  auto second = leaf(results);
  ASSERT_TRUE(second);
  EXPECT_TRUE(wire::NANOHasField(second.get(), af::kLeafNewAudience));
  EXPECT_FALSE(wire::NANOGetBool(second.get(), af::kLeafNewAudience));
  EXPECT_FALSE(wire::NANOHasField(second.get(), af::kLeafPreviousResults));
  EXPECT_EQ(wire::NANOGetMessage<RIDUZResultData>(second.get(), af::kLeafCurrentResults)->protoBuffer(),
            current->protoBuffer());

  // A change since the last pass sends the previous record too.
  ASSERT_TRUE(logEvent("sell", {}, 101));
  ASSERT_TRUE(audience_->resultsForBundling(&results));
  auto third = leaf(results);
  ASSERT_TRUE(third);
  const auto previous = wire::NANOGetMessage<RIDUZResultData>(third.get(), af::kLeafPreviousResults);
  ASSERT_TRUE(previous);
  EXPECT_EQ(words(previous.get(), af::kResultStatus), std::vector<std::uint64_t>{1});
}

TEST_F(AudienceTest, AZeroStatusIsLeftOut) {
  const auto zero = APMAudience::updatedFilterResultWithFilterID(0, 60, nullptr, std::nullopt, nullptr, nullptr);
  ASSERT_TRUE(database_->updateFilterResults({zero}, nullptr));
  std::optional<APMAudienceLeafResults> results;
  ASSERT_TRUE(audience_->resultsForBundling(&results));
  ASSERT_TRUE(results);
  EXPECT_TRUE(results->empty());
  EXPECT_TRUE(hasCode(recorder_, 6021));
}

TEST_F(AudienceTest, AClosedDatabaseFailsAndChangesNothing) {
  ASSERT_TRUE(store(70, {buyFilter(0)}));
  ASSERT_TRUE(logEvent("buy", {}, 100));
  RawSqlite raw(file());
  const auto snapshot = [&raw] {
    return raw.rows("SELECT audience_id, hex(current_results), previous_results IS NULL FROM audience_filter_values "
                    "UNION ALL SELECT audience_id, filter_id, event_name FROM event_filters");
  };
  const auto before = snapshot();
  ASSERT_EQ(before.size(), 2u);
  database_->sqliteStore()->closeDatabase();
  recorder_.clear();
  std::optional<APMAudienceLeafResults> results = APMAudienceLeafResults{};
  EXPECT_FALSE(audience_->resultsForBundling(&results));
  EXPECT_FALSE(results);
  EXPECT_FALSE(logEvent("buy", {}, 101));
  EXPECT_FALSE(setProperty("level", APMValue::initWithInt64(3), 102));
  EXPECT_FALSE(audience_->updateAudiences({audience(71, {buyFilter(0)})}));
  for (std::int64_t code : {6019, 6000, 6004, 6015}) EXPECT_TRUE(hasCode(recorder_, code)) << code;
  EXPECT_EQ(snapshot(), before);
}

}  // namespace
}  // namespace analytics_test
