// App metadata and daily counts.
#include "analytics/model/daily_records.h"

#include "tests/analytics/model_support.h"

namespace {

using namespace analytics;
using analytics_test::MonitorRecorder;

class AnalyticsDailyRecordsTest : public analytics_test::AnalyticsUnbootedTest {};

TEST_F(AnalyticsDailyRecordsTest, BundleIndexWrapsAtTheInt32Maximum) {
  MonitorRecorder recorder;
  EXPECT_FALSE(APMAppMetadata::initWithLastBundleIndex(-1, 0, 0));
  EXPECT_EQ(recorder.codes(), std::vector<std::int64_t>{4000});
  ASSERT_TRUE(APMAppMetadata::initWithLastBundleIndex(0, 0, 0));
  const auto metadata = APMAppMetadata::initWithLastBundleIndex(2147483646, 1, 2);
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 2147483647);
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{4000, 4001}));
  metadata->setLastBundleEndTimestamp(9);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 9);
}

struct Counts {
  std::int32_t day, conversions, all, publicEvents, errors, realtime;
  bool operator==(const Counts&) const = default;
};

Counts counts(const APMDailyCounts& c) {
  return {c.day(), c.conversionsCount(), c.allEventsCount(), c.publicEventsCount(), c.errorEventsCount(),
          c.realtimeCount()};
}

TEST_F(AnalyticsDailyRecordsTest, IncrementsRollOverToANewDay) {
  struct Row {
    const char* label;
    void (*change)(APMDailyCounts&);
    Counts expected;
  };
  const Row rows[] = {
      {"public event next day", [](APMDailyCounts& c) { c.incrementCountsForCurrentDay(101, true, false); },
       {101, 0, 1, 1, 0, 0}},
      {"conversion same day", [](APMDailyCounts& c) { c.incrementCountsForCurrentDay(100, false, true); },
       {100, 4, 11, 5, 2, 1}},
      {"error next day", [](APMDailyCounts& c) { c.incrementErrorEventsCountForCurrentDay(101); },
       {101, 0, 1, 0, 1, 0}},
      {"error same day", [](APMDailyCounts& c) { c.incrementErrorEventsCountForCurrentDay(100); },
       {100, 3, 11, 5, 3, 1}},
      {"realtime next day", [](APMDailyCounts& c) { c.incrementRealtimeCountsForCurrentDay(102); },
       {102, 0, 0, 0, 0, 1}},
      {"realtime same day", [](APMDailyCounts& c) { c.incrementRealtimeCountsForCurrentDay(100); },
       {100, 3, 10, 5, 2, 2}},
      {"reset", [](APMDailyCounts& c) { c.resetWithNewDay(7); }, {7, 0, 0, 0, 0, 0}},
      {"decrement", [](APMDailyCounts& c) { c.decrementAllEventsCount(); }, {100, 3, 9, 5, 2, 1}},
  };
  for (const Row& row : rows) {
    APMDailyCounts c(100, 3, 10, 5, 2, 1);
    row.change(c);
    EXPECT_EQ(counts(c), row.expected) << row.label;
  }
  APMDailyCounts empty(1, 0, 0, 0, 0, 0);
  empty.decrementAllEventsCount();
  EXPECT_EQ(empty.allEventsCount(), 0);
}

}  // namespace
