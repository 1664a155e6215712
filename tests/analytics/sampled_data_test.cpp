// The sampled monitoring entry: the reservoir of one, its stored form and its
// dispatch parameter.
#include <deque>
#include <limits>
#include <map>

#include <gtest/gtest.h>

#include "analytics/monitor/sampled_data.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMMonitoringSampledData;
using platform::testing::ManualClock;

class AnalyticsSampledDataTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_ = ManualClock::install(); }
  void TearDown() override { platform::testing::reset(); }
  double now() const { return clock_->now_since_1970(); }

  std::shared_ptr<ManualClock> clock_;
};

std::string keptKey(const APMMonitoringSampledData& data) { return *(*data.sampledData())[2].string(); }

TEST_F(AnalyticsSampledDataTest, ScriptedDrawsReplaceTheKeyOnlyOnZero) {
  struct Case {
    std::vector<std::uint64_t> draws;  // for the second and third message
    const char* kept;
  };
  const Case cases[] = {{{1, 1}, "k1"}, {{0, 1}, "k2"}, {{1, 0}, "k3"}, {{0, 0}, "k3"}, {{1, 2}, "k1"}};
  for (const auto& c : cases) {
    std::deque<std::uint64_t> draws(c.draws.begin(), c.draws.end());
    std::vector<std::uint64_t> uppers;
    APMMonitoringSampledData data(fd::Value(), [&](std::uint64_t upper) {
      uppers.push_back(upper);
      std::uint64_t d = draws.front();
      draws.pop_front();
      return d;
    });
    const double first = now();
    data.insertOrUpdateSampledDataWithKey("k1", "c1");
    clock_->advance(std::chrono::seconds(5));
    data.insertOrUpdateSampledDataWithKey("k2", "c2");
    data.insertOrUpdateSampledDataWithKey("k3", "");
    EXPECT_EQ(uppers, (std::vector<std::uint64_t>{2, 3}));
    auto entry = data.sampledData();
    ASSERT_TRUE(entry);
    ASSERT_TRUE(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(fd::Value(*entry)));
    EXPECT_EQ(keptKey(data), c.kept);
    // The context travels with its key; the population counts every message; the first time stays.
    const std::string context = std::string(c.kept) == "k3" ? "" : std::string("c") + (c.kept + 1);
    EXPECT_EQ((*entry)[0], fd::Value(context));
    EXPECT_EQ((*entry)[1], fd::Value(3));
    EXPECT_EQ((*entry)[3], fd::Value(fd::Date{first}));
  }
}

TEST_F(AnalyticsSampledDataTest, DefaultDrawKeepsEachOfThreeAboutAThird) {
  std::map<std::string, int> kept;
  const int runs = 3000;
  for (int i = 0; i < runs; ++i) {
    APMMonitoringSampledData data;
    for (const char* key : {"a", "b", "c"}) data.insertOrUpdateSampledDataWithKey(key, "");
    ++kept[keptKey(data)];
  }
  // Each share is binomial(3000, 1/3): 29-38 % lies beyond six standard deviations.
  for (const char* key : {"a", "b", "c"}) {
    EXPECT_GE(kept[key], runs * 29 / 100) << key;
    EXPECT_LE(kept[key], runs * 38 / 100) << key;
  }
}

TEST_F(AnalyticsSampledDataTest, DispatchAfterAWholePeriod) {
  const double period = 3600;
  APMMonitoringSampledData data(fd::Value(), [](std::uint64_t) { return std::uint64_t{1}; });
  EXPECT_EQ(data.monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
  data.insertOrUpdateSampledDataWithKey("1E_50300:disk full", "-,42");
  data.insertOrUpdateSampledDataWithKey("1W_50300:other", "");
  data.insertOrUpdateSampledDataWithKey("1W_50300:other", "");

  // A young entry gives nothing and stays.
  clock_->advance(std::chrono::seconds(3600));
  EXPECT_EQ(data.monitoringDataForDispatchWithSamplePeriod(period, now() - 10 * period), std::nullopt);
  EXPECT_TRUE(data.sampledData());

  clock_->advance(std::chrono::seconds(1));
  EXPECT_EQ(data.monitoringDataForDispatchWithSamplePeriod(period, 0), "3:1E_50300:disk full:-,42");
  EXPECT_FALSE(data.sampledData());

  // Without an entry: "0:" only when the last sample lies more than a period away.
  struct Case {
    double last;
    std::optional<std::string> result;
  };
  const Case cases[] = {{0, std::nullopt},
                        {-5, std::nullopt},
                        {now() - period, std::nullopt},
                        {now() - period - 1, "0:"},
                        {now() + period + 1, "0:"}};
  for (const auto& c : cases) EXPECT_EQ(data.monitoringDataForDispatchWithSamplePeriod(period, c.last), c.result) << c.last;

  data.insertOrUpdateSampledDataWithKey("1E_50300:no context", "");
  clock_->advance(std::chrono::seconds(3601));
  EXPECT_EQ(data.monitoringDataForDispatchWithSamplePeriod(period, 0), "1:1E_50300:no context");
}

TEST_F(AnalyticsSampledDataTest, StoredEntriesAreCheckedOnLoad) {
  const fd::Date when{now() - 10};
  const fd::Array valid{fd::Value("ctx"), fd::Value(4), fd::Value("1E_50300:m"), fd::Value(when)};
  struct Case {
    fd::Value stored;
    bool valid;
  };
  const Case cases[] = {
      {fd::Value(valid), true},
      {fd::Value(fd::Array{fd::Value("ctx"), fd::Value(4.0), fd::Value("k"), fd::Value(when)}), true},
      {fd::Value(), false},
      {fd::Value("not an array"), false},
      {fd::Value(fd::Array{fd::Value("ctx"), fd::Value(4), fd::Value("k")}), false},
      {fd::Value(fd::Array{fd::Value("ctx"), fd::Value(4), fd::Value("k"), fd::Value(when), fd::Value(1)}), false},
      {fd::Value(fd::Array{fd::Value("ctx"), fd::Value("4"), fd::Value("k"), fd::Value(when)}), false},
      {fd::Value(fd::Array{fd::Value(1), fd::Value(4), fd::Value("k"), fd::Value(when)}), false},
      {fd::Value(fd::Array{fd::Value("ctx"), fd::Value(4), fd::Value("k"), fd::Value(when.since_1970)}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(fd::describe(c.stored));
    EXPECT_EQ(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(c.stored), c.valid);
    APMMonitoringSampledData data(c.stored);
    EXPECT_EQ(data.sampledData().has_value(), c.valid);
    // A malformed entry loads as empty data: nothing to dispatch.
    EXPECT_EQ(data.monitoringDataForDispatchWithSamplePeriod(1, 0).has_value(), c.valid);
  }
}

TEST_F(AnalyticsSampledDataTest, EntryFormsAndSaturatedPopulation) {
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("k", 3, "c"), "3:k:c");
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("k", 3, ""), "3:k");
  EXPECT_FALSE(APMMonitoringSampledData::sampledDataEntryWithKey(std::nullopt, fd::Date{1}, "c", 1));
  EXPECT_FALSE(APMMonitoringSampledData::sampledDataEntryWithKey("k", std::nullopt, "c", 1));
  EXPECT_FALSE(APMMonitoringSampledData::sampledDataEntryWithKey("k", fd::Date{1}, std::nullopt, 1));
  EXPECT_FALSE(APMMonitoringSampledData::sampledDataEntryWithKey("k", fd::Date{1}, "c", std::nullopt));
  EXPECT_EQ(APMMonitoringSampledData::sampledDataEntryWithKey("k", fd::Date{1}, "c", 2),
            (fd::Array{fd::Value("c"), fd::Value(2), fd::Value("k"), fd::Value(fd::Date{1})}));

  // A stored count at the top of the range stays there instead of overflowing.
  constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
  APMMonitoringSampledData data(fd::Value(fd::Array{fd::Value(""), fd::Value(top), fd::Value("k"), fd::Value(fd::Date{1})}));
  data.insertOrUpdateSampledDataWithKey("k2", "");
  EXPECT_EQ((*data.sampledData())[1], fd::Value(top));
}

}  // namespace
