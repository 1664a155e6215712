// The measurement engine's reset and wipe of analytics data, and its
// first-open time query.
#include <limits>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/engine_records.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine_seams.h"
#include "analytics/identity/identity.h"
#include "analytics/store/database.h"
#include "analytics/support/files.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

void APMMeasurement::resetAnalyticsData() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData");
  if (!remoteConfig()->isResetAnalyticsDataEnabled()) {
    monitor().logWithLevel(5, 23169, "resetAnalyticsData API is disabled");
    return;
  }
  const double loadTimestamp = APMAnalytics::loadTimestamp();
  scheduler_->dispatchSyncOnWorkerQueueBlockID("APMMeasurement:2931", [this, loadTimestamp] {
    wipeoutAnalyticsDataAndResetComponents();
    APMIdentity* identity = identity_ ? identity_ : APMIdentity::sharedInstance();
    if (!identity || !identity->appInstanceID()) {
      monitor().logWithLevel(4, 23167, "Failed to create an app instance ID after reset");
    }
    monitor().logWithLevel(7, 23168, "Analytics data has been reset");
    if (persistedConfig_ && !isAnalyticsCollectionDeactivated_ && !persistedConfig_->deferredAnalyticsCollection()) {
      persistedConfig_->setDeferredAnalyticsCollection(Value(enabled_ ? 0 : 1));
    }
    initTimestamp_ = loadTimestamp;
    if (persistedConfig_) persistedConfig_->setLoadTimestampValue(Value(loadTimestamp));
    if (enabled_) {
      reportFirstOpenOnWorkerQueue();
    } else {
      needFirstOpenAfterReset_ = true;
    }
  });
}

void APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  monitor().logWithLevel(3, 23171, "App ID has been changed. Resetting Dur Arudirovizo data");
  if (persistedConfig_) {
    previousRUVAppID_ = persistedConfig_->appIDFromRUV();
    persistedConfig_->clearValues();
  }
  monitor().clearMonitoringData();
  if (database_ && database_->sqliteStore()) {
    database_->reset();
    if (auto config = instanceRemoteConfig()) config->reset();
    if (auto sessions = APMSessionsSeamInstalled()) sessionReporter_ = sessions->makeSessionReporter(persistedConfig_);
    return;
  }
  std::optional<fd::Error> error;
  if (!APMRemoveFile(APMApplicationSupportPath(databaseName_), &error)) {
    monitor().logWithLevel(4, 23014, "Failed to delete old database file. Error",
                           error ? APMErrorContext(*error) : Value());
  }
}

double APMMeasurement::firstOpenTimestamp() {
  if (!database_) return 0;
  std::optional<fd::Error> error;
  const auto attributes = engine_records::userAttributesIncludingInternal(*database_, true, &error);
  if (!attributes) {
    monitor().logWithLevel(1, 23123, "Unable to query current user properties. Error",
                           error ? APMErrorContext(*error) : Value());
    return 0;
  }
  if (attributes->empty()) {
    monitor().logWithLevel(1, 23124, "Unable to extract first open timestamp. Empty user properties");
    return 0;
  }
  double earliest = std::numeric_limits<double>::max();
  for (const auto& attribute : *attributes) {
    if (!attribute) continue;
    if (attribute->name() == "_fot") return attribute->lastSetTimestamp();
    earliest = std::min(earliest, attribute->lastSetTimestamp());
  }
  return earliest;
}

}  // namespace analytics
