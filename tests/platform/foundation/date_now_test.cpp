#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "platform/foundation/value.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"

namespace {

using platform::foundation::Date;
using platform::testing::ManualClock;

class DateNowTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

TEST_F(DateNowTest, FollowsTheInstalledManualClock) {
  auto clock = ManualClock::install(1600000000.0);
  EXPECT_EQ(Date::now().since_1970, 1600000000.0);
  EXPECT_EQ(Date::now().since_reference_date(), 1600000000.0 - 978307200.0);
  clock->advance(std::chrono::milliseconds(1500));
  EXPECT_EQ(Date::now().since_1970, 1600000001.5);
  clock->set_now_since_1970(1700000000.0);
  EXPECT_EQ(Date::now().since_1970, 1700000000.0);
}

TEST_F(DateNowTest, RealClockAgainAfterReset) {
  ManualClock::install(1000.0);
  EXPECT_EQ(Date::now().since_1970, 1000.0);
  platform::testing::reset();
  // Back on the machine's clock: somewhere after 2020, nowhere near the manual time.
  EXPECT_GT(Date::now().since_1970, 1600000000.0);
  EXPECT_LE(Date::now().since_1970, static_cast<double>(std::time(nullptr)) + 1.0);
}

}  // namespace
