#pragma once
// The engine's worker scheduler and its named one-shot alarms.
//
// Threads: APMScheduler is callable from any thread; its blocks run one at a
// time on the serial worker queue. An alarm is armed and cancelled from any
// thread (its owners use the alarm's own queue); it fires on that queue.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/queue.h"

namespace analytics {

class APMScheduler {
 public:
  static constexpr std::string_view kWorkerQueueLabel = "com.dozada.fira.worker";

  // A serial worker queue with the label, targeted at the background global queue.
  explicit APMScheduler(std::string_view label);

  // Runs the block asynchronously on the worker queue; a nil block logs 30005.
  void scheduleOnWorkerQueueBlockID(std::string_view blockID, std::function<void()> block) const;
  // Runs the block on the worker queue and returns once it ran; a nil block
  // logs 30002. Called on the worker queue itself, the block runs inline.
  void dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const std::function<void()>& block) const;
  const platform::dispatch::Queue& workerQueue() const { return workerQueue_; }

  // False (after 30001) on the main thread; it only reports.
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

 private:
  platform::dispatch::Queue workerQueue_;
};

// A named one-shot timer on a dispatch queue. Destroying it cancels it.
class APMAlarm {
 public:
  // An empty name becomes "Timer".
  APMAlarm(platform::dispatch::Queue queue, std::string_view name);
  ~APMAlarm();
  APMAlarm(const APMAlarm&) = delete;
  APMAlarm& operator=(const APMAlarm&) = delete;

  // Cancels a previous arming, then fires the block once, `delay` seconds from
  // now, on the alarm's queue. A nil block logs 2000 and changes nothing.
  void runAfterDelay(double delay, std::function<void()> block);
  void cancel();
  bool hasActiveTimer() const;
  // Seconds since 1970 at which the armed alarm fires; nullopt when idle.
  std::optional<double> scheduledTimestamp() const;
  const std::string& name() const;
  const platform::dispatch::Queue& queue() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace analytics
