// The persisted analytics configuration over its preferences suite.
#include "analytics/config/persisted_config.h"

#include <utility>

#include "analytics/engine/measurement.h"
#include "platform/dispatch/run_loop.h"
#include "platform/security/random.h"

namespace analytics {

namespace dispatch = platform::dispatch;
namespace fd = platform::foundation;

namespace {
constexpr std::string_view kSynchronizeToDiskRequest = "synchronizeToDisk";
}  // namespace

struct APMPersistedConfig::Impl {
  explicit Impl(std::string_view suite)
      : name(suite), userDefaults(suite), serialQueue(dispatch::Queue::serial(std::string(kQueueLabel))) {}
  void synchronize() {
    serialQueue.sync([this] { userDefaults.synchronize(); });
  }

  const std::string name;
  APMUserDefaults userDefaults;
  dispatch::Queue serialQueue;
};

APMPersistedConfig::APMPersistedConfig(std::string_view suiteName) : impl_(std::make_shared<Impl>(suiteName)) {}

APMPersistedConfig::~APMPersistedConfig() {
  dispatch::RunLoop::current().cancel_perform_requests(impl_.get(), kSynchronizeToDiskRequest);
}

APMPersistedConfig* APMPersistedConfig::sharedInstance() {
  static APMPersistedConfig* shared = initWithSuiteName(kSuiteName).release();
  if (shared == nullptr) {
    APMMeasurement::monitor().logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  }
  return shared;
}

std::unique_ptr<APMPersistedConfig> APMPersistedConfig::initWithSuiteName(std::optional<std::string_view> suiteName) {
  if (!suiteName || suiteName->empty()) return nullptr;
  return std::unique_ptr<APMPersistedConfig>(new APMPersistedConfig(*suiteName));
}

const std::string& APMPersistedConfig::name() const { return impl_->name; }

// ---- reads ---------------------------------------------------------------------

std::optional<fd::Value> APMPersistedConfig::objectForKey(std::string_view key) const {
  std::optional<fd::Value> value;
  impl_->serialQueue.sync([&] { value = impl_->userDefaults.objectForKey(key); });
  return value;
}

std::int64_t APMPersistedConfig::int64ForKey(std::string_view key) const {
  return int64ForKey(key, impl_->userDefaults);
}

std::int64_t APMPersistedConfig::int64ForKey(std::string_view key, const APMUserDefaults& store) const {
  std::int64_t result = 0;
  impl_->serialQueue.sync([&] {
    const auto value = store.objectForKey(key);
    if (value && value->is_number()) result = value->as_int().value_or(0);
  });
  return result;
}

double APMPersistedConfig::doubleForKey(std::string_view key) const {
  double result = 0;
  impl_->serialQueue.sync([&] { result = impl_->userDefaults.doubleForKey(key); });
  return result;
}

std::optional<std::string> APMPersistedConfig::stringForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  if (value && value->string()) return *value->string();
  return std::nullopt;
}

std::int64_t APMPersistedConfig::measurementEnabledState() const {
  return int64ForKey(kMeasurementEnabledStateKey, APMUserDefaults::standardUserDefaults());
}

bool APMPersistedConfig::startNewSession() const {
  bool result = false;
  impl_->serialQueue.sync([&] { result = impl_->userDefaults.boolForKey(kStartNewSessionKey); });
  return result;
}

std::optional<fd::Value> APMPersistedConfig::deferredAnalyticsCollection() const {
  return objectForKey(kDeferredAnalyticsCollectionKey);
}

std::optional<fd::Value> APMPersistedConfig::loadTimestampValue() const { return objectForKey(kLoadTimestampKey); }

std::optional<fd::Value> APMPersistedConfig::searchAdCampaignValue() const {
  return impl_->userDefaults.objectForKey(kSearchAdCampaignKey);
}

double APMPersistedConfig::midnightOffset() const {
  const auto stored = objectForKey(kMidnightOffsetKey);
  if (stored && stored->is_number()) return stored->as_double().value_or(0);
  // Whole milliseconds below one day, kept for the life of the install.
  const double offset = static_cast<double>(platform::security::random_uniform(86400000)) / 1000.0;
  const_cast<APMPersistedConfig*>(this)->setDouble(offset, kMidnightOffsetKey);
  return offset;
}

// ---- writes --------------------------------------------------------------------

void APMPersistedConfig::setObject(std::optional<fd::Value> value, std::string_view key, bool flush) {
  // The flush goes to the writer's run loop, not to the queue's thread.
  dispatch::RunLoop& loop = dispatch::RunLoop::current();
  impl_->serialQueue.sync([&] {
    impl_->userDefaults.setObject(std::move(value), key);
    if (flush) scheduleSynchronizeToDiskOn(loop);
  });
}

void APMPersistedConfig::setInt64(std::int64_t value, std::string_view key) { setObject(fd::Value(value), key, true); }

void APMPersistedConfig::setDouble(double value, std::string_view key) { setObject(fd::Value(value), key, true); }

void APMPersistedConfig::setString(std::optional<std::string_view> value, std::string_view key) {
  setObject(value ? std::optional<fd::Value>(fd::Value(std::string(*value))) : std::nullopt, key, true);
}

void APMPersistedConfig::setStartNewSession(bool v) { setObject(fd::Value(v), kStartNewSessionKey, false); }

void APMPersistedConfig::setDeferredAnalyticsCollection(std::optional<fd::Value> v) {
  setObject(std::move(v), kDeferredAnalyticsCollectionKey, false);
}

void APMPersistedConfig::setLoadTimestampValue(std::optional<fd::Value> v) {
  setObject(std::move(v), kLoadTimestampKey, false);
}

void APMPersistedConfig::setSearchAdCampaignValue(std::optional<fd::Value> v) {
  if (!v || !v->is_number()) return;
  impl_->userDefaults.setObject(std::move(v), kSearchAdCampaignKey);
}

void APMPersistedConfig::clearValues() {
  impl_->serialQueue.sync([this] { impl_->userDefaults.clearAllData(); });
}

// ---- flushing ------------------------------------------------------------------

void APMPersistedConfig::scheduleSynchronizeToDisk() { scheduleSynchronizeToDiskOn(dispatch::RunLoop::current()); }

void APMPersistedConfig::scheduleSynchronizeToDiskOn(dispatch::RunLoop& loop) {
  loop.cancel_perform_requests(impl_.get(), kSynchronizeToDiskRequest);
  std::weak_ptr<Impl> weak = impl_;
  loop.perform_after(impl_.get(), kSynchronizeToDiskRequest, dispatch::Duration(kSynchronizeDelaySeconds), [weak] {
    if (auto impl = weak.lock()) impl->synchronize();
  });
}

void APMPersistedConfig::synchronizeToDisk() { impl_->synchronize(); }

}  // namespace analytics
