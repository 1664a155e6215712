// APMConditionalUserProperty: a copy carries every field and owns its value
// and events.
#include <gtest/gtest.h>

#include "analytics/store/conditional_user_property.h"
#include "tests/analytics/support.h"

namespace analytics_test {
namespace {

using analytics::APMConditionalUserProperty;

class AnalyticsConditionalUserPropertyTest : public AnalyticsUnbootedTest {};

TEST_F(AnalyticsConditionalUserPropertyTest, CopyCarriesEveryFieldWithOwnValueAndEvents) {
  APMConditionalUserProperty property;
  property.setActive(true);
  property.setName("level");
  property.setOrigin("app");
  property.setValue(analytics::APMValue::initWithInt64(3));
  property.setTriggerEventName("start");
  property.setTriggerTimeout(60);
  property.setTimeToLive(600);
  const auto event = analytics::APMEvent::initWithOrigin("app", false, "_e", 10, 0, {});
  ASSERT_TRUE(event);
  property.setTriggeredEvent(event);
  property.setTimedOutEvent(event);
  property.setExpiredEvent(event);
  property.setCreationTimestamp(100);
  property.setTriggeredTimestamp(150);
  EXPECT_NE(property.triggeredEvent(), event);  // copied on assignment

  const auto copy = property.copy();
  EXPECT_TRUE(copy->isActive());
  EXPECT_EQ(copy->name(), "level");
  EXPECT_EQ(copy->origin(), "app");
  ASSERT_TRUE(copy->value());
  EXPECT_TRUE(copy->value()->isEqual(property.value().get()));
  EXPECT_NE(copy->value(), property.value());
  EXPECT_EQ(copy->triggerEventName(), "start");
  EXPECT_EQ(copy->triggerTimeout(), 60);
  EXPECT_EQ(copy->timeToLive(), 600);
  for (const auto* e : {&copy->triggeredEvent(), &copy->timedOutEvent(), &copy->expiredEvent()}) {
    ASSERT_TRUE(*e);
    EXPECT_EQ((*e)->name(), "_e");
  }
  EXPECT_NE(copy->triggeredEvent(), property.triggeredEvent());
  EXPECT_EQ(copy->creationTimestamp(), 100);
  EXPECT_EQ(copy->triggeredTimestamp(), 150);

  property.setValue(nullptr);
  EXPECT_FALSE(property.value());
  EXPECT_TRUE(copy->value());
}

}  // namespace
}  // namespace analytics_test
