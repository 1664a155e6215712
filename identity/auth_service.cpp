// Single-flight device checkin with scheduled retries.
#include "identity/auth_service.h"

#include <algorithm>
#include <chrono>

#include "identity/logger.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification.h"

namespace identity {

namespace fd = platform::foundation;
namespace dispatch = platform::dispatch;

std::shared_ptr<FIRInstanceIDAuthService> FIRInstanceIDAuthService::initWithStore(
    std::shared_ptr<FIRInstanceIDStore> store) {
  return initWithCheckinService(std::make_shared<FIRInstanceIDCheckinService>(), std::move(store));
}

std::shared_ptr<FIRInstanceIDAuthService> FIRInstanceIDAuthService::initWithCheckinService(
    std::shared_ptr<FIRInstanceIDCheckinService> checkinService, std::shared_ptr<FIRInstanceIDStore> store) {
  return std::make_shared<FIRInstanceIDAuthService>(std::move(checkinService), std::move(store));
}

FIRInstanceIDAuthService::FIRInstanceIDAuthService(std::shared_ptr<FIRInstanceIDCheckinService> checkinService,
                                                   std::shared_ptr<FIRInstanceIDStore> store)
    : store_(std::move(store)), checkinService_(std::move(checkinService)) {
  checkinPreferences_ = store_->cachedCheckinPreferences();
}

FIRInstanceIDAuthService::~FIRInstanceIDAuthService() {
  if (const auto timer = scheduledCheckinTimer_.exchange(0)) dispatch::RunLoop::main().invalidate(timer);
}

bool FIRInstanceIDAuthService::hasValidCheckinInfo() const {
  const auto current = checkinPreferences();
  return current && current->hasValidCheckinInfo();
}

FIRInstanceIDCheckinPreferencesRef FIRInstanceIDAuthService::checkinPreferences() const {
  std::lock_guard lock(mutex_);
  return checkinPreferences_;
}

void FIRInstanceIDAuthService::fetchCheckinInfoWithHandler(CheckinHandler handler) {
  FIRInstanceIDCheckinPreferencesRef current;
  bool valid = false;
  {
    // Test and set in one critical section: two callers never start two checkins.
    std::lock_guard lock(mutex_);
    checkinHandlers_.push_back(std::move(handler));
    if (isCheckinInProgress_) return;
    current = checkinPreferences_;
    valid = current && current->hasValidCheckinInfo();
    if (!valid) isCheckinInProgress_ = true;
  }
  if (valid) {
    notifyCheckinHandlersWithCheckin(current, std::nullopt);
    return;
  }
  std::weak_ptr<FIRInstanceIDAuthService> weak = weak_from_this();
  checkinService_->checkinWithExistingCheckin(
      current, [weak](FIRInstanceIDCheckinPreferencesRef checkin, std::optional<fd::Error> error) {
        if (auto self = weak.lock()) self->checkinDidComplete(std::move(checkin), std::move(error));
      });
}

void FIRInstanceIDAuthService::checkinDidComplete(FIRInstanceIDCheckinPreferencesRef checkin,
                                                  std::optional<fd::Error> error) {
  // The flag is cleared and the waiting handlers taken in one critical
  // section, so a caller arriving meanwhile waits for this result or starts
  // a checkin of its own, never both.
  if (error || !checkin) {
    IID_LOG_DEBUG(5003, "Failed to checkin device %s", error ? error->description().c_str() : "");
    callHandlers(finishCheckin(), nullptr, error);
    return;
  }
  IID_LOG_DEBUG(5004, "Successfully got checkin credentials");
  const bool matches = cachedCheckinMatchesCheckin(checkin);
  checkin->setHasPreCachedAuthCredentials(matches);
  {
    std::lock_guard lock(mutex_);
    checkinPreferences_ = checkin;
  }
  std::optional<fd::Error> saveError;
  const bool saved = store_->saveCheckinPreferences(*checkin, &saveError);
  if (matches || saved) {
    callHandlers(finishCheckin(), checkin, std::nullopt);
    if (!matches) {
      dispatch::Queue::main().async([] {
        fd::NotificationCenter::default_center().post(std::string(kFIRInstanceIDCheckinFetchedNotification));
      });
    }
    return;
  }
  IID_LOG_DEBUG(7004, "Unable to save checkin info, resetting checkin preferences in memory.");
  checkin->reset();
  fd::Dict userInfo;
  if (saveError) {
    userInfo.set(std::string(fd::key_underlying_error), fd::Value::object(std::make_shared<fd::Error>(*saveError)));
  }
  callHandlers(finishCheckin(), nullptr,
               errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeRegistrarFailedToCheckIn, std::move(userInfo)));
}

std::vector<FIRInstanceIDAuthService::CheckinHandler> FIRInstanceIDAuthService::finishCheckin() {
  std::lock_guard lock(mutex_);
  isCheckinInProgress_ = false;
  std::vector<CheckinHandler> handlers;
  handlers.swap(checkinHandlers_);
  return handlers;
}

void FIRInstanceIDAuthService::callHandlers(std::vector<CheckinHandler> handlers,
                                            const FIRInstanceIDCheckinPreferencesRef& checkin,
                                            const std::optional<fd::Error>& error) {
  for (auto& handler : handlers) {
    if (handler) handler(checkin, error);
  }
}

std::vector<FIRInstanceIDAuthService::CheckinHandler> FIRInstanceIDAuthService::takeHandlers() {
  std::lock_guard lock(mutex_);
  std::vector<CheckinHandler> handlers;
  handlers.swap(checkinHandlers_);
  return handlers;
}

void FIRInstanceIDAuthService::notifyCheckinHandlersWithCheckin(FIRInstanceIDCheckinPreferencesRef checkin,
                                                                std::optional<fd::Error> error) {
  callHandlers(takeHandlers(), checkin, error);
}

bool FIRInstanceIDAuthService::cachedCheckinMatchesCheckin(const FIRInstanceIDCheckinPreferencesRef& checkin) const {
  const auto current = checkinPreferences();
  if (!current || !checkin) return false;
  return current->deviceID() == checkin->deviceID() && current->secretToken() == checkin->secretToken();
}

void FIRInstanceIDAuthService::scheduleCheckin(bool immediately) {
  if (!dispatch::is_main_thread()) {
    std::weak_ptr<FIRInstanceIDAuthService> weak = weak_from_this();
    dispatch::Queue::main().async([weak, immediately] {
      if (auto self = weak.lock()) self->scheduleCheckin(immediately);
    });
    return;
  }
  if (hasValidCheckinInfo()) return;
  if (immediately) {
    performScheduledCheckin();
    return;
  }
  if (hasScheduledCheckinTimer()) {
    IID_LOG_DEBUG(5000, "Checkin sync already scheduled. Will not schedule.");
    return;
  }
  startCheckinTimerWithDuration(calculateNextCheckinRetryIntervalInSeconds());
}

void FIRInstanceIDAuthService::startCheckinTimerWithDuration(double seconds) {
  // One-shot; the run loop has no tolerance setting (0.5 s would be allowed).
  std::weak_ptr<FIRInstanceIDAuthService> weak = weak_from_this();
  const auto delay = std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(seconds));
  const auto timer = dispatch::RunLoop::main().add_timer(delay, dispatch::Duration::zero(), [weak] {
    if (auto self = weak.lock()) self->onScheduledCheckinTimerFired();
  });
  if (const auto old = scheduledCheckinTimer_.exchange(timer)) dispatch::RunLoop::main().invalidate(old);
}

void FIRInstanceIDAuthService::clearScheduledCheckinTimer() {
  if (const auto timer = scheduledCheckinTimer_.exchange(0)) dispatch::RunLoop::main().invalidate(timer);
}

void FIRInstanceIDAuthService::onScheduledCheckinTimerFired() { performScheduledCheckin(); }

int FIRInstanceIDAuthService::calculateNextCheckinRetryIntervalInSeconds() const {
  const int count = checkinRetryCount_.load();
  if (count > 9) return 32;
  return std::min(1 << std::max(count, 0), 32);
}

void FIRInstanceIDAuthService::performScheduledCheckin() {
  if (!dispatch::is_main_thread()) {
    std::weak_ptr<FIRInstanceIDAuthService> weak = weak_from_this();
    dispatch::Queue::main().async([weak] {
      if (auto self = weak.lock()) self->performScheduledCheckin();
    });
    return;
  }
  clearScheduledCheckinTimer();
  if (hasValidCheckinInfo()) return;
  std::weak_ptr<FIRInstanceIDAuthService> weak = weak_from_this();
  fetchCheckinInfoWithHandler([weak](FIRInstanceIDCheckinPreferencesRef, std::optional<fd::Error> error) {
    auto self = weak.lock();
    if (!self) return;
    ++self->checkinRetryCount_;
    if (error) {
      IID_LOG_DEBUG(5001, "Checkin error %s.", error->description().c_str());
      dispatch::Queue::main().async([weak] {
        if (auto again = weak.lock()) again->scheduleCheckin(false);
      });
    } else {
      IID_LOG_DEBUG(5002, "Checkin success.");
    }
  });
}

void FIRInstanceIDAuthService::stopCheckinRequest() { checkinService_->stopFetching(); }

void FIRInstanceIDAuthService::resetCheckin(FIRInstanceIDErrorOut error) {
  if (store_->removeCheckinPreferences(error)) {
    std::lock_guard lock(mutex_);
    checkinPreferences_.reset();
  }
}

}  // namespace identity
