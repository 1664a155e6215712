#pragma once
// FIRInstanceIDAuthService: owns the current checkin credentials, runs one
// checkin at a time for any number of waiting callers, retries on a one-shot
// timer with back-off, and announces new credentials.
//
// Threads: fetchCheckinInfoWithHandler and the readers may be called from any
// thread; handlers run on the checkin completion's thread (the session's
// delegate queue), outside the service's lock. The retry timer and the
// rescheduling live on RunLoop::main(): scheduleCheckin and
// performScheduledCheckin called elsewhere hop to the main queue first. The
// notification "com.dozada.gcm.notif-checkin-fetched" is posted on the main queue.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "identity/checkin_service.h"
#include "identity/errors.h"
#include "identity/store.h"
#include "platform/dispatch/run_loop.h"

namespace identity {

inline constexpr std::string_view kFIRInstanceIDCheckinFetchedNotification = "com.dozada.gcm.notif-checkin-fetched";

class FIRInstanceIDAuthService : public std::enable_shared_from_this<FIRInstanceIDAuthService> {
 public:
  using CheckinHandler = std::function<void(FIRInstanceIDCheckinPreferencesRef, std::optional<platform::foundation::Error>)>;

  // A service with its own checkin service.
  static std::shared_ptr<FIRInstanceIDAuthService> initWithStore(std::shared_ptr<FIRInstanceIDStore> store);
  // Loads the current record from the store.
  static std::shared_ptr<FIRInstanceIDAuthService> initWithCheckinService(
      std::shared_ptr<FIRInstanceIDCheckinService> checkinService, std::shared_ptr<FIRInstanceIDStore> store);
  FIRInstanceIDAuthService(std::shared_ptr<FIRInstanceIDCheckinService> checkinService,
                           std::shared_ptr<FIRInstanceIDStore> store);
  // Invalidates the retry timer.
  ~FIRInstanceIDAuthService();
  FIRInstanceIDAuthService(const FIRInstanceIDAuthService&) = delete;
  FIRInstanceIDAuthService& operator=(const FIRInstanceIDAuthService&) = delete;

  bool hasValidCheckinInfo() const;
  FIRInstanceIDCheckinPreferencesRef checkinPreferences() const;

  // Queues the handler; starts a checkin unless one runs or the record is valid.
  void fetchCheckinInfoWithHandler(CheckinHandler handler);

  void scheduleCheckin(bool immediately);
  void performScheduledCheckin();
  void startCheckinTimerWithDuration(double seconds);
  void clearScheduledCheckinTimer();
  void onScheduledCheckinTimerFired();
  // 1, 2, 4, 8, 16, then 32 seconds.
  int calculateNextCheckinRetryIntervalInSeconds() const;
  bool hasScheduledCheckinTimer() const { return scheduledCheckinTimer_.load() != 0; }
  int checkinRetryCount() const { return checkinRetryCount_.load(); }

  void stopCheckinRequest();
  void resetCheckin(FIRInstanceIDErrorOut error);
  // Calls every queued handler in order, outside the lock, and empties the queue.
  void notifyCheckinHandlersWithCheckin(FIRInstanceIDCheckinPreferencesRef checkin,
                                        std::optional<platform::foundation::Error> error);
  // Both records present, same device ID and secret.
  bool cachedCheckinMatchesCheckin(const FIRInstanceIDCheckinPreferencesRef& checkin) const;

  const std::shared_ptr<FIRInstanceIDStore>& store() const { return store_; }
  const std::shared_ptr<FIRInstanceIDCheckinService>& checkinService() const { return checkinService_; }

 private:
  void checkinDidComplete(FIRInstanceIDCheckinPreferencesRef checkin, std::optional<platform::foundation::Error> error);
  std::vector<CheckinHandler> takeHandlers();
  // Clears the in-progress flag and takes the waiting handlers.
  std::vector<CheckinHandler> finishCheckin();
  static void callHandlers(std::vector<CheckinHandler> handlers, const FIRInstanceIDCheckinPreferencesRef& checkin,
                           const std::optional<platform::foundation::Error>& error);

  std::shared_ptr<FIRInstanceIDStore> store_;
  std::shared_ptr<FIRInstanceIDCheckinService> checkinService_;
  mutable std::recursive_mutex mutex_;
  FIRInstanceIDCheckinPreferencesRef checkinPreferences_;
  std::vector<CheckinHandler> checkinHandlers_;
  bool isCheckinInProgress_ = false;
  std::atomic<platform::dispatch::TimerId> scheduledCheckinTimer_{0};
  std::atomic<int> checkinRetryCount_{0};
};

}  // namespace identity
