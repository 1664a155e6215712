// APMConditionalUserProperty: its copy.
#include "analytics/store/conditional_user_property.h"

namespace analytics {

APMConditionalUserPropertyRef APMConditionalUserProperty::copy() const {
  auto result = std::make_shared<APMConditionalUserProperty>(*this);
  result->setValue(value_);
  result->setTriggeredEvent(triggeredEvent_);
  result->setTimedOutEvent(timedOutEvent_);
  result->setExpiredEvent(expiredEvent_);
  return result;
}

}  // namespace analytics
