// APMDatabase raw events against a real file: shared metadata rows by
// fingerprint, the stored event form and its reading back, the absolute and
// age limits, and the next fingerprint to bundle.
#include "analytics/support/digest.h"
#include "tests/analytics/store_support.h"
#include "wire/measurement/measurement.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
using analytics::APMEvent;
using fd::Value;

constexpr std::int32_t kBundleAppIDField = 14;

std::shared_ptr<wire::RIDUZMeasurementBundle> metadata(const std::string& appID) {
  auto bundle = wire::RIDUZMeasurementBundle::make();
  wire::NANOSetString(bundle.get(), kBundleAppIDField, appID);
  return bundle;
}

class AnalyticsDatabaseRawEventsTest : public DatabaseTablesTest {
 protected:
  analytics::APMEventRef event(const std::string& name, double timestamp) {
    return APMEvent::initWithOrigin("app", false, name, timestamp, timestamp - 1.5,
                                    fd::Dict{{"s", Value("text")}, {"i", Value(42)}, {"d", Value(0.25)}});
  }
  void insert(const std::string& name, double timestamp, std::int64_t fingerprint) {
    auto e = event(name, timestamp);
    ASSERT_TRUE(e);
    ASSERT_TRUE(database_->insertRawEvent(e.get(), fingerprint, false, nullptr));
  }
};

TEST_F(AnalyticsDatabaseRawEventsTest, IdenticalMetadataSharesOneRowUnderItsFingerprint) {
  auto first = metadata("1:app");
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(*first, nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(*metadata("1:app"), nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(*metadata("2:app"), nullptr));
  RawSqlite raw(file());
  EXPECT_EQ(raw.one("SELECT count(*) FROM raw_events_metadata"), "2");

  const auto bytes = *first->protoBuffer();
  const auto digest = analytics::apm_MD5Data(bytes);
  std::uint64_t expected = 0;
  for (int i = 8; i < 16; ++i) expected = (expected << 8) | digest[i];
  const auto fingerprint = static_cast<std::int64_t>(expected);
  EXPECT_EQ(raw.one("SELECT count(*) FROM raw_events_metadata WHERE metadata_fingerprint = " +
                    std::to_string(fingerprint)),
            "1");
  auto back = database_->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(wire::NANOGetString(back.get(), kBundleAppIDField), "1:app");
  EXPECT_EQ(database_->queryRawEventsMetadataWithFingerprint(fingerprint + 1, nullptr), nullptr);

  ASSERT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, nullptr));
  EXPECT_EQ(raw.one("SELECT count(*) FROM raw_events_metadata"), "1");
}

TEST_F(AnalyticsDatabaseRawEventsTest, EventsAreStoredWithoutTheirNameAndReadBackWithTheirOrigin) {
  EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), true);
  EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), std::nullopt);
  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->insertRawEvent(nullptr, 1, false, &error));
  EXPECT_EQ(text(error), "Received empty event for inserting in the database");

  auto e = event("purchase", 1000.5);
  ASSERT_TRUE(database_->insertRawEvent(e.get(), -7, true, nullptr));
  EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), false);
  EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), 1000.5);
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(nullptr), true);
  EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(-7, nullptr), true);
  EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(8, nullptr), false);

  RawSqlite raw(file());
  EXPECT_EQ(raw.rows("SELECT name, typeof(timestamp), metadata_fingerprint, is_realtime FROM raw_events"),
            (std::vector<std::vector<std::string>>{{"purchase", "real", "-7", "1"}}));
  const auto stored = raw.one("SELECT hex(data) FROM raw_events");
  EXPECT_EQ(stored.find("7075726368617365"), std::string::npos);  // "purchase" is not in the blob

  auto all = database_->rawEventsWithMetadataFingerprint(-7, nullptr, nullptr);
  ASSERT_TRUE(all && all->size() == 1);
  const auto& back = all->front();
  EXPECT_EQ(back->rowID(), 1);
  EXPECT_EQ(back->metadataFingerprint(), -7);
  const auto& readEvent = back->rawEvent();
  EXPECT_EQ(readEvent->name(), "purchase");
  EXPECT_EQ(readEvent->origin(), "app");
  EXPECT_EQ(readEvent->timestamp(), 1000.5);
  EXPECT_EQ(readEvent->previousTimestamp(), 999.0);
  const auto& parameters = readEvent->parameters();
  EXPECT_TRUE(analytics::APMValueFrom(parameters.get("s"))->isString());
  EXPECT_TRUE(analytics::APMValueFrom(parameters.get("i"))->isInt64());
  EXPECT_TRUE(analytics::APMValueFrom(parameters.get("d"))->isDouble());
  // "_o" is the event's own entry, rewritten from the origin; none other came back.
  EXPECT_EQ(parameters.size(), e->parameters().size());
  EXPECT_EQ(analytics::APMValueFrom(parameters.get("_o"))->stringValue(), "app");
}

TEST_F(AnalyticsDatabaseRawEventsTest, RowsThatDoNotConvertAreSkippedAndTheFilterEndsTheRead) {
  for (int i = 0; i < 4; ++i) insert("e" + std::to_string(i), 100 + i, 3);
  RawSqlite raw(file());
  raw.exec("UPDATE raw_events SET data = x'ffff' WHERE rowid = 2");
  std::optional<fd::Error> error;
  auto some = database_->rawEventsWithMetadataFingerprint(3, &error, nullptr);
  ASSERT_TRUE(some);
  ASSERT_EQ(some->size(), 3u);
  EXPECT_EQ((*some)[1]->rowID(), 3);
  EXPECT_EQ(text(error), "Failed to parse event from data");

  auto firstTwo = database_->rawEventsWithMetadataFingerprint(
      3, nullptr, [](std::size_t accepted, const analytics::APMRecord&) { return accepted < 2; });
  ASSERT_TRUE(firstTwo);
  EXPECT_EQ(firstTwo->size(), 1u);  // rows 1 and 2 accepted, row 2 does not convert

  raw.exec("UPDATE raw_events SET data = x'ffff'");
  EXPECT_EQ(database_->rawEventsWithMetadataFingerprint(3, nullptr, nullptr), std::nullopt);
  EXPECT_EQ(database_->rawEventsWithMetadataFingerprint(4, nullptr, nullptr)->size(), 0u);

  // Each check of the row conversion in turn.
  struct Case {
    analytics::APMRecord row;
    std::string text;
  };
  const fd::Bytes noOrigin = *wire::RIDUZEvent::make()->protoBuffer();
  const std::vector<Case> cases = {
      {{}, "Received empty dictionary for getting raw event data"},
      {{{"data", Value(fd::Bytes{1})}}, "Unable to find row ID in the database dictionary"},
      {{{"rowid", Value(1)}}, "Unable to find event data in the database dictionary"},
      {{{"rowid", Value(1)}, {"data", Value(fd::Bytes{1})}}, "Unable to find event metadata in the database dictionary"},
      {{{"rowid", Value(1)}, {"data", Value(noOrigin)}, {"metadata_fingerprint", Value(2)}},
       "Cannot create an event from database. Missing origin parameter"},
  };
  for (const auto& c : cases) {
    error.reset();
    EXPECT_EQ(database_->rawEventDataFromDictionary(c.row, &error), nullptr) << c.text;
    EXPECT_EQ(text(error), c.text);
  }
}

TEST_F(AnalyticsDatabaseRawEventsTest, AbsoluteLimitKeepsTheNewestMaxMinusOne) {
  for (int i = 0; i < 50; ++i) insert("e", 100 + i, 1);
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 0);
  RawSqlite raw(file());
  raw.exec("WITH RECURSIVE n(i) AS (SELECT 51 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
           "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data) SELECT i, 'e', i, 1, x'00' "
           "FROM n");
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 1);
  EXPECT_EQ(raw.one("SELECT min(rowid) || ',' || count(*) FROM raw_events"), "2,99999");

  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(99990, nullptr));
  EXPECT_EQ(raw.one("SELECT count(*) FROM raw_events"), "10");
}

TEST_F(AnalyticsDatabaseRawEventsTest, StaleDeletionUsesTheAbsoluteAgeAndDropsUnusedMetadata) {
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(*metadata("a"), nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(*metadata("b"), nullptr));
  RawSqlite raw(file());
  const auto fingerprints = raw.rows("SELECT metadata_fingerprint FROM raw_events_metadata ORDER BY rowid");
  const auto future = std::stoll(fingerprints[0][0]);
  const auto present = std::stoll(fingerprints[1][0]);
  insert("ahead", now() + 2 * 86400, future);
  insert("today", now() - 60, present);

  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(text(error), "Cannot delete stale raw events given negative time period");
  ASSERT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(86400, nullptr));
  EXPECT_EQ(raw.rows("SELECT name FROM raw_events"), (std::vector<std::vector<std::string>>{{"today"}}));
  EXPECT_EQ(raw.rows("SELECT metadata_fingerprint FROM raw_events_metadata"),
            (std::vector<std::vector<std::string>>{{std::to_string(present)}}));
}

TEST_F(AnalyticsDatabaseRawEventsTest, NextFingerprintIsThatOfTheOldestEvent) {
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(nullptr), std::nullopt);
  RawSqlite raw(file());
  raw.exec("INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data) VALUES "
           "(9, 'e', 1, 11, x'00'), (7, 'e', 1, 22, x'00'), (5, 'e', 1, 11, x'00')");
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(nullptr), 11);
}

}  // namespace
}  // namespace analytics_test
