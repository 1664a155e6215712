// The measurement engine: class-level state, creation, enabling, the
// component start, the automatic events of a start and the upload schedule.
#include "analytics/engine/measurement.h"

#include <cmath>
#include <limits>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/engine_records.h"
#include "analytics/engine_seams.h"
#include "analytics/identity/environment.h"
#include "analytics/identity/identity.h"
#include "analytics/identity/keychain.h"
#include "analytics/store/database.h"
#include "analytics/support/files.h"
#include "analytics/support/library_version.h"
#include "analytics/support/log_codes.h"
#include "core/deployment.h"
#include "core/logger.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification.h"
#include "platform/os/bundle.h"
#include "platform/os/facts.h"
#include "platform/os/file_manager.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

constexpr double kDoubleEpsilon = std::numeric_limits<double>::epsilon();
constexpr std::string_view kDebugHelpLink = "https://docs.example.com/analytics/debug-view";

double now() { return platform::dispatch::Clock::current().now_since_1970(); }

bool measurementNonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

Value int64Object(std::int64_t value) { return APMValueObject(APMValue::initWithInt64(value)); }
Value stringObject(const std::string& value) { return APMValueObject(APMValue::initWithString(Value(value))); }

std::string mainBundleIdentifier() { return platform::os::Bundle::main().identifier().value_or(""); }

// The persisted configuration as the database takes it: the shared instance,
// which lives for the process, without ownership.
std::shared_ptr<APMPersistedConfig> unowned(APMPersistedConfig* config) {
  return std::shared_ptr<APMPersistedConfig>(config, [](APMPersistedConfig*) {});
}

}  // namespace

// ---- class-level state --------------------------------------------------------------

struct APMMeasurement::ClassState {
  std::mutex mutex;
  bool initialized = false;                  // guarded by mutex
  std::shared_ptr<APMMeasurement> instance;  // guarded by mutex
};

APMMonitor& APMMeasurement::monitor() {
  // Lives for the process: queued work may still reach it while the process ends.
  static APMMonitor* shared = new APMMonitor(APMLibraryVersion());
  return *shared;
}

APMMeasurement::ClassState& APMMeasurement::classState() {
  // Lives for the process, like the monitor.
  static ClassState* state = new ClassState();
  return *state;
}

void APMMeasurement::initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::optional<std::vector<std::string>>& safelistedEvents) {
  ClassState& state = classState();
  std::lock_guard lock(state.mutex);
  if (state.initialized) return;
  state.initialized = true;
  if (appID.empty()) {
    monitor().logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return;
  }
  monitor();
  state.instance =
      initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, safelistedEvents);
}

bool APMMeasurement::hasSharedInstance() {
  ClassState& state = classState();
  std::lock_guard lock(state.mutex);
  return state.initialized && state.instance != nullptr;
}

std::shared_ptr<APMMeasurement> APMMeasurement::lockedSharedInstance() {
  ClassState& state = classState();
  std::lock_guard lock(state.mutex);
  return state.instance;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  if (!APMAEU::isOSSupported()) return nullptr;
  ClassState& state = classState();
  std::lock_guard lock(state.mutex);
  if (!state.initialized && platform::rt::Runtime::shared().find("DAVIdovivove")) {
    core::GULLogWarning(kAPMLogService, false, apmMessageCode(23147).c_str(), "%s",
                        "Dozada Analytics for Davidize has not been created. Please, configure Davidize by calling "
                        "[FIRApp configure]");
  }
  return state.instance;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
  const auto engine = lockedSharedInstance();
  if (engine) {
    if (auto config = engine->instanceRemoteConfig()) return config;
  }
  return APMRemoteConfig::defaultInstance();
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::instanceRemoteConfig() const {
  std::lock_guard lock(remoteConfigMutex_);
  return remoteConfig_;
}

void APMMeasurement::load() {
  if (!APMAEU::isOSSupported()) return;
  fd::NotificationCenter::default_center().add_observer(
      nullptr, std::string(platform::ui::notification_name::did_finish_launching), nullptr, nullptr,
      [](const fd::Notification& notification) {
        if (auto upload = APMUploadSeamInstalled()) upload->handleAppDidFinishLaunching(notification.user_info);
      });
}

// ---- creation -----------------------------------------------------------------------

std::shared_ptr<APMMeasurement> APMMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
  if (appID.empty()) {
    monitor().logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  APMMonitor& log = monitor();
  log.logWithLevel(6, 23007, "Analytics v." + std::string(kAPMLibraryVersionText) + " started");
  const bool facade = platform::rt::Runtime::shared().find("DAVIdovivove") != nullptr;
  const bool debug = log.isDebugModeEnabled();
  const std::string argument = std::string(debug ? "-no" : "-") + (facade ? "DAVIdovivove" : "APMAnalytics") +
                               "DebugEnabled";
  log.logWithLevel(6, 23008,
                   std::string(debug ? "To disable" : "To enable") +
                       " debug logging set the following application argument: " + argument + " " +
                       std::string(kDebugHelpLink));
  log.logWithLevel(7, 23009, "Debug logging enabled");

  auto engine = std::make_shared<APMMeasurement>(Passkey{});
  engine->network_ = core::GULNetwork::initWithReachabilityHost(core::kAnalyticsCollectionHost);
  if (engine->network_) {
    if (APMUploadSeamInstalled()) engine->network_->setLoggerDelegate(engine);
    engine->network_->setIsDebugModeEnabled(debug);
  } else {
    log.logWithLevel(1, 23010, "Failed to initialize network component");
  }
  engine->scheduler_ = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
  engine->alarm_ = std::make_shared<APMAlarm>(engine->scheduler_->workerQueue(), kAlarmName);
  engine->suspendedUploadTimestamp_ = 0;

  // The designated part.
  engine->appID_ = appID;
  engine->isAnalyticsCollectionEnabled_ = isAnalyticsCollectionEnabled;
  engine->isAnalyticsCollectionDeactivated_ = isAnalyticsCollectionDeactivated;
  engine->databaseName_ = std::string(kDatabaseName);
  engine->persistedConfig_ = APMPersistedConfig::sharedInstance();
  engine->safelistedEvents_ = safelistedEvents;
  if (engine->persistedConfig_) {
    const auto stored = engine->persistedConfig_->loadTimestampValue();
    if (stored && stored->is_number()) {
      engine->initTimestamp_ = stored->as_double().value_or(0);
    } else {
      engine->initTimestamp_ = APMAnalytics::loadTimestamp();
      engine->persistedConfig_->setLoadTimestampValue(Value(engine->initTimestamp_));
    }
  } else {
    engine->initTimestamp_ = APMAnalytics::loadTimestamp();
  }
  const bool enable = engine->shouldEnableMeasurement();
  engine->enabled_ = enable;
  engine->setEnabled(enable);
  engine->wasEnabledDuringInitialization_ = enable;
  if (auto upload = APMUploadSeamInstalled()) upload->swapBackgroundTaskWithNewTaskID(*engine, 0);
  return engine;
}

APMMeasurement::~APMMeasurement() { fd::NotificationCenter::default_center().remove_all(this); }

bool APMMeasurement::shouldEnableMeasurement() const {
  if (isAnalyticsCollectionDeactivated_) return false;
  const std::int64_t state = persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0;
  if (state == 1) return true;
  if (state == 2) return false;
  return isAnalyticsCollectionEnabled_;
}

void APMMeasurement::setEnabled(bool enabled) {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  APMMeasurement* self = this;
  // During creation there is no shared owner yet: the engine lives for the process.
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:687", [weak, self, enabled] {
    auto engine = weak.lock();
    (engine ? engine.get() : self)->setEnabledOnWorkerQueue(enabled);
  });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setEnabledOnWorkerQueue:");
  const bool deactivated = isAnalyticsCollectionDeactivated_;
  if (deactivated && enabled) return;
  if (!deactivated && persistedConfig_ && !persistedConfig_->deferredAnalyticsCollection()) {
    persistedConfig_->setDeferredAnalyticsCollection(Value(enabled ? 0 : 1));
  }
  enabled_ = enabled;
  if (enabled && !startMeasurementOnWorkerQueue()) {
    monitor().logWithLevel(7, 23011, "Failed to start Analytics. Analytics is disabled");
    setEnabled(false);
    return;
  }
  if (sessionReporter_) sessionReporter_->setReportingEnabled(enabled);
  if (enabled) {
    monitor().logWithLevel(7, 23012, "Analytics enabled");
  } else {
    monitor().logWithLevel(7, 23013, "Analytics disabled");
  }
}

bool APMMeasurement::startMeasurementOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  if (!APMAEU::isOSSupported()) return false;
  if (!componentsStarted_) {
    if (!startComponentsOnWorkerQueue()) return false;
    componentsStarted_ = true;
  }
  if (needFirstOpenAfterReset_) {
    reportFirstOpenOnWorkerQueue();
    needFirstOpenAfterReset_ = false;
  }
  updateSchedule();
  return true;
}

bool APMMeasurement::shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                                             const std::optional<std::string>& appIDFromRUV,
                                             const std::optional<std::string>& appIDFromVeZaz,
                                             const std::optional<std::string>& persistedAppIDFromRUV,
                                             const std::optional<std::string>& persistedAppIDFromVeZaz) {
  const bool g = measurementNonEmpty(appIDFromRUV), a = measurementNonEmpty(appIDFromVeZaz);
  const bool pg = measurementNonEmpty(persistedAppIDFromRUV), pa = measurementNonEmpty(persistedAppIDFromVeZaz);
  const bool app = measurementNonEmpty(appID);
  if (pg && g) return *persistedAppIDFromRUV != *appIDFromRUV;
  if (!pg && g && pa && !a) return true;
  if (!pg && g && pa && a && *persistedAppIDFromVeZaz != *appIDFromVeZaz) return true;
  if (pg && !g && !pa && a && app) return true;
  if (!g && pa && app && *appID != *persistedAppIDFromVeZaz) return true;
  return false;
}

bool APMMeasurement::startComponentsOnWorkerQueue() {
  identity_ = APMIdentity::sharedInstance();
  if (!identity_ || !persistedConfig_) return false;
  if (shouldWipeDataWithAppID(appID_, identity_->appIDFromRUV(), identity_->appIDFromVeZaz(),
                              persistedConfig_->appIDFromRUV(), persistedConfig_->appIDFromVeZaz())) {
    wipeoutAnalyticsDataAndResetComponents();
  }
  if (persistedConfig_->appIDFromRUV() != identity_->appIDFromRUV()) {
    const auto id = identity_->appIDFromRUV();
    persistedConfig_->setAppIDFromRUV(id ? std::optional<std::string_view>(*id) : std::nullopt);
  }
  if (persistedConfig_->appIDFromVeZaz() != identity_->appIDFromVeZaz()) {
    const auto id = identity_->appIDFromVeZaz();
    persistedConfig_->setAppIDFromVeZaz(id ? std::optional<std::string_view>(*id) : std::nullopt);
  }
  const auto origin = APMIdentifiers::sharedInstance().origin();
  if (origin == "fa") persistedConfig_->setAppIDFromRUV(appID_);
  if (origin == "am") persistedConfig_->setAppIDFromVeZaz(appID_);

  database_ = APMDatabase::initWithDatabaseName(databaseName_, unowned(persistedConfig_));
  if (!database_) database_ = APMDatabase::initWithDatabaseName(databaseName_, unowned(persistedConfig_));
  if (!database_) return false;
  auto config = APMRemoteConfig::initWithAppID(appID_, database_);
  if (!config) return false;
  {
    std::lock_guard lock(remoteConfigMutex_);
    remoteConfig_ = config;
  }
  audience_ = engine_records::makeAudience(database_);
  if (!audience_) return false;

  const std::string file = APMApplicationSupportPath(databaseName_);
  const std::string folder = file.substr(0, file.find_last_of('/') == std::string::npos ? 0 : file.find_last_of('/'));
  std::optional<fd::Error> error;
  if (folder.empty() || !APMExcludeFileFromBackup(folder, &error)) {
    monitor().logWithLevel(4, 23015, "Failed to exclude directory from backup. Error",
                           error ? APMErrorContext(*error) : Value());
  }
  monitor().logWithLevel(7, 23016, "Analytics is ready to receive events");
  error.reset();
  if (!engine_records::maybeDeleteStaleData(*database_, &error) && error) {
    monitor().logWithLevel(4, 23018, "Unable to delete stale data. Error", APMErrorContext(*error));
  }
  backfillSessionNumber();
  if (auto sessions = APMSessionsSeamInstalled()) sessionReporter_ = sessions->makeSessionReporter(persistedConfig_);
  if (sessionReporter_ && APMIsAppActive()) {
    // The activation came before the reporter existed: tell it now, or the
    // first foreground would have no session.
    std::weak_ptr<APMSessionReporting> reporter = sessionReporter_;
    platform::dispatch::Queue::main().async([reporter] {
      if (auto strong = reporter.lock(); strong && APMIsAppActive()) strong->handleAppDidBecomeActive();
    });
  }

  reportFirstOpenOnWorkerQueue();
  if (auto campaigns = APMCampaignsSeamInstalled()) campaigns->reportStoredCampaignEventOnWorkerQueue(*this, std::nullopt);
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();

  if (config->isSearchAdReporterEnabled()) {
    if (auto searchAds = APMSearchAdsSeamInstalled()) {
      searchAdReporter_ = searchAds->makeSearchAdReporter(scheduler_->workerQueue(), persistedConfig_);
      if (searchAdReporter_) {
        searchAdReporter_->setSearchAdReporterEnabled(true);
        searchAdReporter_->start();
      }
    }
  }
  if (auto upload = APMUploadSeamInstalled()) upload->observeApplicationState(*this);
  return true;
}

// ---- automatic events ---------------------------------------------------------------

std::int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  constexpr std::int64_t kHour = 3600000;
  return (milliseconds / kHour) * kHour + kHour;
}

std::optional<fd::Dict> APMMeasurement::fileAttributesForPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  auto attributes = platform::os::FileManager::shared().attributes(path);
  if (!attributes) {
    monitor().logWithLevel(5, 23022, "Unable to read attributes of path. Path, error", Value(path),
                           APMErrorContext(attributes.error()));
    return std::nullopt;
  }
  fd::Dict result;
  result.set("NSFileSize", Value(static_cast<long long>(attributes->size)));
  return result;
}

bool APMMeasurement::isAppUpdateWithAnalytics() const { return !engine_records::receiptVersionMatchesBundle(); }

void APMMeasurement::notifyListeners(const APMEventRef& event) const { APMAnalytics::notifyEventListeners(event); }

void APMMeasurement::reportFirstOpenOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  if (!database_ || !persistedConfig_) return;
  std::optional<fd::Error> error;
  const auto fotExisted = engine_records::containsUserAttributeWithName(*database_, "_fot", &error);
  if (!fotExisted && error) {
    monitor().logWithLevel(1, 23019, "Failed to query first open property. Error", APMErrorContext(*error));
    return;
  }
  const bool updated = isAppUpdateWithAnalytics();
  const std::int64_t firstOpenMs = persistedConfig_->firstOpenTimestampMilliseconds();
  const double fiTime = firstOpenMs != 0 ? static_cast<double>(firstOpenMs) / 1000.0 : initTimestamp_;
  setUserAttributeOnWorkerQueue(APMUserAttribute::initWithOrigin("auto", "_fi", APMValue::initWithInt64(updated ? 0 : 1),
                                                                 fiTime));
  error.reset();
  const auto fiExists = engine_records::containsUserAttributeWithName(*database_, "_fi", &error);
  if (!fiExists) {
    if (error) {
      monitor().logWithLevel(1, 23161, "Failed to query first open after install property  after setting it. Error",
                             APMErrorContext(*error));
      return;
    }
  }
  if (!fiExists || !*fiExists) {
    monitor().logWithLevel(1, 23162, "Failed to set first open after install property");
    return;
  }
  const std::string bundleID = mainBundleIdentifier();
  std::int64_t previousFirstOpens = 0;
  if (const auto stored = APMKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID)) {
    try {
      previousFirstOpens = std::stoll(*stored);
    } catch (...) {
      previousFirstOpens = 0;
    }
  }
  if (fotExisted && *fotExisted) {
    if (previousFirstOpens < 1) APMKeychainWrapper::upsertKeychainValue("1", "_pfo", bundleID);
    persistedConfig_->setDeferredAnalyticsCollection(std::nullopt);
    persistedConfig_->setLoadTimestampValue(std::nullopt);
    if (instanceRemoteConfig()->sessionImmediateStartEnabled()) reportSessionStartOnWorkerQueueWithTimestamp(now());
    return;
  }
  const std::int64_t t = APMMillisecondsFromSeconds(initTimestamp_);
  setUserAttributeOnWorkerQueue(APMUserAttribute::initWithOrigin(
      "auto", "_fot", APMValue::initWithInt64(timestampMillisRoundedUpToNextHour(t)), initTimestamp_));
  error.reset();
  const auto fotExists = engine_records::containsUserAttributeWithName(*database_, "_fot", &error);
  if (!fotExists && error) {
    monitor().logWithLevel(1, 23020, "Failed to query first open property after setting it. Error",
                           APMErrorContext(*error));
    return;
  }
  if (instanceRemoteConfig()->sessionImmediateStartEnabled()) reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_);
  if (!fotExists || !*fotExists) {
    monitor().logWithLevel(1, 23021, "Failed to set first open property");
    return;
  }
  const fd::Dict screen = [] {
    auto screens = APMScreensSeamInstalled();
    return screens ? screens->screenParameters() : fd::Dict();
  }();
  fd::Dict firstOpen;
  if (measurementNonEmpty(previousRUVAppID_)) firstOpen.set("_pgmp", stringObject(*previousRUVAppID_));
  firstOpen.set("_pfo", int64Object(previousFirstOpens < 1 ? 0 : previousFirstOpens));
  firstOpen.set("_uwa", int64Object(updated ? 1 : 0));
  const auto deferred = persistedConfig_->deferredAnalyticsCollection();
  if (deferred && deferred->is_number() && deferred->as_double().value_or(0) != 0) firstOpen.set("_dac", int64Object(1));
  const fd::Dict engagement{{"_et", int64Object(1)}};
  for (const auto& [name, parameters] : {std::pair<std::string, fd::Dict>{"_f", firstOpen},
                                         std::pair<std::string, fd::Dict>{"_e", engagement}}) {
    auto event = APMEvent::initWithOrigin("auto", false, name, initTimestamp_, 0, parameters);
    if (!event) continue;
    if (!screen.empty()) event->addScreenParameters(screen);
    handleEventOnWorkerQueue(event);
    persistedConfig_->setDeferredAnalyticsCollection(std::nullopt);
    persistedConfig_->setLoadTimestampValue(std::nullopt);
    notifyListeners(event);
  }
  persistedConfig_->setFirstOpenTimestampMilliseconds(t);
  if (auto campaigns = APMCampaignsSeamInstalled()) {
    campaigns->reportStoredCampaignEventOnWorkerQueue(*this, static_cast<double>(t - 1));
  }
}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {
  if (!identity_ || !persistedConfig_) return;
  const auto current = identity_->appVersion();
  const auto previous = persistedConfig_->appVersion();
  if (current == previous) return;
  persistedConfig_->setAppVersion(current ? std::optional<std::string_view>(*current) : std::nullopt);
  if (measurementNonEmpty(previous)) APMAnalytics::logInternalEventWithOrigin("auto", "_au", fd::Dict{{"_pv", Value(*previous)}});
}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {
  if (!persistedConfig_) return;
  const std::string current = APMEnvironmentInfo::sharedInstance().deviceOSVersion();
  const auto previous = persistedConfig_->osVersion();
  if (previous == current) return;
  persistedConfig_->setOSVersion(current);
  if (measurementNonEmpty(previous)) APMAnalytics::logInternalEventWithOrigin("auto", "_ou", fd::Dict{{"_po", Value(*previous)}});
}

void APMMeasurement::deleteSessionPropertiesOnWorkerQueue(std::int64_t sidCode, std::int64_t snoCode,
                                                         bool bothInOneTransaction) {
  // sidCode 0 leaves "_sid" alone; snoCode 0 leaves "_sno" alone.
  const auto run = [this](std::string_view name, std::int64_t code, const char* text) {
    std::optional<fd::Error> error;
    if (engine_records::deleteUserAttributeWithName(*database_, name, &error)) return true;
    monitor().logWithLevel(1, code, text, error ? APMErrorContext(*error) : Value());
    return false;
  };
  const char* sidText = sidCode == 23177 ? "Failed to remove session ID user property on session expiration. Error"
                                         : "Failed to delete session ID user property. Error";
  const char* snoText = snoCode == 23178
                            ? "Failed to remove session number user property on session expiration. Error"
                            : "Failed to delete session number user property. Error";
  if (bothInOneTransaction) {
    database_->performTransaction([&] { return run("_sid", sidCode, sidText) && run("_sno", snoCode, snoText); });
    return;
  }
  if (sidCode) database_->performTransaction([&] { return run("_sid", sidCode, sidText); });
  if (snoCode) database_->performTransaction([&] { return run("_sno", snoCode, snoText); });
}

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp) {
  if (!sessionReporter_ || !database_ || !sessionReporter_->isSessionExpired()) return;
  sessionReporter_->updatePropertiesForNewSessionStart();
  const auto config = instanceRemoteConfig();
  if (config->sessionIDEnabled()) {
    setUserAttributeOnWorkerQueue(sessionReporter_->sessionIDPropertyWithTimestamp(timestamp));
  } else {
    deleteSessionPropertiesOnWorkerQueue(23175, 0, false);
  }
  if (config->sessionNumberEnabled()) {
    setUserAttributeOnWorkerQueue(sessionReporter_->sessionNumberProperty());
  } else {
    deleteSessionPropertiesOnWorkerQueue(0, 23176, false);
  }
  auto sessions = APMSessionsSeamInstalled();
  if (!sessions) return;
  const std::optional<std::int64_t> number =
      config->sessionNumberEnabled() ? std::optional<std::int64_t>(persistedConfig_->sessionNumber()) : std::nullopt;
  if (auto event = sessions->createSessionStartEvent(number, timestamp)) {
    handleEventOnWorkerQueue(event);
    notifyListeners(event);
  }
}

void APMMeasurement::backfillSessionNumber() {
  if (!database_ || !persistedConfig_) return;
  if (!instanceRemoteConfig()->sessionNumberEnabled() || persistedConfig_->sessionNumber() != 0) return;
  std::optional<fd::Error> error;
  const auto aggregates = engine_records::eventAggregatesWithName(*database_, "_s", &error);
  if (!aggregates) {
    if (error) {
      monitor().logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", Value("_s"),
                             APMErrorContext(*error));
    }
    return;
  }
  persistedConfig_->setSessionNumber(aggregates->lifetimeCount());
}

void APMMeasurement::setMinimumSessionInterval(double seconds) {
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:1408", [self, seconds] {
    if (self->sessionReporter_) self->sessionReporter_->setMinimumSessionInterval(seconds);
  });
}

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:1416", [self, seconds] {
    if (self->sessionReporter_) self->sessionReporter_->setTimeoutSessionInterval(seconds);
  });
}

// ---- upload schedule ----------------------------------------------------------------

void APMMeasurement::closeUploadSchedule() {
  alarm_->cancel();
  if (network_) network_->setReachabilityDelegate({});
  if (auto upload = APMUploadSeamInstalled()) upload->terminateBackgroundTask(*this);
}

void APMMeasurement::updateSchedule() {
  auto upload = APMUploadSeamInstalled();
  if (!upload) {
    closeUploadSchedule();
    return;
  }
  if (suspendedUploadTimestamp_ != 0) {
    const auto boot = platform::os::sysctl_int("kern.boottime");
    const double sinceBoot = boot ? now() - static_cast<double>(*boot) : -1;
    const double apart = std::fabs(sinceBoot - suspendedUploadTimestamp_);
    if (apart < 3600) {
      monitor().logWithLevel(4, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
                             Value(3600 - apart));
      closeUploadSchedule();
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }
  if (!upload->hasDataToUpload(*this)) {
    monitor().logWithLevel(7, 23024, "No data to upload. Upload task will not be scheduled");
    closeUploadSchedule();
    return;
  }
  double t = upload->nextUploadingTime(*this);
  if (std::fabs(t) < kDoubleEpsilon) {
    monitor().logWithLevel(7, 23025, "No next uploading time. Upload task will not be scheduled");
    closeUploadSchedule();
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    monitor().logWithLevel(7, 23026, "No network. Upload task will not be scheduled");
    if (network_) network_->setReachabilityDelegate(weak_from_this());
    alarm_->cancel();
    upload->terminateBackgroundTask(*this);
    return;
  }
  network_->setReachabilityDelegate({});
  bool backedOff = false;
  const double backoff = persistedConfig_ ? persistedConfig_->lastBackoffTimestamp() : 0;
  const double interval = instanceRemoteConfig() ? instanceRemoteConfig()->uploadingBackoffInterval()
                                                  : APMRemoteConfig::defaultInstance()->uploadingBackoffInterval();
  if (backoff != 0 && now() - backoff < interval && backoff + interval > t) {
    t = backoff + interval;
    backedOff = true;
  }
  const auto scheduled = alarm_->scheduledTimestamp();
  // After a back-off an earlier alarm would post again before its end: it is replaced.
  if (scheduled && *scheduled != 0 && *scheduled <= t && !backedOff) {
    monitor().logWithLevel(7, 23027, "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                           Value(*scheduled - now()));
    return;
  }
  double delay = t - now();
  if (std::fabs(delay) < kDoubleEpsilon) delay = 0.001;
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    auto engine = weak.lock();
    if (!engine) return;
    engine->scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:1589", [weak] {
      auto self = weak.lock();
      auto seam = APMUploadSeamInstalled();
      if (self && seam) seam->uploadData(*self);
    });
  });
  monitor().logWithLevel(7, 23028, "Upload task scheduled to be executed in approx. (s)", Value(delay));
}

void APMMeasurement::reachabilityDidChange() {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:972", [weak] {
    if (auto engine = weak.lock()) engine->updateSchedule();
  });
}

// ---- network log bridge -------------------------------------------------------------

void APMMeasurement::GULNetwork_logWithLevel(core::GULNetworkLogLevel logLevel,
                                             core::GULNetworkMessageCode messageCode,
                                             const std::optional<std::string>& message,
                                             const std::vector<Value>& contexts) {
  if (auto upload = APMUploadSeamInstalled()) upload->logNetworkMessage(logLevel, messageCode, message, contexts);
}

void APMMeasurement::GULNetwork_logWithLevel(core::GULNetworkLogLevel logLevel,
                                             core::GULNetworkMessageCode messageCode,
                                             const std::optional<std::string>& message, const Value& context) {
  GULNetwork_logWithLevel(logLevel, messageCode, message, std::vector<Value>{context});
}

void APMMeasurement::GULNetwork_logWithLevel(core::GULNetworkLogLevel logLevel,
                                             core::GULNetworkMessageCode messageCode,
                                             const std::optional<std::string>& message) {
  GULNetwork_logWithLevel(logLevel, messageCode, message, std::vector<Value>{});
}

}  // namespace analytics
