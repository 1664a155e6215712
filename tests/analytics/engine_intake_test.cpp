// The engine's event intake: the safelist, the daily limits with their
// messages and given-back units, "_err" events against the limits and the
// blacklist, real-time marking of conversions and in debug mode, the cap on
// distinct public names, and the day change.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "analytics/model/event_parameters.h"
#include "tests/analytics/engine_intake_support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMMeasurement;
using analytics_test::ConfigEventRow;
using analytics_test::MonitorRecorder;
using analytics_test::StoredCounts;
using namespace std::chrono_literals;

std::ptrdiff_t intakeCountOf(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

class AnalyticsIntakeTest : public analytics_test::StartedEngineTest {};

TEST_F(AnalyticsIntakeTest, TheSafelistKeepsOnlyItsNamesAndMarksThem) {
  startEngine({{"safelisted_events", fd::Value(fd::Array{fd::Value("kept_event")})}});
  MonitorRecorder monitor;
  const auto before = stored().size();
  handle("app", "other_event");
  handle("app", "kept_event", {{"step", fd::Value(1)}});
  const auto events = stored();
  ASSERT_EQ(events.size(), before + 1);
  const auto& kept = *events.back().event;
  EXPECT_EQ(kept.name(), "kept_event");
  const fd::Value* marker = kept.parameters().find("ga_safelisted");
  ASSERT_TRUE(marker);
  const auto value = analytics::APMValueFrom(*marker);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->value(), fd::Value(1));
  EXPECT_EQ(intakeCountOf(monitor.codes(), 23174), 1);
}

TEST_F(AnalyticsIntakeTest, WithoutASafelistNothingIsAdded) {
  startEngine();
  handle("app", "any_event");
  const auto events = stored();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().event->name(), "any_event");
  EXPECT_FALSE(events.back().event->parameters().contains("ga_safelisted"));
}

// Limits: 10 events, 5 public, 3 errors a day. Each row seeds today's counts,
// hands one event to the intake and reads the counts back.
TEST_F(AnalyticsIntakeTest, DailyLimitsTable) {
  startEngine();
  configure({.settings = {{"measurement.upload.max_events_per_day", "10"},
                          {"measurement.upload.max_public_events_per_day", "5"},
                          {"measurement.upload.max_error_events_per_day", "3"}}});
  struct Case {
    const char* what;
    StoredCounts seed;
    std::string name;
    bool kept;
    std::int64_t code;  // the limit message expected, 0 for none
    StoredCounts after;
    bool publicLimitError;  // an "_err" 16 follows
  };
  const std::int64_t d = today();
  const std::vector<Case> cases{
      {"first refusal of the all-events limit", {d, 10, 0, 0, 0}, "shop", false, 23055, {d, 11, 1, 0, 0}, false},
      {"second refusal: silent", {d, 11, 1, 0, 0}, "shop", false, 0, {d, 12, 2, 0, 0}, false},
      {"999th refusal after the first: silent", {d, 1009, 0, 0, 0}, "_internal", false, 0, {d, 1010, 0, 0, 0}, false},
      {"1000th refusal after the first", {d, 1010, 0, 0, 0}, "_internal", false, 23055, {d, 1011, 0, 0, 0}, false},
      {"under every limit", {d, 4, 4, 0, 0}, "shop", true, 0, {d, 5, 5, 0, 0}, false},
      {"public limit: unit given back", {d, 4, 5, 0, 0}, "shop", false, 23057, {d, 4, 6, 0, 0}, true},
      {"public limit past the first: silent, error again", {d, 4, 6, 0, 0}, "shop", false, 0, {d, 4, 7, 0, 0}, true},
      {"internal names pass the public limit", {d, 4, 5, 0, 0}, "_internal", true, 0, {d, 5, 5, 0, 0}, false},
      {"\"_err\" is not checked against the public limit", {d, 4, 5, 0, 0}, "_err", true, 0, {d, 5, 5, 1, 0}, false},
      {"error limit: unit given back", {d, 4, 0, 3, 0}, "_err", false, 23056, {d, 4, 0, 4, 0}, false},
      {"the all-events limit comes first for \"_err\"", {d, 10, 0, 3, 0}, "_err", false, 23055, {d, 11, 0, 4, 0}, false},
      {"a count left from another day restarts", {d - 1, 10, 5, 3, 0}, "shop", true, 0, {d, 1, 1, 0, 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    settle();
    seedCounts(c.seed);
    const auto storedBefore = storedCount(c.name);
    const auto errorsBefore = errorCodes();
    MonitorRecorder monitor;
    const fd::Dict parameters = c.name == "_err" ? fd::Dict{{"_err", fd::Value(4)}} : fd::Dict{};
    handle(c.name == "_internal" || c.name == "_err" ? "auto" : "app", c.name, parameters);
    EXPECT_EQ(countsAfterHandle(), c.after);
    EXPECT_EQ(storedCount(c.name), storedBefore + (c.kept ? 1 : 0));
    const auto codes = monitor.codes();
    for (std::int64_t code : {23055, 23056, 23057}) {
      EXPECT_EQ(intakeCountOf(codes, code), code == c.code ? 1 : 0) << code;
    }
    EXPECT_EQ(intakeCountOf(codes, 23062), c.kept ? 0 : 1);
    settle();
    const auto errorsAfter = errorCodes();
    const std::vector<std::int64_t> added(errorsAfter.begin() + static_cast<std::ptrdiff_t>(errorsBefore.size()),
                                          errorsAfter.end());
    EXPECT_EQ(added, c.publicLimitError ? std::vector<std::int64_t>{16} : std::vector<std::int64_t>{});
  }
}

TEST_F(AnalyticsIntakeTest, ABlacklistedEventIsRejectedAndOnlyAPublicNameReportsIt) {
  startEngine();
  configure({.events = {ConfigEventRow{.name = "blocked_item", .blacklisted = true},
                        ConfigEventRow{.name = "_err", .blacklisted = true}}});
  MonitorRecorder monitor;
  handle("app", "blocked_item");
  settle();
  EXPECT_EQ(storedCount("blocked_item"), 0);
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{11});

  handle("auto", "_err", {{"_err", fd::Value(4)}});
  settle();
  EXPECT_EQ(storedCount("_err"), 0);
  // The rejected "_err" made no error of its own.
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{11});
  EXPECT_EQ(intakeCountOf(monitor.codes(), 23052), 3);  // the public event, the "_err" 11 and the direct "_err"
}

TEST_F(AnalyticsIntakeTest, AConversionUnderTheRealtimeLimitIsStoredRealtime) {
  startEngine();
  configure({.events = {ConfigEventRow{.name = "signup_done", .conversion = true}}});
  // First open is a conversion exempt from the limit.
  const auto start = stored();
  ASSERT_FALSE(start.empty());
  EXPECT_EQ(start.front().event->name(), "_f");
  EXPECT_TRUE(start.front().realtime);

  handle("app", "signup_done");
  handle("app", "plain_event");
  auto events = stored();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2].event->name(), "signup_done");
  EXPECT_TRUE(events[events.size() - 2].realtime);
  // The event's own flag stays as it was.
  EXPECT_FALSE(events[events.size() - 2].event->isRealtime());
  EXPECT_FALSE(events.back().realtime);

  // At the real-time limit the conversion is stored as an ordinary event,
  // and the counter is not raised by the intake.
  seedCounts({today(), 3, 1, 0, 10});
  handle("app", "signup_done");
  events = stored();
  EXPECT_EQ(events.back().event->name(), "signup_done");
  EXPECT_FALSE(events.back().realtime);
  EXPECT_EQ(counts().realtime, 10);
}

TEST_F(AnalyticsIntakeTest, DebugModeFlagsEveryEventRealtimeAndDebug) {
  startEngine();
  APMMeasurement::monitor().setDebugModeEnabled(true);
  seedCounts({today(), 3, 1, 0, 10});  // past the real-time limit: debug is exempt
  handle("app", "plain_event");
  handle("auto", "_internal");
  APMMeasurement::monitor().setDebugModeEnabled(false);
  handle("app", "after_debug");
  const auto events = stored();
  ASSERT_GE(events.size(), 3u);
  for (std::size_t i = events.size() - 3; i < events.size() - 1; ++i) {
    SCOPED_TRACE(events[i].event->name());
    EXPECT_TRUE(events[i].realtime);
    EXPECT_TRUE(events[i].event->isDebug());
    EXPECT_TRUE(events[i].event->isRealtime());
  }
  EXPECT_FALSE(events.back().realtime);
  EXPECT_FALSE(events.back().event->isDebug());
}

TEST_F(AnalyticsIntakeTest, The501stPublicNameIsRefusedButStoredNamesAndInternalOnesPass) {
  startEngine();
  // 500 distinct public names already have an aggregates row.
  {
    analytics_test::RawSqlite file(databaseFile());
    file.exec("BEGIN");
    for (int i = 0; i < 500; ++i) {
      file.exec("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) VALUES ('name_" +
                std::to_string(i) + "', 0, 0, 0)");
    }
    file.exec("COMMIT");
  }
  MonitorRecorder monitor;
  handle("app", "name_500");
  settle();
  EXPECT_EQ(storedCount("name_500"), 0);
  EXPECT_EQ(intakeCountOf(monitor.codes(), 23065), 1);
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{8});

  handle("app", "name_17");
  handle("auto", "_fresh_internal");
  settle();
  EXPECT_EQ(storedCount("name_17"), 1);
  EXPECT_EQ(storedCount("_fresh_internal"), 1);
  EXPECT_EQ(intakeCountOf(monitor.codes(), 23065), 1);
}

TEST_F(AnalyticsIntakeTest, TheDayFollowsThePinnedMidnightOffset) {
  // Days start at 13:00 UTC: noon still belongs to the day before.
  startEngine({}, 13 * 3600);
  const std::int64_t before = static_cast<std::int64_t>((analytics_test::kIntakeNoon - 13 * 3600) / 86400);
  seedCounts({before, 7, 3, 1, 2});
  handle("app", "shop");
  EXPECT_EQ(countsAfterHandle(), (StoredCounts{before, 8, 4, 1, 2}));
  // Past 13:00 a new day starts from zero before the event is counted.
  clock_->advance(3600s + 1s);
  handle("app", "shop");
  EXPECT_EQ(countsAfterHandle(), (StoredCounts{before + 1, 1, 1, 0, 0}));
}

}  // namespace
