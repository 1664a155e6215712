// Bundling against a started engine and its real database file: group
// selection (hour, row gaps, caps, undecodable rows), blacklisting, numbering
// and the previous span, lifetime engagement, daily conversion limits and the
// roll-back of a failed attempt.
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "analytics/audiences/audience.h"
#include "analytics/config/persisted_config.h"
#include "analytics/upload/sampling.h"
#include "tests/analytics/audience_support.h"
#include "tests/analytics/bundling_support.h"

namespace {

namespace fd = platform::foundation;
using analytics_test::BundlingEngineTest;
using analytics_test::kBundlingTen;
using analytics_test::MonitorRecorder;

using GroupShape = std::vector<std::vector<std::string>>;

GroupShape shapeOf(const std::vector<std::shared_ptr<wire::RIDUZMeasurementBundle>>& bundles) {
  GroupShape shape;
  for (const auto& bundle : bundles) shape.push_back(analytics_test::bundleEventNames(*bundle));
  return shape;
}

class AnalyticsBundlingTest : public BundlingEngineTest {
 public:
  // Between the cases of a table.
  void clearQueue() { sql().exec("DELETE FROM queue; DELETE FROM raw_events; DELETE FROM raw_events_metadata"); }
};

TEST_F(AnalyticsBundlingTest, GroupSelectionTable) {
  const std::string longText(100, 'x');
  struct Case {
    const char* title;
    analytics_test::BundlingSettings settings;
    std::function<void(AnalyticsBundlingTest&)> fill;
    GroupShape expected;
    std::int64_t undecodable = 0;
  };
  const double t = kBundlingTen;
  const std::vector<Case> cases{
      {"one clock hour per bundle", {},
       [t](AnalyticsBundlingTest& test) {
         test.store("a", t + 3599);  // 10:59:59
         test.store("b", t + 3600);  // 11:00:00
       },
       {{"a"}, {"b"}}},
      {"a row-ID gap ends the group", {},
       [t](AnalyticsBundlingTest& test) {
         test.store("a", t);
         const auto gap = test.store("b", t + 1);
         test.store("c", t + 2);
         test.sql().exec("DELETE FROM raw_events WHERE rowid = " + std::to_string(gap));
       },
       {{"a"}, {"c"}}},
      {"the event cap", {{"measurement.upload.max_events_per_bundle", "2"}},
       [t](AnalyticsBundlingTest& test) {
         for (const char* name : {"a", "b", "c", "d", "e"}) test.store(name, t);
       },
       {{"a", "b"}, {"c", "d"}, {"e"}}},
      {"an oversized first event still goes, and the later ones after it", {{"measurement.upload.max_batch_size", "80"}},
       [t, longText](AnalyticsBundlingTest& test) {
         test.store("big", t, fd::Dict{{"text", fd::Value(longText)}});
         test.store("a", t + 1);
         test.store("b", t + 2);
       },
       {{"big"}, {"a", "b"}}},
      {"a zero batch size bundles one event at a time", {{"measurement.upload.max_batch_size", "0"}},
       [t](AnalyticsBundlingTest& test) {
         for (const char* name : {"a", "b", "c"}) test.store(name, t);
       },
       {{"a"}, {"b"}, {"c"}}},
      {"an undecodable row leaves with its group", {},
       [t](AnalyticsBundlingTest& test) {
         test.store("a", t);
         test.sql().exec(
             "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
             "SELECT 'junk', timestamp, metadata_fingerprint, X'FFFFFFFF', 0 FROM raw_events ORDER BY rowid LIMIT 1");
         test.store("b", t + 1);
       },
       {{"a", "b"}}, 1},
  };
  start(kBundlingTen + 7200);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    configure(c.settings, {});
    c.fill(*this);
    MonitorRecorder monitor;
    bundleAll();
    EXPECT_EQ(shapeOf(queued()), c.expected);
    EXPECT_EQ(sql().one("SELECT COUNT(*) FROM raw_events"), "0");
    EXPECT_EQ(sql().one("SELECT COUNT(*) FROM raw_events_metadata"), "0");
    EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23096), c.undecodable);
    clearQueue();
  }
}

TEST_F(AnalyticsBundlingTest, GroupsWithNothingToSendAreDeletedAndNeverBlockLaterOnes) {
  struct Case {
    const char* title;
    std::function<void(AnalyticsBundlingTest&)> fill;
    std::int64_t code;
  };
  const std::vector<Case> cases{
      {"all blacklisted",
       [](AnalyticsBundlingTest& test) {
         test.store("spam", kBundlingTen);
         test.store("spam", kBundlingTen + 1);
       },
       23100},
      {"none decodable",
       [](AnalyticsBundlingTest& test) {
         test.store("spam", kBundlingTen);
         test.sql().exec("UPDATE raw_events SET data = X'FFFFFFFF'");
       },
       23096},
  };
  start(kBundlingTen + 7200, {}, {{.name = "spam", .blacklisted = true}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    c.fill(*this);
    store("keep", kBundlingTen + 3600);  // the next hour: a group of its own
    engine_->setSuspendedUploadTimestamp(42);
    MonitorRecorder monitor;
    EXPECT_FALSE(bundle());
    EXPECT_TRUE(queued().empty());
    EXPECT_GE(analytics_test::codeCount(monitor.codes(), c.code), 1);
    EXPECT_EQ(engine_->suspendedUploadTimestamp(), 42);  // no bundle, no resumption
    EXPECT_EQ(sql().one("SELECT COUNT(*) FROM raw_events"), "1");
    // The later group goes on the next call.
    EXPECT_TRUE(bundle());
    EXPECT_EQ(shapeOf(queued()), (GroupShape{{"keep"}}));
    EXPECT_EQ(engine_->suspendedUploadTimestamp(), 0);
    EXPECT_EQ(sql().one("SELECT COUNT(*) FROM raw_events_metadata"), "0");
    clearQueue();
  }
}

TEST_F(AnalyticsBundlingTest, BundlesAreNumberedAndCarryThePreviousSpan) {
  start(kBundlingTen + 7200, {}, {}, 17);
  store("level", kBundlingTen);             // 10:00
  store("level", kBundlingTen + 1800.25);   // 10:30:00.250
  store("level", kBundlingTen + 4500);      // 11:15
  std::int32_t indexBefore = 0;
  worker([&] { indexBefore = engine_->database()->queryAppMetadata(nullptr)->lastBundleIndex(); });
  MonitorRecorder monitor;
  ASSERT_EQ(bundleAll(), 2);
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23116), 2);
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  const auto& first = *bundles[0];
  const auto& second = *bundles[1];
  const std::int64_t ten = 1599991200000;

  EXPECT_EQ(wire::NANOGetInt64(&first, 4), ten);
  EXPECT_EQ(wire::NANOGetInt64(&first, 5), ten + 1800250);
  EXPECT_FALSE(wire::NANOHasField(&first, 6));  // tag 26
  EXPECT_FALSE(wire::NANOHasField(&first, 7));
  EXPECT_EQ(wire::NANOGetInt32(&first, 24), indexBefore + 1);  // tag 23
  EXPECT_EQ(wire::NANOGetInt64(&first, 34), 17);               // tag 35
  EXPECT_FALSE(wire::NANOGetString(&first, 14).value_or("").empty());
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23114), 0);  // the metadata had one

  EXPECT_EQ(wire::NANOGetInt64(&second, 6), ten);
  EXPECT_EQ(wire::NANOGetInt64(&second, 7), ten + 1800250);
  EXPECT_EQ(wire::NANOGetInt32(&second, 24), indexBefore + 2);

  // The aggregates give each event its predecessor's time.
  const auto firstEvents = analytics_test::bundleEvents(first);
  ASSERT_EQ(firstEvents.size(), 2u);
  EXPECT_FALSE(wire::NANOHasField(firstEvents[0].get(), 3));
  EXPECT_EQ(wire::NANOGetInt64(firstEvents[1].get(), 3), ten);
  const auto secondEvents = analytics_test::bundleEvents(second);
  ASSERT_EQ(secondEvents.size(), 1u);
  EXPECT_EQ(wire::NANOGetInt64(secondEvents[0].get(), 3), ten + 1800250);
  worker([&] {
    const auto aggregates = engine_->database()->eventAggregatesWithName("level", nullptr);
    ASSERT_TRUE(aggregates);
    EXPECT_EQ(aggregates->lifetimeCount(), 3);
    EXPECT_EQ(aggregates->lastFireTimestamp(), kBundlingTen + 4500);
    const auto metadata = engine_->database()->queryAppMetadata(nullptr);
    EXPECT_EQ(metadata->lastBundleStartTimestamp(), kBundlingTen + 4500);
    EXPECT_EQ(metadata->lastBundleEndTimestamp(), kBundlingTen + 4500);
  });
}

TEST_F(AnalyticsBundlingTest, EngagementTimeAddsUpInLifetimeEngagement) {
  struct Case {
    const char* title;
    std::optional<std::int64_t> stored;
    std::int64_t expected;
  };
  const std::vector<Case> cases{{"added to the stored value", 10000, 13500}, {"none stored yet", std::nullopt, 3500}};
  start(kBundlingTen + 7200);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    sql().exec("DELETE FROM user_attributes WHERE name = '_lte'");
    if (c.stored) {
      worker([&] {
        const auto attribute =
            analytics::APMUserAttribute::initWithOrigin("auto", "_lte", analytics::APMValue::initWithInt64(*c.stored), kBundlingTen);
        ASSERT_TRUE(engine_->setUserPropertyInDatabaseOnWorkerQueue(attribute));
      });
    }
    store("_e", kBundlingTen, analytics_test::intParameters({{"_et", 1000}}), "auto");
    store("_e", kBundlingTen + 1, analytics_test::intParameters({{"_et", 2500}}), "auto");
    ASSERT_TRUE(bundle());
    worker([&] {
      const auto attribute = engine_->database()->userAttributeWithName("_lte", nullptr);
      ASSERT_TRUE(attribute);
      EXPECT_EQ(attribute->value()->int64Value(), c.expected);
    });
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    const auto attributes =
        wire::NANOGetArray(bundles[0].get(), 2, &wire::RIDUZUserAttribute::type()).value_or(fd::Array{});
    int found = 0;
    for (const auto& item : attributes) {
      const auto attribute = item.object<wire::RIDUZUserAttribute>();
      if (!attribute || wire::NANOGetString(attribute.get(), 1) != "_lte") continue;
      ++found;
      EXPECT_EQ(wire::NANOGetInt64(attribute.get(), 3), c.expected);
      EXPECT_EQ(wire::NANOGetInt64(attribute.get(), 0), static_cast<std::int64_t>((kBundlingTen + 7200) * 1000));
    }
    EXPECT_EQ(found, 1);
    clearQueue();
  }
}

TEST_F(AnalyticsBundlingTest, ConversionsPastTheDailyLimitLoseTheirMarkButAreBundled) {
  start(kBundlingTen, {}, {{.name = "level_up", .conversion = true}});
  // Put the clock where the install's midnight offset decides the day: the
  // counts below belong to today only under that rule.
  double offset = 0;
  worker([&] { offset = engine_->persistedConfig()->midnightOffset(); });
  if (offset < 1) GTEST_SKIP() << "the install drew a zero midnight offset";
  const double day = std::floor(kBundlingTen / 86400.0);
  const double now = day * 86400.0 + offset / 2;
  clock_->set_now_since_1970(now);
  const auto today = static_cast<std::int32_t>(std::floor((now - offset) / 86400.0));
  ASSERT_EQ(today, static_cast<std::int32_t>(day) - 1);
  worker([&] {
    analytics::APMDailyCounts counts(today, 499, 0, 0, 0, 0);
    ASSERT_TRUE(engine_->database()->updateDailyCounts(counts, nullptr));
  });
  const double hour = std::floor(now / 3600) * 3600;
  for (int i = 0; i < 3; ++i) store("level_up", hour + i);
  MonitorRecorder monitor;
  ASSERT_TRUE(bundle());
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23102), 2);
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  const auto events = analytics_test::bundleEvents(*bundles[0]);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(analytics_test::eventInt(*events[0], "_c"), 1);
  EXPECT_EQ(analytics_test::eventInt(*events[0], "_r"), 1);
  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(analytics_test::eventInt(*events[i], "_c"), std::nullopt) << i;
    EXPECT_EQ(analytics_test::eventInt(*events[i], "_err"), 10) << i;
  }
  worker([&] {
    const auto counts = engine_->database()->dailyCounts(nullptr);
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->day(), today);
    EXPECT_EQ(counts->conversionsCount(), 500);
    EXPECT_EQ(counts->realtimeCount(), 1);
  });
}

TEST_F(AnalyticsBundlingTest, AFailedAttemptChangesNothing) {
  start(kBundlingTen + 7200, {}, {{.name = "level_up", .conversion = true}});
  store("level_up", kBundlingTen);
  store("_e", kBundlingTen + 1, analytics_test::intParameters({{"_et", 1000}}), "auto");
  const auto snapshot = [&] {
    return sql().rows(
        "SELECT (SELECT COUNT(*) FROM raw_events), (SELECT COUNT(*) FROM raw_events_metadata), "
        "(SELECT COUNT(*) FROM queue), (SELECT COUNT(*) FROM events), (SELECT COUNT(*) FROM user_attributes), "
        "last_bundle_index, last_bundle_end_timestamp, daily_conversions_count, "
        "daily_real_time_conversion_events_count FROM app_metadata");
  };
  const auto before = snapshot();
  sql().exec("CREATE TRIGGER bundling_fault BEFORE INSERT ON queue BEGIN SELECT RAISE(ABORT, 'injected'); END");
  engine_->setSuspendedUploadTimestamp(42);
  MonitorRecorder monitor;
  EXPECT_FALSE(bundle());
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23115), 1);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(engine_->suspendedUploadTimestamp(), 42);

  sql().exec("DROP TRIGGER bundling_fault");
  EXPECT_TRUE(bundle());
  EXPECT_EQ(shapeOf(queued()), (GroupShape{{"level_up", "_e"}}));
  EXPECT_NE(snapshot(), before);
}

TEST_F(AnalyticsBundlingTest, AudienceResultsTravelWithTheBundles) {
  namespace at = analytics_audience_test;
  namespace af = analytics::audience_fields;
  start(kBundlingTen + 7200);
  bool stored = false;
  worker([&] {
    const auto levelUps = at::eventFilter(
        {.id = 0, .name = "level_up", .count = at::numberFilter(af::kComparisonGreaterThan, "2")});
    stored = engine_->audience()->updateAudiences({at::audience(7, {levelUps})});
  });
  ASSERT_TRUE(stored);
  const auto leafOf = [](const wire::RIDUZMeasurementBundle& bundle) {
    const auto results =
        wire::NANOGetArray(&bundle, 28, &wire::RIDUZAudienceLeafFilterResult::type()).value_or(fd::Array{});
    return results.size() == 1 ? results[0].object<wire::RIDUZAudienceLeafFilterResult>() : nullptr;
  };
  const auto bitsOf = [](const std::shared_ptr<wire::RIDUZResultData>& data) {
    return data ? wire::NANOGetArray(data.get(), af::kResultResults, nullptr).value_or(fd::Array{}) : fd::Array{};
  };

  for (int i = 0; i < 3; ++i) store("level_up", kBundlingTen + i);
  ASSERT_TRUE(bundle());
  store("level_up", kBundlingTen + 3600);
  ASSERT_TRUE(bundle());
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);

  const auto first = leafOf(*bundles[0]);  // tag 29
  ASSERT_TRUE(first);
  EXPECT_EQ(wire::NANOGetInt32(first.get(), af::kLeafAudienceID), 7);
  EXPECT_TRUE(wire::NANOGetBool(first.get(), af::kLeafNewAudience));
  const auto current = wire::NANOGetMessage<wire::RIDUZResultData>(first.get(), af::kLeafCurrentResults);
  EXPECT_EQ(bitsOf(current), (fd::Array{fd::Value(1)}));  // filter 0's bit

  const auto second = leafOf(*bundles[1]);
  ASSERT_TRUE(second);
  EXPECT_FALSE(wire::NANOGetBool(second.get(), af::kLeafNewAudience));
  EXPECT_FALSE(wire::NANOHasField(second.get(), af::kLeafPreviousResults));
  EXPECT_EQ(bitsOf(wire::NANOGetMessage<wire::RIDUZResultData>(second.get(), af::kLeafCurrentResults)),
            (fd::Array{fd::Value(1)}));
}

}  // namespace

namespace {

// Every parameter name of every event of a bundle, and its user attribute names.
std::vector<std::string> bundlingFormNames(const wire::RIDUZMeasurementBundle& bundle, std::int32_t index,
                                           const wire::MessageDescriptor* type) {
  std::vector<std::string> names;
  for (const auto& item : wire::NANOGetArray(&bundle, index, type).value_or(fd::Array{})) {
    if (index == 2) {
      names.push_back(wire::NANOGetString(item.object<wire::RIDUZUserAttribute>().get(), 1).value_or(""));
      continue;
    }
    const auto event = item.object<wire::RIDUZEvent>();
    for (const auto& param : wire::NANOGetArray(event.get(), 0, &wire::RIDUZEventParam::type()).value_or(fd::Array{})) {
      names.push_back(wire::NANOGetString(param.object<wire::RIDUZEventParam>().get(), 0).value_or(""));
    }
  }
  return names;
}

// Bundles are written from their parts without a message of the whole; what
// lands in the queue is still exactly what the message classes encode: each
// row decoded and encoded again gives its own bytes back.
TEST_F(AnalyticsBundlingTest, QueuedBundlesAreInTheMessageClassesOwnForm) {
  namespace at = analytics_audience_test;
  namespace af = analytics::audience_fields;
  const std::vector<analytics_test::BundlingEventConfig> events{{.name = "purchase", .conversion = true},
                                                                {.name = "level", .rate = 10}};
  start(kBundlingTen + 7200, {}, events);
  worker([&] {
    const auto levelUps = at::eventFilter(
        {.id = 0, .name = "level_up", .count = at::numberFilter(af::kComparisonGreaterThan, "1")});
    ASSERT_TRUE(engine_->audience()->updateAudiences({at::audience(7, {levelUps})}));
    for (const auto& [name, value] : {std::pair<const char*, analytics::APMValueRef>{
                                          "_lte", analytics::APMValue::initWithInt64(10000)},
                                      {"tier", analytics::APMValue::initWithString(fd::Value("gold"))}}) {
      const auto attribute = analytics::APMUserAttribute::initWithOrigin("auto", name, value, kBundlingTen - 60);
      ASSERT_TRUE(engine_->setUserPropertyInDatabaseOnWorkerQueue(attribute));
    }
  });
  int roll = 1;  // lost, won, lost, ...: the first of the day is kept as exempt
  analytics::APMSetSamplingRandomSource([&roll](std::uint32_t) { return static_cast<std::uint32_t>(roll++ % 2); });

  for (const bool sampling : {false, true}) {
    SCOPED_TRACE(sampling ? "sampling" : "no sampling");
    clearQueue();
    configure({{"measurement.event_sampling_enabled", sampling ? "1" : "0"}}, events);
    const double t = kBundlingTen + (sampling ? 86400 : 0);
    for (int i = 0; i < 3; ++i) {
      store("level_up", t + i, fd::Dict{{"item", fd::Value("sku-" + std::to_string(i))}, {"n", fd::Value(i - 1)},
                                        {"price", fd::Value(2.5 * i)}, {"empty", fd::Value("")}});
    }
    store("purchase", t + 3, fd::Dict{{"value", fd::Value(9.99)}, {"currency", fd::Value("EUR")}});
    store("_e", t + 4, analytics_test::intParameters({{"_et", 1000}}), "auto");
    store("_e", t + 5, analytics_test::intParameters({{"_et", 2500}}), "auto");
    for (int i = 0; i < 4; ++i) store("level", t + 6 + i, analytics_test::intParameters({{"_eid", 20 + i}}));
    store("level_up", t + 3600);  // a second bundle: the previous span, the audience's next result
    EXPECT_EQ(bundleAll(), 2);

    std::vector<analytics::APMEncodedBundle> rows;
    worker([&] {
      rows = engine_->database()->queryEncodedBundlesWithCountLimit(1000, 1 << 30, nullptr).value_or(rows);
    });
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
      const auto decoded = wire::RIDUZMeasurementBundle::initWithBuffer(row.bytes);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->protoBuffer(), row.bytes);
    }
    // The fixture reached what it is for.
    const auto first = wire::RIDUZMeasurementBundle::initWithBuffer(rows[0].bytes);
    const auto params = bundlingFormNames(*first, 1, &wire::RIDUZEvent::type());
    EXPECT_EQ(std::count(params.begin(), params.end(), "_sr") > 0, sampling);
    EXPECT_EQ(std::count(params.begin(), params.end(), "_efs") > 0, sampling);
    EXPECT_GT(std::count(params.begin(), params.end(), "_c"), 0);
    const auto attributes = bundlingFormNames(*first, 2, &wire::RIDUZUserAttribute::type());
    EXPECT_EQ(std::count(attributes.begin(), attributes.end(), "_lte"), 1);
    EXPECT_EQ(std::count(attributes.begin(), attributes.end(), "tier"), 1);
    EXPECT_FALSE(wire::NANOGetArray(first.get(), 28, &wire::RIDUZAudienceLeafFilterResult::type())
                     .value_or(fd::Array{})
                     .empty());
  }
  analytics::APMSetSamplingRandomSource(nullptr);
}

}  // namespace
