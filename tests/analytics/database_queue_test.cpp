// APMDatabase upload queue against a real file: the insert checks and the
// compressed form, selection by count and size, retry counts up to their
// ceiling, and the periodic stale deletion on a manual clock.
#include "tests/analytics/store_support.h"
#include "wire/measurement/measurement.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
using namespace std::chrono_literals;

constexpr std::int32_t kEndField = 5;
constexpr std::int32_t kAppIDField = 14;
constexpr std::int32_t kRetryField = 35;
constexpr double kDay = 86400;

class AnalyticsDatabaseQueueTest : public DatabaseTablesTest {
 protected:
  // A bundle ending at `end` (seconds) whose serialized size is `size` bytes
  // (0: as small as it gets).
  static std::shared_ptr<wire::RIDUZMeasurementBundle> bundle(double end, std::size_t size = 0,
                                                              const std::string& appID = "1:app") {
    auto b = wire::RIDUZMeasurementBundle::make();
    wire::NANOSetInt64(b.get(), kEndField, static_cast<std::int64_t>(end * 1000));
    wire::NANOSetString(b.get(), kAppIDField, appID);
    if (size > 0) {
      const auto base = b->protoBuffer()->size();
      wire::NANOSetString(b.get(), kAppIDField, appID + std::string(size - base, 'x'));
      EXPECT_EQ(b->protoBuffer()->size(), size);
    }
    return b;
  }
  std::vector<std::int64_t> rowIDs(const std::optional<std::vector<analytics::APMBundlePair>>& pairs) {
    std::vector<std::int64_t> ids;
    for (const auto& pair : pairs.value_or(std::vector<analytics::APMBundlePair>{})) ids.push_back(pair.second);
    return ids;
  }
};

TEST_F(AnalyticsDatabaseQueueTest, RefusedBundlesStoreNothingAndStoredOnesAreGzip) {
  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->insertBundle(*bundle(0), false, &error));
  EXPECT_EQ(text(error), "Failed to insert bundle without valid timestamp");
  EXPECT_EQ(error->code, 1);
  EXPECT_FALSE(database_->insertBundle(*bundle(now(), 0, ""), false, &error));
  EXPECT_EQ(text(error), "Failed to insert bundle without App ID");
  EXPECT_FALSE(database_->insertBundle(*wire::RIDUZMeasurementBundle::make(), false, &error));
  EXPECT_EQ(text(error), "Failed to insert nil bundle");
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);

  recorder_.clear();
  ASSERT_TRUE(database_->insertBundle(*bundle(now() - 10), true, nullptr));
  EXPECT_TRUE(hasCode(recorder_, 12018));
  EXPECT_FALSE(hasCode(recorder_, 12016));
  RawSqlite raw(file());
  EXPECT_EQ(raw.one("SELECT substr(hex(data), 1, 4) FROM queue"), "1F8B");
  EXPECT_EQ(raw.one("SELECT retry_count || ',' || is_realtime FROM queue"), "0,1");
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), false);
  EXPECT_EQ(database_->containsRealtimeBundlesWithError(nullptr), true);
  EXPECT_EQ(database_->queryLatestBundleTime(nullptr), now() - 10);
}

TEST_F(AnalyticsDatabaseQueueTest, SelectionTakesOldestFirstWithinCountAndSize) {
  ASSERT_TRUE(database_->insertBundle(*bundle(now() - 30, 50), false, nullptr));  // row 1, newest
  ASSERT_TRUE(database_->insertBundle(*bundle(now() - 50, 40), false, nullptr));  // row 2, oldest
  ASSERT_TRUE(database_->insertBundle(*bundle(now() - 40, 30), false, nullptr));  // row 3
  struct Case {
    std::int64_t count, size;
    std::vector<std::int64_t> expected;
  };
  for (const auto& c : {Case{10, 100, {2, 3}}, Case{10, 30, {2}}, Case{10, 1000, {2, 3, 1}}, Case{2, 1000, {2, 3}},
                        Case{10, 70, {2, 3}}}) {
    EXPECT_EQ(rowIDs(database_->queryBundlesWithCountLimit(c.count, c.size, nullptr)), c.expected)
        << c.count << "/" << c.size;
  }
  // A damaged bundle is never selected and stays in the table.
  RawSqlite raw(file());
  raw.exec("UPDATE queue SET data = x'1f8b0000' WHERE rowid = 2");
  recorder_.clear();
  EXPECT_EQ(rowIDs(database_->queryBundlesWithCountLimit(10, 100, nullptr)), (std::vector<std::int64_t>{3, 1}));
  EXPECT_TRUE(hasCode(recorder_, 12050));
  EXPECT_EQ(rowIDs(database_->queryBundlesWithRowIDs({1, 2}, nullptr)), (std::vector<std::int64_t>{1}));

  std::optional<fd::Error> error;
  EXPECT_EQ(database_->queryBundlesWithRowIDs({}, &error), std::nullopt);
  EXPECT_EQ(text(error), "Received empty row IDs to process");
  ASSERT_TRUE(database_->deleteBundlesWithRowIDs({1, 3}, nullptr));
  EXPECT_EQ(raw.one("SELECT group_concat(rowid) FROM queue"), "2");
}

TEST_F(AnalyticsDatabaseQueueTest, RetryCountsGrowToTheCeilingAndComeBackInTheBundle) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(database_->insertBundle(*bundle(now() - i), false, nullptr));
  RawSqlite raw(file());
  raw.exec("UPDATE queue SET retry_count = 3 WHERE rowid = 1");
  raw.exec("UPDATE queue SET retry_count = 2147483647 WHERE rowid = 2");
  raw.exec("UPDATE queue SET retry_count = NULL WHERE rowid = 3");

  auto pairs = database_->queryBundlesWithRowIDs({1, 4}, nullptr);
  ASSERT_TRUE(pairs && pairs->size() == 2);
  EXPECT_EQ(wire::NANOGetInt32((*pairs)[0].first.get(), kRetryField), 3);
  EXPECT_FALSE(wire::NANOHasField((*pairs)[1].first.get(), kRetryField));

  recorder_.clear();
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1, 2, 3, 4}, nullptr));
  EXPECT_TRUE(hasCode(recorder_, 12054));
  EXPECT_EQ(raw.rows("SELECT ifnull(retry_count, 'NULL') FROM queue ORDER BY rowid"),
            (std::vector<std::vector<std::string>>{{"4"}, {"2147483647"}, {"NULL"}, {"1"}}));
  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->incrementRetryCounterForBundlesWithIDs({}, &error));
  EXPECT_EQ(text(error), "Failed to increment retry counter");
}

TEST_F(AnalyticsDatabaseQueueTest, StaleDataIsDeletedOncePerInterval) {
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), true);
  EXPECT_EQ(config_->lastDeleteStaleBundlesTimestamp(), now());
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), false);

  // Older than the maximum queue time (28 days): stored with 12016, gone at the next deletion.
  recorder_.clear();
  ASSERT_TRUE(database_->insertBundle(*bundle(now() - 29 * kDay), false, nullptr));
  ASSERT_TRUE(database_->insertBundle(*bundle(now()), false, nullptr));
  EXPECT_TRUE(hasCode(recorder_, 12016));
  RawSqlite raw(file());
  EXPECT_EQ(raw.one("SELECT count(*) FROM queue"), "2");

  clock_->advance(std::chrono::seconds(static_cast<int>(kDay) - 10));
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), false);
  clock_->advance(20s);
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), true);
  EXPECT_EQ(raw.one("SELECT count(*) FROM queue"), "1");
  std::optional<fd::Error> error;
  EXPECT_FALSE(database_->deleteStaleBundlesOlderThanMaxAge(-1, &error));
  EXPECT_EQ(text(error), "Cannot delete stale bundles after negative time period");
}

}  // namespace
}  // namespace analytics_test
