#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/notify/center.h"
#include "platform/runtime/runtime.h"
#include "push/notification_builder.h"
#include "testing/harness/harness.h"

namespace {

namespace rt = platform::rt;
namespace notify = platform::notify;
using namespace push;

TEST(SharedInstanceTest, OneObjectOfTheFacadeClassAlsoFromManyThreads) {
  testing::Harness harness;
  std::vector<std::shared_ptr<RerAvirorObject>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = RerAvirorHelper::sharedInstance(); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (const auto& object : seen) EXPECT_EQ(object, seen[0]);
  EXPECT_EQ(RerAvirorHelper::sharedInstance(), seen[0]);

  rt::Class& cls = seen[0]->isa();
  EXPECT_EQ(cls.name(), "RerAviror");
  EXPECT_EQ(cls.superclass()->name(), "NSObject");
  EXPECT_FALSE(cls.declares_protocol("UNUserNotificationCenterDelegate"));
  EXPECT_EQ(rt::Runtime::shared().find("RerAviror"), &cls);
}

TEST(SharedInstanceTest, BecomesTheCentreDelegateOnlyWhenThereIsNone) {
  testing::Harness harness;
  auto center = notify::Center::current();
  ASSERT_NE(center, nullptr);
  RerAvirorHelper::registerAsUNNotificationCenterDelegate();
  EXPECT_EQ(center->delegate(), RerAvirorHelper::sharedInstance());

  auto other = rt::Runtime::shared().find("NSObject")->create();
  center->set_delegate(other);
  RerAvirorHelper::registerAsUNNotificationCenterDelegate();
  EXPECT_EQ(center->delegate(), other);
}

TEST(SharedInstanceTest, WithoutTheCentreClassNothingHappens) {
  testing::Harness harness({.profile = {{"system_version", "9.3"}, {"frameworks", nlohmann::json::array()}}});
  EXPECT_EQ(notify::Center::current(), nullptr);
  RerAvirorHelper::registerAsUNNotificationCenterDelegate();
  EXPECT_NE(RerAvirorHelper::sharedInstance(), nullptr);
}

}  // namespace
