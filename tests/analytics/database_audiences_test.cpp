// APMDatabase audience tables against a real file: filters and results with
// their bulk writes and deletes, conditional user properties and their time
// conditions, complex events.
#include "tests/analytics/store_support.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
using analytics::APMConditionalUserProperty;
using analytics::APMEvent;
using analytics::APMEventFilter;
using analytics::APMFilterResult;
using analytics::APMPropertyFilter;
using analytics::APMValue;
using fd::Bytes;
using fd::Value;

class AnalyticsDatabaseAudiencesTest : public DatabaseTablesTest {
 protected:
  std::shared_ptr<APMConditionalUserProperty> property(const std::string& name, double created, double timeout,
                                                       bool active = false) {
    auto p = std::make_shared<APMConditionalUserProperty>();
    p->setName(name);
    p->setOrigin("app");
    p->setValue(APMValue::initWithInt64(7));
    p->setTriggerEventName("go");
    p->setCreationTimestamp(created);
    p->setTriggerTimeout(timeout);
    p->setActive(active);
    return p;
  }
  static std::vector<std::string> names(const std::optional<std::vector<analytics::APMConditionalUserPropertyRef>>& ps) {
    std::vector<std::string> result;
    for (const auto& p : ps.value_or(std::vector<analytics::APMConditionalUserPropertyRef>{})) result.push_back(p->name());
    std::sort(result.begin(), result.end());
    return result;
  }
};

TEST_F(AnalyticsDatabaseAudiencesTest, FiltersAreWrittenReadAndDeletedByKey) {
  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->updateEventFilters({}, &error));
  EXPECT_EQ(text(error), "Received empty event filters to update");

  ASSERT_TRUE(database_->updateEventFilters({std::make_shared<APMEventFilter>(1, 1, "buy", Bytes{1}),
                                             std::make_shared<APMEventFilter>(1, 2, "buy", Bytes{2}),
                                             std::make_shared<APMEventFilter>(2, 1, "open", Bytes{3})},
                                            nullptr));
  ASSERT_TRUE(database_->updatePropertyFilters({std::make_shared<APMPropertyFilter>(3, 1, "level", Bytes{4})}, nullptr));
  auto ids = database_->allAudienceIDs(nullptr);
  ASSERT_TRUE(ids);
  EXPECT_EQ(*ids, (std::vector<std::int64_t>{1, 2, 3}));

  auto buy = database_->eventFiltersForEventName("buy", nullptr);
  ASSERT_TRUE(buy);
  ASSERT_EQ(buy->size(), 2u);
  EXPECT_EQ((*buy)[1]->filterID(), 2);
  EXPECT_EQ((*buy)[1]->data(), Bytes{2});
  auto level = database_->propertyFiltersForPropertyName("level", nullptr);
  ASSERT_TRUE(level && level->size() == 1);
  EXPECT_EQ(level->front()->audienceID(), 3);
  EXPECT_EQ(database_->eventFiltersForEventName("", &error), std::nullopt);
  EXPECT_EQ(text(error), "Received empty event name for getting event filters");
  EXPECT_EQ(database_->propertyFiltersForPropertyName("", &error), std::nullopt);
  EXPECT_EQ(text(error), "Received empty property name for getting property filters");

  // The write stops at the first refused element; the ones before it stay.
  recorder_.clear();
  error.reset();
  EXPECT_FALSE(database_->updateEventFilters({std::make_shared<APMEventFilter>(4, 1, "x", Bytes{5}),
                                              std::make_shared<APMEventFilter>(4, 2, "", Bytes{5}),
                                              std::make_shared<APMEventFilter>(4, 3, "y", Bytes{5})},
                                             &error));
  EXPECT_EQ(text(error), "Received empty record for upsert");
  EXPECT_TRUE(hasCode(recorder_, 12027));
  RawSqlite raw(file());
  EXPECT_EQ(raw.one("SELECT group_concat(filter_id) FROM event_filters WHERE audience_id=4"), "1");

  ASSERT_TRUE(database_->deleteEventFilters({std::make_shared<APMEventFilter>(1, 2, "buy", Bytes{}),
                                             std::make_shared<APMEventFilter>(4, 1, "x", Bytes{})},
                                            nullptr));
  EXPECT_EQ(raw.rows("SELECT audience_id, filter_id FROM event_filters ORDER BY rowid"),
            (std::vector<std::vector<std::string>>{{"1", "1"}, {"2", "1"}}));
  EXPECT_FALSE(database_->deletePropertyFilters({}, &error));
  EXPECT_EQ(text(error), "Received empty property filters to delete");
  EXPECT_FALSE(database_->deleteEventFilters({nullptr}, &error));
  EXPECT_EQ(text(error), "Received unknown type to delete event filter");
  ASSERT_TRUE(database_->deleteAllEventFilters(nullptr));
  ASSERT_TRUE(database_->deleteAllPropertyFilters(nullptr));
  EXPECT_EQ(database_->allAudienceIDs(nullptr)->size(), 0u);
}

TEST_F(AnalyticsDatabaseAudiencesTest, FilterResultsKeepEmptyPreviousResultsAsNull) {
  ASSERT_TRUE(database_->updateFilterResults({std::make_shared<APMFilterResult>(5, Bytes{1, 2}, Bytes{}),
                                              std::make_shared<APMFilterResult>(6, Bytes{3}, Bytes{4})},
                                             nullptr));
  RawSqlite raw(file());
  EXPECT_EQ(raw.one("SELECT typeof(previous_results) FROM audience_filter_values WHERE audience_id=5"), "null");
  auto five = database_->filterResultForAudienceID(5, nullptr);
  ASSERT_TRUE(five);
  EXPECT_EQ(five->currentResults(), (Bytes{1, 2}));
  EXPECT_TRUE(five->previousResults().empty());
  auto all = database_->allFilterResults(nullptr);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[6]->previousResults(), Bytes{4});
  EXPECT_EQ(database_->filterResultForAudienceID(99, nullptr), nullptr);

  // Empty current results are refused and end the write there.
  std::optional<fd::Error> error;
  recorder_.clear();
  EXPECT_FALSE(database_->updateFilterResults({std::make_shared<APMFilterResult>(7, Bytes{}, Bytes{1}),
                                               std::make_shared<APMFilterResult>(8, Bytes{1}, Bytes{})},
                                              &error));
  EXPECT_TRUE(hasCode(recorder_, 12035));
  EXPECT_EQ(database_->filterResultForAudienceID(8, nullptr), nullptr);

  // The same audience twice is one ID in the delete.
  auto six = std::make_shared<APMFilterResult>(6, Bytes{3}, Bytes{});
  ASSERT_TRUE(database_->deleteFilterResults({six, six}, nullptr));
  EXPECT_EQ(database_->allFilterResults(nullptr).size(), 1u);
  EXPECT_FALSE(database_->deleteFilterResults({}, &error));
  EXPECT_EQ(text(error), "Received empty filter results to delete");
}

TEST_F(AnalyticsDatabaseAudiencesTest, ConditionalPropertyRoundTripsWithItsEvents) {
  auto p = property("level", now() - 5, 60, true);
  p->setTimeToLive(600);
  p->setTriggeredTimestamp(now() - 1);
  p->setValue(APMValue::initWithDouble(2.5));
  auto triggered = APMEvent::initWithOrigin("app", false, "on", 10, 0, fd::Dict{{"a", Value("b")}});
  auto timedOut = APMEvent::initWithOrigin("auto", false, "late", 11, 0, fd::Dict{{"n", Value(3)}});
  auto expired = APMEvent::initWithOrigin("app", false, "gone", 12, 0, fd::Dict{{"d", Value(1.5)}});
  ASSERT_TRUE(triggered && timedOut && expired);
  p->setTriggeredEvent(triggered);
  p->setTimedOutEvent(timedOut);
  p->setExpiredEvent(expired);
  ASSERT_TRUE(database_->updateConditionalUserProperty(p.get(), nullptr));

  auto back = database_->conditionalUserPropertyWithName("level", nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "app");
  ASSERT_TRUE(back->value());
  EXPECT_TRUE(back->value()->isEqual(p->value().get()));
  EXPECT_EQ(back->triggerEventName(), "go");
  EXPECT_TRUE(back->isActive());
  EXPECT_EQ(back->creationTimestamp(), p->creationTimestamp());
  EXPECT_EQ(back->triggeredTimestamp(), p->triggeredTimestamp());
  EXPECT_EQ(back->triggerTimeout(), 60);
  EXPECT_EQ(back->timeToLive(), 600);
  ASSERT_TRUE(back->triggeredEvent() && back->timedOutEvent() && back->expiredEvent());
  EXPECT_EQ(back->triggeredEvent()->name(), "on");
  EXPECT_EQ(back->timedOutEvent()->origin(), "auto");
  EXPECT_EQ(back->expiredEvent()->timestamp(), 12);
  EXPECT_EQ(back->expiredEvent()->parameters().size(), expired->parameters().size());

  // An upsert replaces the row: absent events become NULL.
  p->setTriggeredEvent(nullptr);
  p->setTriggerEventName("");
  ASSERT_TRUE(database_->updateConditionalUserProperty(p.get(), nullptr));
  back = database_->conditionalUserPropertyWithName("level", nullptr);
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->triggeredEvent());
  EXPECT_EQ(back->triggerEventName(), "");

  // A damaged event blob drops the row (12038) and the read fails.
  RawSqlite raw(file());
  raw.exec("UPDATE conditional_properties SET expired_event = x'ff01'");
  recorder_.clear();
  std::optional<fd::Error> error;
  EXPECT_EQ(database_->conditionalUserPropertyWithName("level", &error), nullptr);
  EXPECT_TRUE(hasCode(recorder_, 12038));

  ASSERT_TRUE(database_->deleteConditionalUserPropertyWithName("level", nullptr));
  EXPECT_EQ(raw.one("SELECT count(*) FROM conditional_properties"), "0");
}

TEST_F(AnalyticsDatabaseAudiencesTest, RefusedConditionalPropertiesAreNotStored) {
  struct Case {
    const char* name;
    const char* origin;
    bool hasValue;
    std::int64_t code;
  };
  for (const Case& c : {Case{"", "app", true, 12040}, Case{"n", "", true, 12041}, Case{"n", "app", false, 12042}}) {
    auto p = property(c.name, now(), 10);
    p->setOrigin(c.origin);
    if (!c.hasValue) p->setValue(nullptr);
    recorder_.clear();
    std::optional<fd::Error> error;
    EXPECT_FALSE(database_->updateConditionalUserProperty(p.get(), &error)) << c.code;
    EXPECT_TRUE(hasCode(recorder_, c.code)) << c.code;
    EXPECT_EQ(text(error), "Failed to insert/update unknown data type");
  }
  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->updateConditionalUserProperty(nullptr, &error));
  EXPECT_EQ(text(error), "Received empty data type to upsert");
}

TEST_F(AnalyticsDatabaseAudiencesTest, TimeConditionsUseAbsoluteDifferences) {
  ASSERT_TRUE(database_->updateConditionalUserProperty(property("late", now() - 100, 60).get(), nullptr));
  ASSERT_TRUE(database_->updateConditionalUserProperty(property("waiting", now() - 100, 200).get(), nullptr));
  ASSERT_TRUE(database_->updateConditionalUserProperty(property("future", now() + 100, 60).get(), nullptr));
  auto expiring = property("expiring", now() - 500, 1000, true);
  expiring->setTriggeredTimestamp(now() - 50);
  expiring->setTimeToLive(30);
  ASSERT_TRUE(database_->updateConditionalUserProperty(expiring.get(), nullptr));
  auto living = property("living", now() - 500, 1000, true);
  living->setTriggeredTimestamp(now() - 50);
  living->setTimeToLive(3000);
  ASSERT_TRUE(database_->updateConditionalUserProperty(living.get(), nullptr));

  EXPECT_EQ(names(database_->timedOutConditionalUserPropertiesWithError(nullptr)),
            (std::vector<std::string>{"future", "late"}));
  EXPECT_EQ(names(database_->triggeredConditionalUserPropertiesWithEventName("go", nullptr)),
            (std::vector<std::string>{"waiting"}));
  EXPECT_EQ(names(database_->triggeredConditionalUserPropertiesWithEventName("other", nullptr)),
            std::vector<std::string>{});
  EXPECT_EQ(names(database_->expiredConditionalUserPropertiesWithError(nullptr)),
            (std::vector<std::string>{"expiring"}));
  std::optional<fd::Error> error;
  EXPECT_EQ(database_->triggeredConditionalUserPropertiesWithEventName("", &error), std::nullopt);
  EXPECT_EQ(text(error), "Received nil/empty event name for querying triggered conditional user properties");
  EXPECT_EQ(database_->conditionalUserPropertiesWithCondition("", {}, &error), std::nullopt);
  EXPECT_EQ(text(error), "Received empty condition for querying a conditional user property");
}

TEST_F(AnalyticsDatabaseAudiencesTest, PrefixAndOriginFollowLikeRules) {
  for (const auto& [name, origin] : std::vector<std::pair<std::string, std::string>>{
           {"abc", "app"}, {"ABD", "auto"}, {"xab", "app"}, {"a_c", "APP"}, {"\xc3\xa4x", "app"}}) {
    auto p = property(name, now(), 10);
    p->setOrigin(origin);
    ASSERT_TRUE(database_->updateConditionalUserProperty(p.get(), nullptr)) << name;
  }
  struct Case {
    const char* prefix;
    const char* origin;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"", "", {"ABD", "a_c", "abc", "xab", "\xc3\xa4x"}},
      {"AB_", "", {"ABD", "abc"}},  // "_" is a wildcard, letters fold ASCII case
      {"ab", "app", {"abc"}},
      {"", "app", {"a_c", "abc", "xab", "\xc3\xa4x"}},
      {"\xc3\x84", "", {}},  // non-ASCII letters do not fold
      {"a%c", "", {"a_c", "abc"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(names(database_->conditionalUserPropertiesWithPrefix(c.prefix, c.origin, nullptr)), c.expected)
        << c.prefix << "/" << c.origin;
  }
}

TEST_F(AnalyticsDatabaseAudiencesTest, ComplexEventsKeepTheMainEventAndItsChildCount) {
  auto main = APMEvent::initWithOrigin("app", false, "purchase", 20, 0, fd::Dict{{"value", Value(9)}});
  ASSERT_TRUE(main);
  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->updateComplexEventForAudienceEvaluationWithEventID(1, 2, nullptr, &error));
  EXPECT_EQ(text(error), "Received nil main event");
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(-4, 3, main.get(), nullptr));
  auto pair = database_->mainEventAndChildCountPairWithEventID(-4, nullptr);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first->name(), "purchase");
  EXPECT_EQ(pair->second, 3);
  error.reset();
  EXPECT_EQ(database_->mainEventAndChildCountPairWithEventID(5, &error), std::nullopt);
  EXPECT_FALSE(error);

  RawSqlite raw(file());
  raw.exec("UPDATE main_event_params SET children_to_process = 'none'");
  EXPECT_EQ(database_->mainEventAndChildCountPairWithEventID(-4, &error), std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 3);
  EXPECT_EQ(text(error), "Complex event does not have children count in database");
  raw.exec("UPDATE main_event_params SET main_event = x'ff'");
  EXPECT_EQ(database_->mainEventAndChildCountPairWithEventID(-4, &error), std::nullopt);
  EXPECT_EQ(error->code, 3);
  EXPECT_EQ(text(error), "Main event blob is nil in database");

  ASSERT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(-4, nullptr));
  EXPECT_EQ(raw.one("SELECT count(*) FROM main_event_params"), "0");
}

}  // namespace
}  // namespace analytics_test
