// Event sampling inside bundling, with a scripted random source: the roll,
// the first event of each day under both day rules, the "_ep"/"_eid"
// pairing, parameters that already exist, invalid rates and the state kept
// in the aggregates rows between bundles.
#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/upload/sampling.h"
#include "tests/analytics/bundling_support.h"

namespace {

namespace fd = platform::foundation;
using analytics_test::BundlingEngineTest;
using analytics_test::kBundlingTen;
using analytics_test::MonitorRecorder;

// Rolls handed out in order; once they run out every roll fails (answers 1).
class ScriptedRolls {
 public:
  ScriptedRolls() {
    analytics::APMSetSamplingRandomSource([this](std::uint32_t upper) {
      std::lock_guard lock(mutex_);
      uppers_.push_back(upper);
      if (rolls_.empty()) return std::uint32_t{1};
      const auto roll = rolls_.front();
      rolls_.pop_front();
      return roll;
    });
  }
  ~ScriptedRolls() { analytics::APMSetSamplingRandomSource(nullptr); }
  ScriptedRolls(const ScriptedRolls&) = delete;
  ScriptedRolls& operator=(const ScriptedRolls&) = delete;

  void script(std::initializer_list<std::uint32_t> rolls) {
    std::lock_guard lock(mutex_);
    rolls_.assign(rolls.begin(), rolls.end());
  }
  std::vector<std::uint32_t> uppers() const {
    std::lock_guard lock(mutex_);
    return uppers_;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<std::uint32_t> rolls_;
  std::vector<std::uint32_t> uppers_;
};

struct SeenSampled {
  std::string name;
  std::optional<std::int64_t> rate;
  std::optional<std::int64_t> exempt;
  bool operator==(const SeenSampled&) const = default;
};

std::ostream& operator<<(std::ostream& out, const SeenSampled& seen) {
  return out << seen.name << " _sr=" << (seen.rate ? std::to_string(*seen.rate) : "-")
             << " _efs=" << (seen.exempt ? std::to_string(*seen.exempt) : "-");
}

class AnalyticsSamplingTest : public BundlingEngineTest {
 protected:
  std::vector<SeenSampled> sent() {
    std::vector<SeenSampled> seen;
    for (const auto& bundle : queued()) {
      for (const auto& event : analytics_test::bundleEvents(*bundle)) {
        seen.push_back({analytics_test::eventName(*event), analytics_test::eventInt(*event, "_sr"),
                        analytics_test::eventInt(*event, "_efs")});
      }
    }
    return seen;
  }
  std::int64_t rawCount() { return std::stoll(sql().one("SELECT COUNT(*) FROM raw_events")); }

  ScriptedRolls rolls_;
};

fd::Dict samplingEp(const char* mainName, std::int64_t eid) {
  return fd::Dict{{"_en", fd::Value(mainName)}, {"_eid", fd::Value(static_cast<long long>(eid))}};
}

TEST_F(AnalyticsSamplingTest, RateTenKeepsTheFirstOfTheDayTheWinnersAndTheirExtraParameters) {
  start(kBundlingTen + 7200, {{"measurement.event_sampling_enabled", "1"}}, {{.name = "level", .rate = 10}});
  const double t = kBundlingTen;
  store("level", t);                                                     // loses the roll, first of the day
  store("level", t + 1, analytics_test::intParameters({{"_eid", 7}}));  // loses: dropped
  store("_ep", t + 2, samplingEp("level", 7), "auto");                   // follows it
  store("level", t + 3, analytics_test::intParameters({{"_eid", 8}}));  // wins
  store("_ep", t + 4, samplingEp("level", 8), "auto");                   // follows it, with the rate
  store("level", t + 5, analytics_test::intParameters({{"_sr", 3}}));   // wins; its own "_sr" stays
  store("_ep", t + 6, fd::Dict{{"_en", fd::Value("level")}}, "auto");    // no "_eid": dropped
  rolls_.script({1, 1, 0, 0});
  MonitorRecorder monitor;
  ASSERT_TRUE(bundle());
  EXPECT_EQ(sent(), (std::vector<SeenSampled>{{"level", 10, 1}, {"level", 10, {}}, {"_ep", 10, {}}, {"level", 3, {}}}));
  EXPECT_EQ(rolls_.uppers(), (std::vector<std::uint32_t>{10, 10, 10, 10}));
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23156), 1);
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23160), 1);

  // The next hour of the same day: the state came back from the aggregates
  // row, so a lost roll now drops the event, and with it the whole group.
  store("level", t + 3600);
  rolls_.script({1});
  monitor.clear();
  EXPECT_TRUE(bundle());
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23159), 1);
  EXPECT_EQ(queued().size(), 1u);
  EXPECT_EQ(rawCount(), 0);
  worker([&] {
    const auto aggregates = engine_->database()->eventAggregatesWithName("level", nullptr);
    ASSERT_TRUE(aggregates);
    EXPECT_EQ(aggregates->lastSamplingRate(), 10);
    EXPECT_EQ(aggregates->lastBundledTimestamp(), t + 5);
  });
}

TEST_F(AnalyticsSamplingTest, TheFirstEventOfADayUnderBothDayRules) {
  struct Case {
    const char* name;
    const char* offsetEnabled;
    const char* offsetMinutes;
    double second;  // seconds after the first event (04:00 UTC)
    bool kept;
  };
  const std::vector<Case> cases{
      {"level_a", "1", "-300", 7200, true},    // 23:00 and 01:00 in the account's zone
      {"level_b", "1", "0", 7200, false},      // the same UTC day
      {"level_c", "0", "-300", 7200, false},   // less than a day after
      {"level_d", "0", "0", 86400, true},      // a full day after
      {"level_e", "0", "0", 86399, false},
  };
  std::vector<analytics_test::BundlingEventConfig> rates;
  for (const auto& c : cases) rates.push_back({.name = c.name, .rate = 10});
  const double four = kBundlingTen - 6 * 3600;
  start(four + 3 * 86400);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    configure({{"measurement.event_sampling_enabled", "1"},
               {"measurement.sampling.time_zone_offset_enabled", c.offsetEnabled},
               {"measurement.account.time_zone_offset_minutes", c.offsetMinutes}},
              rates);
    sql().exec("DELETE FROM queue");
    store(c.name, four);
    store(c.name, four + c.second);
    bundleAll();
    std::vector<SeenSampled> expected{{c.name, 10, 1}};
    if (c.kept) expected.push_back({c.name, 10, 1});
    EXPECT_EQ(sent(), expected);
    EXPECT_EQ(rawCount(), 0);
  }
}

TEST_F(AnalyticsSamplingTest, NoRateNoSampling) {
  struct Case {
    const char* title;
    const char* enabled;
    std::int32_t rate;
    std::int64_t invalid;  // 23154 logged
  };
  const std::vector<Case> cases{
      {"a rate of 1 is invalid", "1", 1, 1},
      {"sampling off", "0", 10, 0},
  };
  start(kBundlingTen + 7200);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    configure({{"measurement.event_sampling_enabled", c.enabled}}, {{.name = "level", .rate = c.rate}});
    sql().exec("DELETE FROM queue");
    store("level", kBundlingTen);
    store("level", kBundlingTen + 1);
    MonitorRecorder monitor;
    ASSERT_TRUE(bundle());
    EXPECT_EQ(sent(), (std::vector<SeenSampled>{{"level", {}, {}}, {"level", {}, {}}}));
    EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23154), 2 * c.invalid);
    EXPECT_TRUE(rolls_.uppers().empty());
  }
}

}  // namespace
