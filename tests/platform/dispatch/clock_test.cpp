#include "tests/platform/dispatch/fixture.h"

namespace platform::dispatch::test {
namespace {

using ClockTest = DispatchTest;

TEST_F(ClockTest, RealClockIsInstalledByDefault) {
  EXPECT_NE(dynamic_cast<RealClock*>(&Clock::current()), nullptr);
  // After 2020-01-01 (CFAbsoluteTime 599,616,000).
  EXPECT_GT(absolute_time(), 599616000.0);
  EXPECT_GT(uptime(), 0.0);
  auto a = Clock::current().monotonic();
  auto b = Clock::current().monotonic();
  EXPECT_LE(a, b);
}

TEST_F(ClockTest, AbsoluteTimeCountsFrom2001) {
  auto clock = ManualClock::install(kAbsoluteTimeEpochSince1970 + 12.5);
  EXPECT_DOUBLE_EQ(absolute_time(), 12.5);
  clock->advance(2.5s);
  EXPECT_DOUBLE_EQ(absolute_time(), 15.0);
}

TEST_F(ClockTest, ManualClockMovesOnlyWhenAdvanced) {
  auto clock = ManualClock::install(1000000.0);
  EXPECT_EQ(&Clock::current(), clock.get());
  EXPECT_DOUBLE_EQ(clock->now_since_1970(), 1000000.0);
  EXPECT_DOUBLE_EQ(uptime(), 3600.0);
  auto mono = clock->monotonic();
  clock->advance(120s);
  EXPECT_DOUBLE_EQ(clock->now_since_1970(), 1000120.0);
  EXPECT_EQ(clock->monotonic() - mono, std::chrono::nanoseconds(120'000'000'000));
  EXPECT_DOUBLE_EQ(uptime(), 3720.0);
}

TEST_F(ClockTest, WallTimeChangeLeavesMonotonicAlone) {
  auto clock = ManualClock::install(1000.0);
  auto mono = clock->monotonic();
  clock->set_now_since_1970(5000.0);
  EXPECT_DOUBLE_EQ(clock->now_since_1970(), 5000.0);
  EXPECT_EQ(clock->monotonic(), mono);
}

TEST_F(ClockTest, ResetPutsTheRealClockBack) {
  ManualClock::install();
  platform::testing::reset();
  EXPECT_NE(dynamic_cast<RealClock*>(&Clock::current()), nullptr);
}

TEST_F(ClockTest, InstallNullRestoresRealClock) {
  ManualClock::install();
  Clock::install(nullptr);
  EXPECT_NE(dynamic_cast<RealClock*>(&Clock::current()), nullptr);
}

}  // namespace
}  // namespace platform::dispatch::test
