#pragma once
// The app metadata row (last bundle index and times) and the daily counters
// the event intake compares with its limits. Used on the worker queue only.
#include <cstdint>
#include <memory>

namespace analytics {

class APMAppMetadata {
 public:
  // nullptr for a negative index (4000).
  static std::shared_ptr<APMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);
  // Adds one; at the int32 maximum the index restarts at 0 (4001).
  void incrementLastBundleIndex();

  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double value) { lastBundleStartTimestamp_ = value; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double value) { lastBundleEndTimestamp_ = value; }

  struct Token {};
  APMAppMetadata(Token, std::int32_t index, double start, double end)
      : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

 private:
  std::int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};

// Counters of one day. Any increment naming another day starts that day from
// zero and counts the current event in it.
class APMDailyCounts {
 public:
  APMDailyCounts(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
                 std::int32_t publicEventsCount, std::int32_t errorEventsCount, std::int32_t realtimeCount)
      : day_(day), conversionsCount_(conversionsCount), allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount), errorEventsCount_(errorEventsCount), realtimeCount_(realtimeCount) {}

  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion);
  void incrementErrorEventsCountForCurrentDay(std::int32_t day);
  void incrementRealtimeCountsForCurrentDay(std::int32_t day);
  // Never below 0.
  void decrementAllEventsCount();
  void resetWithNewDay(std::int32_t day);

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }

 private:
  std::int32_t day_;
  std::int32_t conversionsCount_;
  std::int32_t allEventsCount_;
  std::int32_t publicEventsCount_;
  std::int32_t errorEventsCount_;
  std::int32_t realtimeCount_;
};

}  // namespace analytics
