// The user property, event counters and stored raw event.
#include "analytics/model/records.h"

#include <limits>

#include "analytics/engine/measurement.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/model/validator.h"

namespace analytics {

namespace fnd = platform::foundation;

namespace {

namespace mf = measurement_fields;

// Adds one; at the int32 maximum the count restarts at 0 with a warning.
void incrementWrapping(std::int32_t& count, std::int64_t code, std::string_view message) {
  if (count == std::numeric_limits<std::int32_t>::max()) {
    count = 0;
    APMMeasurement::monitor().logWithLevel(4, code, message);
  } else {
    ++count;
  }
}

}  // namespace

APMUserAttributeRef APMUserAttribute::initWithOrigin(std::string_view origin, std::string_view name,
                                                     const APMValueRef& value, double lastSetTimestamp) {
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(fnd::Value(name), nullptr)) return nullptr;
  if (!APMDataTypeValidator::isValidInternalUserAttributeValue(APMValueObject(value), name, nullptr)) return nullptr;
  return std::make_shared<APMUserAttribute>(Token{}, std::string(origin), std::string(name), value, lastSetTimestamp);
}

bool APMUserAttribute::isPublic() const { return !name_.empty() && name_.front() != '_'; }

std::shared_ptr<wire::RIDUZUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto message = wire::RIDUZUserAttribute::make();
  if (!message) return nullptr;
  wire::NANOSetString(message.get(), mf::kAttributeName, name_);
  if (value_ && value_->isDouble()) {
    wire::NANOSetDouble(message.get(), mf::kAttributeDouble, value_->doubleValue());
  } else if (value_ && value_->isInt64()) {
    wire::NANOSetInt64(message.get(), mf::kAttributeInt64, value_->int64Value());
  } else if (const auto text = value_ ? value_->stringValue() : std::nullopt) {
    wire::NANOSetString(message.get(), mf::kAttributeString, *text);
  }
  wire::NANOSetInt64(message.get(), mf::kAttributeSetTimestamp, APMMillisecondsFromSeconds(lastSetTimestamp_));
  return message;
}

std::shared_ptr<APMEventAggregates> APMEventAggregates::initWithName(std::string_view name, std::int32_t lifetimeCount,
                                                                     std::int32_t currentBundleCount,
                                                                     double lastFireTimestamp) {
  if (!APMDataTypeValidator::isValidInternalEventName(fnd::Value(name), nullptr)) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0) {
    APMMeasurement::monitor().logWithLevel(4, 17000,
                                           "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  return std::make_shared<APMEventAggregates>(Token{}, std::string(name), lifetimeCount, currentBundleCount,
                                              lastFireTimestamp);
}

void APMEventAggregates::incrementLifetimeCount() {
  incrementWrapping(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void APMEventAggregates::incrementCurrentBundleCount() {
  incrementWrapping(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

std::shared_ptr<APMRawEventData> APMRawEventData::initWithRawEvent(const APMEventRef& rawEvent, std::int64_t rowID,
                                                                   std::int64_t metadataFingerprint) {
  if (!rawEvent) {
    APMMeasurement::monitor().logWithLevel(4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    APMMeasurement::monitor().logWithLevel(4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
                                           fnd::Value(static_cast<long long>(rowID)));
    return nullptr;
  }
  return std::make_shared<APMRawEventData>(Token{}, rawEvent, rowID, metadataFingerprint);
}

}  // namespace analytics
