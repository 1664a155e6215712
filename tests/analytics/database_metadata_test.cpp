// APMDatabase small-state tables against a real file: daily counts, event
// aggregates with the table limit, user attributes and their lifetime-value
// query, purchase fingerprints.
#include "tests/analytics/store_support.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
using analytics::APMEventAggregates;
using analytics::APMUserAttribute;
using analytics::APMValue;
using fd::Value;

class AnalyticsDatabaseMetadataTest : public DatabaseTablesTest {
 protected:
  static std::vector<std::string> names(const std::optional<std::vector<analytics::APMUserAttributeRef>>& all) {
    std::vector<std::string> result;
    for (const auto& a : all.value_or(std::vector<analytics::APMUserAttributeRef>{})) result.push_back(a->name());
    return result;
  }
};

TEST_F(AnalyticsDatabaseMetadataTest, DailyCountsStartAtZeroForTodayAndRoundTrip) {
  config_->setDouble(3600.0, analytics::APMPersistedConfig::kMidnightOffsetKey);
  const auto today = static_cast<std::int32_t>(std::floor((now() - 3600.0) / 86400));
  auto counts = database_->dailyCounts(nullptr);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->day(), today);
  EXPECT_EQ(counts->conversionsCount() + counts->allEventsCount() + counts->publicEventsCount() +
                counts->errorEventsCount() + counts->realtimeCount(),
            0);
  ASSERT_TRUE(database_->updateDailyCounts(analytics::APMDailyCounts(today - 1, 1, 2, 3, 4, 5), nullptr));
  counts = database_->dailyCounts(nullptr);
  EXPECT_EQ(counts->day(), today - 1);
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_EQ(counts->realtimeCount(), 5);
  // The bundle fields of the same row are untouched.
  EXPECT_EQ(database_->queryAppMetadata(nullptr)->lastBundleIndex(), 0);
}

TEST_F(AnalyticsDatabaseMetadataTest, AggregatesHonourTheLimitAndReadOldRowsWithDefaults) {
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      auto a = APMEventAggregates::initWithName("e" + std::to_string(i), 1, 1, 10);
      if (!database_->updateEventAggregates(a.get(), nullptr)) return false;
    }
    return true;
  }));
  std::optional<fd::Error> error;
  auto extra = APMEventAggregates::initWithName("e1000", 1, 1, 10);
  EXPECT_FALSE(database_->updateEventAggregates(extra.get(), &error));
  EXPECT_EQ(text(error), "Failed to insert data type. Table is full");
  auto existing = APMEventAggregates::initWithName("e7", 5, 2, 30);
  existing->setLastSampledComplexEventID(Value(77));
  existing->setLastSamplingRate(4);
  existing->setLastExemptFromSampling(true);
  existing->setLastBundledDay(9);
  ASSERT_TRUE(database_->updateEventAggregates(existing.get(), nullptr));
  auto back = database_->eventAggregatesWithName("e7", nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->lifetimeCount(), 5);
  EXPECT_EQ(back->lastSampledComplexEventID().as_int(), 77);
  EXPECT_EQ(back->lastSamplingRate(), 4);
  EXPECT_TRUE(back->lastExemptFromSampling());
  EXPECT_EQ(back->lastBundledDay(), 9);
  EXPECT_EQ(database_->allEventAggregates(nullptr)->size(), 1000u);
  EXPECT_EQ(database_->publicEventCount(nullptr), 1000);

  // A row from before the add-on columns: NULLs read as defaults.
  RawSqlite raw(file());
  raw.exec("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) VALUES ('_old', 1, "
           "0, 5)");
  back = database_->eventAggregatesWithName("_old", nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->lastSamplingRate(), 1);
  EXPECT_FALSE(back->lastExemptFromSampling());
  EXPECT_EQ(back->lastBundledDay(), 0);
  EXPECT_TRUE(back->lastSampledComplexEventID().is_null());
  EXPECT_EQ(database_->publicEventCount(nullptr), 1000);  // "_old" is internal
}

TEST_F(AnalyticsDatabaseMetadataTest, UserAttributesRefuseEmptyStringsAndKeepKindsApart) {
  std::optional<fd::Error> error;
  auto empty = std::make_shared<APMUserAttribute>(APMUserAttribute::Token{}, "app", "level",
                                                  APMValue::initWithString(Value("")), now());
  recorder_.clear();
  EXPECT_FALSE(database_->updateUserAttribute(empty.get(), &error));
  EXPECT_TRUE(hasCode(recorder_, 12024));
  EXPECT_EQ(text(error), "Failed to insert/update unknown data type");

  for (const auto& [name, value] : std::vector<std::pair<std::string, analytics::APMValueRef>>{
           {"zero", APMValue::initWithInt64(0)},
           {"ratio", APMValue::initWithDouble(2.0)},
           {"label", APMValue::initWithString(Value("x"))},
           {"_internal", APMValue::initWithInt64(1)}}) {
    auto attribute = APMUserAttribute::initWithOrigin("app", name, value, now());
    ASSERT_TRUE(attribute) << name;
    ASSERT_TRUE(database_->updateUserAttribute(attribute.get(), nullptr)) << name;
  }
  RawSqlite raw(file());
  EXPECT_EQ(raw.rows("SELECT name, typeof(value) FROM user_attributes ORDER BY rowid"),
            (std::vector<std::vector<std::string>>{
                {"zero", "integer"}, {"ratio", "real"}, {"label", "text"}, {"_internal", "integer"}}));
  auto ratio = database_->userAttributeWithName("ratio", nullptr);
  ASSERT_TRUE(ratio);
  EXPECT_TRUE(ratio->value()->isDouble());
  EXPECT_TRUE(database_->userAttributeWithName("zero", nullptr)->value()->isInt64());

  EXPECT_EQ(database_->publicUserAttributeCount(nullptr), 3);
  EXPECT_EQ(database_->userAttributeCountForOrigin("app", nullptr), 4);
  EXPECT_EQ(database_->userAttributeCountForOrigin("", &error), std::nullopt);
  EXPECT_EQ(text(error), "Received empty user property origin for count query");
  EXPECT_EQ(database_->containsUserAttributeWithName("label", nullptr), true);
  EXPECT_EQ(database_->containsUserAttributeWithName("nope", nullptr), false);
  EXPECT_EQ(database_->containsUserAttributeWithName("", &error), std::nullopt);
  EXPECT_EQ(names(database_->userAttributesIncludingInternal(true, nullptr)),
            (std::vector<std::string>{"zero", "ratio", "label", "_internal"}));
  EXPECT_EQ(names(database_->userAttributesIncludingInternal(false, nullptr)),
            (std::vector<std::string>{"zero", "ratio", "label"}));
  ASSERT_TRUE(database_->deleteUserAttributeWithName("zero", nullptr));
  EXPECT_EQ(database_->userAttributeWithName("zero", nullptr), nullptr);
}

TEST_F(AnalyticsDatabaseMetadataTest, LifetimeValueQueryMatchesTheLiteralPrefixNewestFirst) {
  RawSqlite raw(file());
  raw.exec("INSERT INTO user_attributes (name, set_timestamp, value, origin) VALUES ('_ltv_EUR', 20, 5, 'auto'), "
           "('_ltv_USD', 30, 7, 'auto'), ('xltvq', 40, 1, 'app'), ('_LTV_x', 50, 1, 'app'), ('other', 60, 1, 'app')");
  EXPECT_EQ(names(database_->allLifetimeValueUserAttributes(nullptr)),
            (std::vector<std::string>{"_ltv_USD", "_ltv_EUR"}));
  // Both near misses are readable rows, so only the match leaves them out.
  EXPECT_TRUE(database_->userAttributeWithName("xltvq", nullptr));
  EXPECT_TRUE(database_->userAttributeWithName("_LTV_x", nullptr));
}

TEST_F(AnalyticsDatabaseMetadataTest, PurchaseFingerprintsKeepTheNewestThousand) {
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p0", nullptr), true);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p0", nullptr), false);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("", nullptr), false);
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 1; i <= 1000; ++i) {
      if (database_->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i), nullptr) != true) return false;
    }
    return true;
  }));
  RawSqlite raw(file());
  EXPECT_EQ(raw.one("SELECT count(*) FROM purchase_transactions"), "1000");
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p1000", nullptr), false);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p0", nullptr), true);  // evicted, new again
}

}  // namespace
}  // namespace analytics_test
