// The app metadata row and the daily counters.
#include "analytics/model/daily_records.h"

#include <limits>

#include "analytics/engine/measurement.h"

namespace analytics {

namespace {

// Adds one without passing the int32 maximum (the counters never get there in
// a day; this keeps the arithmetic defined if they do).
void addOne(std::int32_t& count) {
  if (count < std::numeric_limits<std::int32_t>::max()) ++count;
}

}  // namespace

std::shared_ptr<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                        double lastBundleStartTimestamp,
                                                                        double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    APMMeasurement::monitor().logWithLevel(
        4, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return nullptr;
  }
  return std::make_shared<APMAppMetadata>(Token{}, lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void APMAppMetadata::incrementLastBundleIndex() {
  if (lastBundleIndex_ == std::numeric_limits<std::int32_t>::max()) {
    lastBundleIndex_ = 0;
    APMMeasurement::monitor().logWithLevel(4, 4001, "Bundle index overflow. Bundle index reset to 0.");
  } else {
    ++lastBundleIndex_;
  }
}

void APMDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion) {
  if (day != day_) {
    resetWithNewDay(day);
  }
  if (isConversion) addOne(conversionsCount_);
  addOne(allEventsCount_);
  if (isPublicEvent) addOne(publicEventsCount_);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t day) {
  if (day != day_) resetWithNewDay(day);
  addOne(allEventsCount_);
  addOne(errorEventsCount_);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t day) {
  if (day != day_) resetWithNewDay(day);
  addOne(realtimeCount_);
}

void APMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

void APMDailyCounts::resetWithNewDay(std::int32_t day) {
  day_ = day;
  conversionsCount_ = allEventsCount_ = publicEventsCount_ = errorEventsCount_ = realtimeCount_ = 0;
}

}  // namespace analytics
