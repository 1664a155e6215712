#pragma once
// Four points in time of one request (seconds of the absolute clock) and the
// durations between them.
#include <string>

namespace Duvarel {

class Timeline {
 public:
  Timeline(double start = 0.0, double initialResponse = 0.0, double completed = 0.0, double serializationCompleted = 0.0)
      : requestStartTime_(start),
        initialResponseTime_(initialResponse),
        requestCompletedTime_(completed),
        serializationCompletedTime_(serializationCompleted),
        latency_(initialResponse - start),
        requestDuration_(completed - start),
        serializationDuration_(serializationCompleted - completed),
        totalDuration_(serializationCompleted - start) {}

  double requestStartTime() const { return requestStartTime_; }
  double initialResponseTime() const { return initialResponseTime_; }
  double requestCompletedTime() const { return requestCompletedTime_; }
  double serializationCompletedTime() const { return serializationCompletedTime_; }
  double latency() const { return latency_; }
  double requestDuration() const { return requestDuration_; }
  double serializationDuration() const { return serializationDuration_; }
  double totalDuration() const { return totalDuration_; }

  // Timeline: { "Latency": 0.250 secs, ... } with the four durations.
  std::string description() const;
  // The four points in time, then the four durations.
  std::string debugDescription() const;

 private:
  double requestStartTime_, initialResponseTime_, requestCompletedTime_, serializationCompletedTime_;
  double latency_, requestDuration_, serializationDuration_, totalDuration_;
};

}  // namespace Duvarel
