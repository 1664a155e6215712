#pragma once
// The search-ad attribution reporter: asks the platform's attribution client
// ("ADClient", found by name) once per installation whether the app came
// from a search ad and reports the answer as "_cmp"; failed lookups are
// retried once a day, at most 10 in all.
//
// Threads: made and started on the engine's worker queue; its alarm fires
// there. The client's answers arrive on the client's thread and are handled
// there; storing the answer and logging run under the reporter's lock.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/engine_seams.h"
#include "platform/dispatch/queue.h"
#include "platform/runtime/class.h"

namespace analytics {

class APMAlarm;
class APMPersistedConfig;

class APMSearchAdReporter : public APMSearchAdReporting, public std::enable_shared_from_this<APMSearchAdReporter> {
 public:
  static constexpr std::string_view kAlarmName = "Search Ad campaign report alarm";
  static constexpr std::int64_t kMaxLookups = 10;
  static constexpr double kLookupInterval = 86400;

  // nullptr without a queue (32000) or configuration (32001), after 10
  // lookups, or once an answer is stored (32002).
  static std::shared_ptr<APMSearchAdReporter> initWithWorkerQueue(std::optional<platform::dispatch::Queue> queue,
                                                                  APMPersistedConfig* persistedConfig);
  ~APMSearchAdReporter() override;

  // Without a client 32003; otherwise schedules.
  void start() override;
  void maybeLogIAdCampaignEvent();
  void scheduleSearchAdReport();
  void cancelScheduling();
  void logCampaignEventWithSearchAdCampaign(bool attributed, const std::optional<std::string>& campaign,
                                            const std::optional<std::string>& term);
  void lookUpAdConversionDetails();

  // The shared attribution client, looked up once per process; nullptr when
  // the class "ADClient" is absent or gives no client.
  static platform::rt::Id adClientInstance();

  bool isSearchAdReporterEnabled() const;
  void setSearchAdReporterEnabled(bool enabled) override;
  // When the armed alarm fires, in seconds since 1970; nullopt when idle or dropped.
  std::optional<double> scheduledTimestamp() const;

  struct Token {};
  APMSearchAdReporter(Token, platform::dispatch::Queue queue, APMPersistedConfig* persistedConfig);

 private:
  std::shared_ptr<APMAlarm> alarm() const;

  APMPersistedConfig* persistedConfig_;  // the engine's, which lives for the process
  mutable std::mutex alarmMutex_;
  std::shared_ptr<APMAlarm> searchAdReporterAlarm_;  // guarded by alarmMutex_
  std::mutex campaignMutex_;                         // the reporter's lock for storing and logging
  std::atomic<bool> enabled_{false};
};

}  // namespace analytics
