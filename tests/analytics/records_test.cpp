// User attributes, event aggregates, raw event data and the filter rows.
#include "analytics/model/records.h"

#include <limits>

#include "tests/analytics/model_support.h"

namespace {

namespace fd = platform::foundation;
using namespace analytics;
using analytics_model_test::repeated;
using analytics_test::MonitorRecorder;

class AnalyticsRecordsTest : public analytics_test::AnalyticsUnbootedTest {};

TEST_F(AnalyticsRecordsTest, UserAttributesAndTheirMessage) {
  EXPECT_TRUE(APMUserAttribute::initWithOrigin("app", "_id", APMValue::initWithString(repeated(256)), 1));
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "_id", APMValue::initWithString(repeated(257)), 1));
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "color", APMValue::initWithString(repeated(37)), 1));
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "bad name", APMValue::initWithInt64(1), 1));
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "color", nullptr, 1));

  struct Row {
    APMValueRef value;
    std::int32_t field;
  };
  const Row rows[] = {{APMValue::initWithDouble(2.5), 5}, {APMValue::initWithInt64(7), 3},
                      {APMValue::initWithString("red"), 2}};
  for (const Row& row : rows) {
    const auto attribute = APMUserAttribute::initWithOrigin("app", "color", row.value, 12.3456);
    ASSERT_TRUE(attribute);
    EXPECT_TRUE(attribute->isPublic());
    const auto message = attribute->protoUserAttribute();
    ASSERT_TRUE(message);
    EXPECT_EQ(wire::NANOGetString(message.get(), 1), "color");
    EXPECT_EQ(wire::NANOGetInt64(message.get(), 0), 12345);
    for (std::int32_t field : {2, 3, 5}) EXPECT_EQ(wire::NANOHasField(message.get(), field), field == row.field);
  }
  const auto red = APMUserAttribute::initWithOrigin("app", "color", APMValue::initWithString("red"), 1);
  EXPECT_EQ(wire::NANOGetString(red->protoUserAttribute().get(), 2), "red");
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("auto", "_fot", APMValue::initWithInt64(1), 1)->isPublic());
}

TEST_F(AnalyticsRecordsTest, AggregatesCountAndWrap) {
  MonitorRecorder recorder;
  EXPECT_FALSE(APMEventAggregates::initWithName("ev", -1, 0, 1));
  EXPECT_FALSE(APMEventAggregates::initWithName("ev", 0, -1, 1));
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{17000, 17000}));
  EXPECT_FALSE(APMEventAggregates::initWithName("bad name", 0, 0, 1));

  const auto max = std::numeric_limits<std::int32_t>::max();
  const auto aggregates = APMEventAggregates::initWithName("_vs", max, max - 1, 4);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_TRUE(aggregates->lastSampledComplexEventID().is_null());
  EXPECT_EQ(aggregates->lastBundledTimestamp(), 0);
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_EQ(aggregates->lastBundledDay(), 0);
  recorder.clear();
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  aggregates->incrementCurrentBundleCount();
  EXPECT_EQ(aggregates->currentBundleCount(), max);
  aggregates->incrementCurrentBundleCount();
  EXPECT_EQ(aggregates->currentBundleCount(), 0);
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{17001, 17002}));
}

TEST_F(AnalyticsRecordsTest, RawEventDataNeedsAnEventAndARow) {
  MonitorRecorder recorder;
  const APMEventRef event = APMEvent::initWithOrigin("app", false, "ev", 1, 0, {});
  EXPECT_FALSE(APMRawEventData::initWithRawEvent(nullptr, 1, 2));
  EXPECT_FALSE(APMRawEventData::initWithRawEvent(event, -1, 2));
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{28000, 28001}));
  EXPECT_EQ(recorder.calls()[1].contexts, fd::Array{-1});
  const auto data = APMRawEventData::initWithRawEvent(event, 0, -5);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->rawEvent(), event);
  EXPECT_EQ(data->metadataFingerprint(), -5);

  const APMEventFilter filter(1, 2, "ev", fd::Bytes{1});
  EXPECT_EQ(filter.eventName(), "ev");
  const APMFilterResult result(3, fd::Bytes{1}, fd::Bytes{2});
  EXPECT_EQ(result.previousResults(), fd::Bytes{2});
}

}  // namespace
