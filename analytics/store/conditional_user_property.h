#pragma once
// APMConditionalUserProperty: a user property set when its trigger event
// comes, with the events logged on activation, time-out and expiry. Stored in
// the conditional_properties table. Not thread-safe: owned by one queue at a
// time (the worker queue once stored or read back).
#include <memory>
#include <string>

#include "analytics/model/event.h"
#include "analytics/model/value.h"

namespace analytics {

class APMConditionalUserProperty;
using APMConditionalUserPropertyRef = std::shared_ptr<APMConditionalUserProperty>;

class APMConditionalUserProperty {
 public:
  bool isActive() const { return active_; }
  void setActive(bool active) { active_ = active; }
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const std::string& origin() const { return origin_; }
  void setOrigin(std::string origin) { origin_ = std::move(origin); }
  // nullptr asks for the property to be cleared. Set copies the value.
  const APMValueRef& value() const { return value_; }
  void setValue(const APMValueRef& value) { value_ = value ? value->copy() : nullptr; }
  // Empty: activated at once.
  const std::string& triggerEventName() const { return triggerEventName_; }
  void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
  double triggerTimeout() const { return triggerTimeout_; }
  void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
  double timeToLive() const { return timeToLive_; }
  void setTimeToLive(double seconds) { timeToLive_ = seconds; }
  // The events are copied when set.
  const APMEventRef& triggeredEvent() const { return triggeredEvent_; }
  void setTriggeredEvent(const APMEventRef& event) { triggeredEvent_ = event ? event->copy() : nullptr; }
  const APMEventRef& timedOutEvent() const { return timedOutEvent_; }
  void setTimedOutEvent(const APMEventRef& event) { timedOutEvent_ = event ? event->copy() : nullptr; }
  const APMEventRef& expiredEvent() const { return expiredEvent_; }
  void setExpiredEvent(const APMEventRef& event) { expiredEvent_ = event ? event->copy() : nullptr; }
  double creationTimestamp() const { return creationTimestamp_; }
  void setCreationTimestamp(double timestamp) { creationTimestamp_ = timestamp; }
  double triggeredTimestamp() const { return triggeredTimestamp_; }
  void setTriggeredTimestamp(double timestamp) { triggeredTimestamp_ = timestamp; }

  // A copy carrying every field; value and events are copied too.
  APMConditionalUserPropertyRef copy() const;

 private:
  bool active_ = false;
  std::string name_;
  std::string origin_;
  APMValueRef value_;
  std::string triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  APMEventRef triggeredEvent_;
  APMEventRef timedOutEvent_;
  APMEventRef expiredEvent_;
  double creationTimestamp_ = 0;
  double triggeredTimestamp_ = 0;
};

}  // namespace analytics
