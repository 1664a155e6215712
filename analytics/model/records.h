#pragma once
// Records of the analytics model: the user property, the per-name event
// counters, the stored raw event and the audience filter rows. None has
// threading of its own; each is made and used on one queue at a time (the
// analytics serial queue, the worker queue).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "analytics/model/event.h"
#include "analytics/model/value.h"
#include "platform/foundation/value.h"
#include "wire/measurement/measurement.h"

namespace analytics {

class APMUserAttribute;
using APMUserAttributeRef = std::shared_ptr<APMUserAttribute>;

// A user property. The name and value must pass the internal user-property
// checks (a value of up to 256 code points for "_id", 36 otherwise).
class APMUserAttribute {
 public:
  static APMUserAttributeRef initWithOrigin(std::string_view origin, std::string_view name, const APMValueRef& value,
                                            double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValueRef& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // The name is not empty and does not start with "_".
  bool isPublic() const;
  // Name, the typed value and the set time in milliseconds; no origin.
  std::shared_ptr<wire::RIDUZUserAttribute> protoUserAttribute() const;

  struct Token {};
  APMUserAttribute(Token, std::string origin, std::string name, APMValueRef value, double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

 private:
  std::string origin_;
  std::string name_;
  APMValueRef value_;
  double lastSetTimestamp_;
};

// Counters of one event name. Counts wrap to 0 at the int32 maximum.
class APMEventAggregates {
 public:
  // nullptr for an invalid internal event name or a negative count (17000).
  static std::shared_ptr<APMEventAggregates> initWithName(std::string_view name, std::int32_t lifetimeCount,
                                                          std::int32_t currentBundleCount, double lastFireTimestamp);

  void incrementLifetimeCount();        // 17001 on wrapping
  void incrementCurrentBundleCount();   // 17002 on wrapping

  const std::string& name() const { return name_; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  void setLastFireTimestamp(double value) { lastFireTimestamp_ = value; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  void setLastBundledTimestamp(double value) { lastBundledTimestamp_ = value; }
  // Null until set.
  const platform::foundation::Value& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
  void setLastSampledComplexEventID(platform::foundation::Value value) { lastSampledComplexEventID_ = std::move(value); }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  void setLastSamplingRate(std::int32_t value) { lastSamplingRate_ = value; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  void setLastExemptFromSampling(bool value) { lastExemptFromSampling_ = value; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }
  void setLastBundledDay(std::int32_t value) { lastBundledDay_ = value; }

  struct Token {};
  APMEventAggregates(Token, std::string name, std::int32_t lifetimeCount, std::int32_t currentBundleCount,
                     double lastFireTimestamp)
      : name_(std::move(name)), lifetimeCount_(lifetimeCount), currentBundleCount_(currentBundleCount),
        lastFireTimestamp_(lastFireTimestamp) {}

 private:
  std::string name_;
  std::int32_t lifetimeCount_;
  std::int32_t currentBundleCount_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  platform::foundation::Value lastSampledComplexEventID_;
  std::int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  std::int32_t lastBundledDay_ = 0;
};

// A stored raw event with its row id and metadata fingerprint.
class APMRawEventData {
 public:
  // nullptr for no event (28000) or a negative row id (28001).
  static std::shared_ptr<APMRawEventData> initWithRawEvent(const APMEventRef& rawEvent, std::int64_t rowID,
                                                           std::int64_t metadataFingerprint);

  const APMEventRef& rawEvent() const { return rawEvent_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

  struct Token {};
  APMRawEventData(Token, APMEventRef rawEvent, std::int64_t rowID, std::int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

 private:
  APMEventRef rawEvent_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};

// Audience-table rows, stored as given.
class APMEventFilter {
 public:
  APMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName, platform::foundation::Bytes data)
      : audienceID_(audienceID), filterID_(filterID), eventName_(std::move(eventName)), data_(std::move(data)) {}
  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  const platform::foundation::Bytes& data() const { return data_; }

 private:
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string eventName_;
  platform::foundation::Bytes data_;
};

class APMPropertyFilter {
 public:
  APMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName,
                    platform::foundation::Bytes data)
      : audienceID_(audienceID), filterID_(filterID), propertyName_(std::move(propertyName)), data_(std::move(data)) {}
  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& propertyName() const { return propertyName_; }
  const platform::foundation::Bytes& data() const { return data_; }

 private:
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string propertyName_;
  platform::foundation::Bytes data_;
};

class APMFilterResult {
 public:
  APMFilterResult(std::int32_t audienceID, platform::foundation::Bytes currentResults,
                  platform::foundation::Bytes previousResults)
      : audienceID_(audienceID), currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}
  std::int32_t audienceID() const { return audienceID_; }
  const platform::foundation::Bytes& currentResults() const { return currentResults_; }
  const platform::foundation::Bytes& previousResults() const { return previousResults_; }

 private:
  std::int32_t audienceID_;
  platform::foundation::Bytes currentResults_;
  platform::foundation::Bytes previousResults_;
};

}  // namespace analytics
