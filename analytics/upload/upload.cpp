// Upload scheduling, the upload pass, the batch and the post's completion.
#include "analytics/upload/upload.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/identity.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/support/errors.h"
#include "analytics/upload/app_state.h"
#include "analytics/upload/bundling.h"
#include "analytics/upload/config_fetch.h"
#include "core/deployment.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/error.h"
#include "platform/net/http.h"
#include "platform/os/facts.h"
#include "wire/runtime/encoded_fields.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics {

namespace fd = platform::foundation;

namespace {

namespace mf = measurement_fields;

constexpr double kUploadEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kUploadSuspension = 3600;

double uploadNow() { return platform::dispatch::Clock::current().now_since_1970(); }

std::shared_ptr<APMRemoteConfig> uploadConfig(const APMMeasurement& engine) {
  if (auto config = engine.instanceRemoteConfig()) return config;
  return APMRemoteConfig::defaultInstance();
}

fd::Value uploadErrorContext(const std::optional<fd::Error>& error) {
  return error ? APMErrorContext(*error) : fd::Value();
}

std::string uploadBundleText(const wire::RIDUZMeasurementBundle& bundle, std::int32_t index) {
  return wire::NANOGetString(&bundle, index).value_or("");
}

// The later of the newest queued bundle and the newest raw event; 0 for none.
double uploadLatestDataTime(APMDatabase& database) {
  std::optional<fd::Error> error;
  const auto raw = database.queryLatestRawEventTime(&error);
  if (!raw && error) APMMeasurement::monitor().logWithLevel(4, 23029, "Failed to query latest raw event time. Error",
                                                           uploadErrorContext(error));
  error.reset();
  const auto bundle = database.queryLatestBundleTime(&error);
  if (!bundle && error) APMMeasurement::monitor().logWithLevel(4, 23030, "Failed to query latest bundle time. Error",
                                                              uploadErrorContext(error));
  return std::max(raw.value_or(0), bundle.value_or(0));
}

bool uploadHasRealtimeData(APMDatabase& database) {
  std::optional<fd::Error> error;
  const auto bundles = database.containsRealtimeBundlesWithError(&error);
  if (!bundles && error)
    APMMeasurement::monitor().logWithLevel(4, 23031, "Failed to query for real-time bundle indicator. Error",
                                           uploadErrorContext(error));
  if (bundles.value_or(false)) return true;
  error.reset();
  const auto raw = database.containsRealtimeRawEventsWithError(&error);
  if (!raw && error)
    APMMeasurement::monitor().logWithLevel(4, 23032, "Failed to query for real-time raw event indicator. Error",
                                           uploadErrorContext(error));
  return raw.value_or(false);
}

void uploadFailed(APMMeasurement& engine, int status, const std::optional<fd::Error>& error) {
  APMPersistedConfig* persisted = engine.persistedConfig();
  const double now = uploadNow();
  if (persisted) {
    persisted->setLastFailedUploadTimestamp(now);
    if (status == 503 || status == 429) persisted->setLastBackoffTimestamp(now);
  }
  APMMeasurement::monitor().logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error",
                                         fd::Value(status), uploadErrorContext(error));
  auto& ids = engine.uploadingBundleIDs();
  if (engine.database() && !ids.empty()) {
    APMDatabase& database = *engine.database();
    const bool counted = database.performTransaction([&] {
      std::optional<fd::Error> dbError;
      if (database.incrementRetryCounterForBundlesWithIDs(ids, &dbError)) return true;
      APMMeasurement::monitor().logWithLevel(1, 23166, "Failed to update the bundles' retry counts. Error",
                                             uploadErrorContext(dbError));
      return false;
    });
    (void)counted;
  }
  ids.clear();
  engine.updateSchedule();
}

void uploadSucceeded(APMMeasurement& engine, int status, std::int64_t length) {
  APMMeasurement::monitor().logWithLevel(7, 23044, "Successful upload. Got network response. Code, size",
                                         fd::Value(status), fd::Value(length));
  if (APMPersistedConfig* persisted = engine.persistedConfig()) {
    persisted->setLastSuccessfulUploadTimestamp(uploadNow());
    persisted->setLastFailedUploadTimestamp(0);
    persisted->setLastBackoffTimestamp(0);
  }
  engine.updateSchedule();
  auto& ids = engine.uploadingBundleIDs();
  bool removed = true;
  if (engine.database() && !ids.empty()) {
    APMDatabase& database = *engine.database();
    removed = database.performTransaction([&] {
      std::optional<fd::Error> dbError;
      if (database.deleteBundlesWithRowIDs(ids, &dbError)) return true;
      APMMeasurement::monitor().logWithLevel(1, 23122, "Failed to delete bundles from database. Error",
                                             uploadErrorContext(dbError));
      return false;
    });
  }
  if (!removed) {
    APMMeasurement::monitor().logWithLevel(1, 23045,
                                           "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                                           fd::Value(kUploadSuspension));
    engine.setSuspendedUploadTimestamp(APMUploadUptime());
  } else {
    engine.setSuspendedUploadTimestamp(0);
  }
  ids.clear();
  const bool connected = engine.network() && engine.network()->isNetworkConnected();
  if ((connected && APMHasDataToUpload(engine)) || uploadConfig(engine)->isExpired()) {
    APMUploadData(engine);
  } else {
    engine.updateSchedule();
  }
}

}  // namespace

double APMUploadUptime() {
  const auto boot = platform::os::sysctl_int("kern.boottime");
  return boot ? uploadNow() - static_cast<double>(*boot) : -1;
}

double APMNextUploadingTime(APMMeasurement& engine) {
  if (!engine.database()) return 0;
  APMDatabase& database = *engine.database();
  const auto config = uploadConfig(engine);
  APMPersistedConfig* persisted = engine.persistedConfig();
  const double lastSuccess = persisted ? persisted->lastSuccessfulUploadTimestamp() : 0;
  const double lastFailure = persisted ? persisted->lastFailedUploadTimestamp() : 0;

  const double latest = uploadLatestDataTime(database);
  if (std::fabs(latest) < kUploadEpsilon) return 0;
  const bool debug = APMMeasurement::monitor().isDebugModeEnabled();
  const bool realtime = debug || uploadHasRealtimeData(database);
  const double interval = realtime ? config->uploadingRealTimeInterval() : config->uploadingInterval();

  const double now = uploadNow();
  const double latestPast = now - std::fabs(latest - now);
  double next = std::fabs(now - lastSuccess) < interval ? lastSuccess + interval
                                                        : latestPast + config->uploadingInitialDelayInterval();
  if (lastFailure < latestPast) {
    if (debug) next = std::min(next, latestPast + config->uploadingDebugModeInterval());
    return next;
  }
  const std::int32_t retries = config->uploadingRetryCount();
  const double step = config->uploadingRetryInterval();
  double factor = 1;
  for (std::int32_t i = 0; i < retries; ++i, factor *= 2) {
    next += step * factor;
    if (next > lastFailure) return next;
  }
  return 0;
}

bool APMHasDataToUpload(APMMeasurement& engine) {
  if (!engine.database()) return false;
  APMDatabase& database = *engine.database();
  std::optional<fd::Error> error;
  const auto queueEmpty = database.isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    APMMeasurement::monitor().logWithLevel(1, 23117, "Failed to check if queue table is empty. Error",
                                           uploadErrorContext(error));
    return false;
  }
  if (!*queueEmpty) return true;
  error.reset();
  const auto rawEmpty = database.isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    APMMeasurement::monitor().logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error",
                                           uploadErrorContext(error));
    return false;
  }
  return !*rawEmpty;
}

bool APMIsNetworkReadyForRequest(APMMeasurement& engine) {
  const auto& network = engine.network();
  if (!network) return false;
  if (!engine.isNetworkRequestPending()) return !network->hasUploadInProgress();
  if (!network->hasUploadInProgress())
    APMMeasurement::monitor().logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
  return false;
}

void APMUploadDataOrRegisterAlarm(APMMeasurement& engine) {
  if (engine.network() && engine.network()->isNetworkConnected() && APMHasDataToUpload(engine)) {
    APMUploadData(engine);
  } else {
    engine.updateSchedule();
  }
}

namespace {

// The device filter's kept run over rows of any form; `text` reads a string
// field of a row by index (empty when absent), `valid` tells a usable row.
template <class Row, class Text, class Valid>
std::vector<const Row*> uploadFilteredRun(const std::string& compatibleAppID,
                                          const std::optional<std::string>& resettableDeviceID,
                                          const std::optional<std::string>& vendorDeviceID,
                                          const std::vector<Row>& rows, Text text, Valid valid) {
  if (resettableDeviceID && vendorDeviceID) {
    APMMeasurement::monitor().logWithLevel(2, 23042,
                                           "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  std::vector<const Row*> kept;
  for (const auto& row : rows) {
    if (!valid(row)) break;
    if (text(row, mf::kBundleAppID) != compatibleAppID) break;
    if (resettableDeviceID) {
      const auto id = text(row, mf::kBundleResettableDeviceID);
      if (!id.empty() && id != *resettableDeviceID) break;
    } else if (vendorDeviceID) {
      const auto id = text(row, mf::kBundleVendorID);
      if (!id.empty() && id != *vendorDeviceID) break;
    }
    kept.push_back(&row);
  }
  return kept;
}

// The whole batch filter: the first row's app ID and the first device ID found.
template <class Row, class Text, class Valid>
std::vector<const Row*> uploadBatchRows(const std::vector<Row>& rows, Text text, Valid valid) {
  if (rows.empty() || !valid(rows.front())) return {};
  const std::string compatibleAppID = text(rows.front(), mf::kBundleAppID);
  std::optional<std::string> resettable, vendor;
  for (const auto& row : rows) {
    if (!valid(row)) continue;
    const auto adID = text(row, mf::kBundleResettableDeviceID);
    if (!adID.empty()) {
      resettable = adID;
      break;
    }
    const auto vendorID = text(row, mf::kBundleVendorID);
    if (!vendorID.empty()) {
      vendor = vendorID;
      break;
    }
  }
  return uploadFilteredRun(compatibleAppID, resettable, vendor, rows, text, valid);
}

// A queued bundle's top-level fields, scanned once.
struct UploadScannedRow {
  const APMEncodedBundle* row = nullptr;
  std::optional<std::vector<wire::NANOEncodedField>> fields;
};

std::string uploadScannedText(const UploadScannedRow& scanned, std::int32_t index) {
  const auto tag = wire::RIDUZMeasurementBundle::type().fields[index].tag;
  const auto text = wire::NANOFindLengthDelimited(scanned.row->bytes, *scanned.fields, tag);
  return text ? std::string(*text) : std::string();
}

}  // namespace

std::vector<APMBundlePair> APMFilteredBundlesWithCompatibleAppID(const std::string& compatibleAppID,
                                                                 const std::optional<std::string>& resettableDeviceID,
                                                                 const std::optional<std::string>& vendorDeviceID,
                                                                 const std::vector<APMBundlePair>& bundles) {
  const auto kept = uploadFilteredRun(
      compatibleAppID, resettableDeviceID, vendorDeviceID, bundles,
      [](const APMBundlePair& pair, std::int32_t index) { return uploadBundleText(*pair.first, index); },
      [](const APMBundlePair& pair) { return pair.first != nullptr; });
  std::vector<APMBundlePair> result;
  for (const auto* pair : kept) result.push_back(*pair);
  return result;
}

namespace {

// The batch over scanned rows; a row without fields is unusable.
APMUploadBatch uploadBuildBatch(const std::vector<UploadScannedRow>& scanned, double uploadTime) {
  APMUploadBatch result;
  result.uploadTimeMillis = static_cast<std::int64_t>(uploadTime * 1000);
  if (scanned.empty() || !scanned.front().fields) return result;
  const auto kept = uploadBatchRows(scanned, uploadScannedText,
                                    [](const UploadScannedRow& row) { return row.fields.has_value(); });

  // Each bundle with the library version and the upload time set in place.
  const auto& bundleFields = wire::RIDUZMeasurementBundle::type().fields;
  const std::uint32_t versionTag = bundleFields[mf::kBundleLibraryVersionAtUpload].tag;
  const std::uint32_t timeTag = bundleFields[mf::kBundleUploadTime].tag;
  fd::Bytes versionField, timeField;
  wire::NANOAppendVarintField(versionField, versionTag,
                              static_cast<std::uint64_t>(APMIdentity::durArudirovizoLibraryVersion()));
  wire::NANOAppendVarintField(timeField, timeTag, static_cast<std::uint64_t>(result.uploadTimeMillis));
  std::vector<wire::NANOFieldReplacement> replacements{{timeTag, timeField}, {versionTag, versionField}};
  std::sort(replacements.begin(), replacements.end(), [](const auto& a, const auto& b) { return a.tag < b.tag; });
  const std::uint32_t bundlesTag = wire::RIDUZMeasurementBatch::type().fields[0].tag;

  std::size_t total = 0;
  for (const auto* row : kept) total += row->row->bytes.size() + versionField.size() + timeField.size() + 16;
  fd::Bytes body;
  body.reserve(total);
  fd::Bytes bundle;
  for (const auto* row : kept) {
    bundle.clear();
    if (!wire::NANOReplaceFields(row->row->bytes, *row->fields, replacements, bundle)) return result;
    wire::NANOAppendLengthDelimitedField(body, bundlesTag, bundle);
    result.rowIDs.push_back(row->row->rowID);
  }
  result.body = std::move(body);
  return result;
}

}  // namespace

APMUploadBatch APMBuildUploadBatch(const std::vector<APMEncodedBundle>& rows, double uploadTime) {
  std::vector<UploadScannedRow> scanned;
  scanned.reserve(rows.size());
  for (const auto& row : rows) scanned.push_back({&row, wire::NANOScanFields(row.bytes)});
  return uploadBuildBatch(scanned, uploadTime);
}

APMUploadBatch APMBuildUploadBatch(const std::vector<APMEncodedBundle>& rows, double uploadTime);
bool APMSetUploadInProgressWithBundleIDs(APMMeasurement& engine, const std::vector<std::int64_t>& rowIDs) {
  if (rowIDs.empty()) {
    APMMeasurement::monitor().logWithLevel(1, 23046, "Bundle list is empty. Cancelling upload");
    return false;
  }
  if (!engine.uploadingBundleIDs().empty()) {
    APMMeasurement::monitor().logWithLevel(1, 23047, "Set uploading progress before finishing the previous upload");
    return false;
  }
  engine.uploadingBundleIDs() = rowIDs;
  return true;
}

void APMUploadData(APMMeasurement& engine) {
  auto& monitor = APMMeasurement::monitor();
  if (engine.suspendedUploadTimestamp() > 0) {
    engine.updateSchedule();
    return;
  }
  monitor.logWithLevel(7, 23033, "Starting data upload");
  if (!APMIsNetworkReadyForRequest(engine)) {
    monitor.logWithLevel(7, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  const auto network = engine.network();
  if (!network->isNetworkConnected() || !engine.database()) {
    monitor.logWithLevel(7, 23035, "Network not connected, ignoring upload request");
    engine.updateSchedule();
    return;
  }
  const auto config = uploadConfig(engine);
  if (!config->isExpired()) {
    const std::int32_t limit = config->maxBundlesCreatedPerIteration();
    for (std::int32_t i = 0; i < limit && bundleRawEvents(engine); ++i) {
    }
  }

  std::optional<fd::Error> error;
  const auto rows = engine.database()->queryEncodedBundlesWithCountLimit(config->uploadMaxBundlesLimit(),
                                                                         config->uploadMaxSizeLimitBytes(), &error);
  if (!rows) {
    monitor.logWithLevel(1, 23036, "Failed to query bundles. Error", uploadErrorContext(error));
    APMTerminateBackgroundTask(engine);
    return;
  }
  if (rows->empty()) {
    monitor.logWithLevel(7, 23037, "No data to upload");
    if (config->isExpired()) APMFetchRemoteConfig(engine);
    return;
  }
  const double now = uploadNow();
  APMPersistedConfig* persisted = engine.persistedConfig();
  if (persisted && persisted->lastSuccessfulUploadTimestamp() != 0) {
    monitor.logWithLevel(7, 23038, "Uploading events. Elapsed time since last successful upload (s)",
                         fd::Value(std::fabs(now - persisted->lastSuccessfulUploadTimestamp())));
  }

  APMUploadBatch batch = APMBuildUploadBatch(*rows, now);
  {
    // The batch as a message only when the message is seen.
    std::shared_ptr<wire::RIDUZMeasurementBatch> logged;
    if (monitor.usesContextsAtLevel(7)) {
      logged = batch.body ? wire::RIDUZMeasurementBatch::initWithBuffer(*batch.body) : nullptr;
      if (!logged) logged = wire::RIDUZMeasurementBatch::make();
    }
    monitor.logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
                         fd::Value(batch.uploadTimeMillis), logged ? fd::Value::object(logged) : fd::Value());
  }
  // A refused list would let this answer delete another upload's rows: nothing is posted.
  if (!batch.body || !APMSetUploadInProgressWithBundleIDs(engine, batch.rowIDs)) {
    engine.updateSchedule();
    return;
  }

  if (persisted) persisted->setLastFailedUploadTimestamp(now);
  engine.setIsNetworkRequestPending(true);
  network->setTimeoutInterval(config->networkTimeout());
  const auto url = fd::Url::parse("https://" + std::string(core::kAnalyticsCollectionHost) + "/a");
  std::weak_ptr<APMMeasurement> weak = engine.weak_from_this();
  const auto session = network->postURL(
      *url, *batch.body, engine.scheduler()->workerQueue(), config->isNetworkBackgroundSessionEnabled(),
      [weak](std::shared_ptr<const platform::net::Response> response, std::optional<fd::Bytes>,
             std::optional<fd::Error> postError) {
        auto self = weak.lock();
        if (!self) return;
        self->setIsNetworkRequestPending(false);
        APMNetworkUploadCompletion(*self, response, postError);
      });
  if (!session || session->empty()) {
    monitor.logWithLevel(1, 23040, "Unable to create network session.");
    engine.uploadingBundleIDs().clear();
  }
}

void APMNetworkUploadCompletion(APMMeasurement& engine, const std::shared_ptr<const platform::net::Response>& response,
                                const std::optional<fd::Error>& error) {
  const int status = response && response->status ? *response->status : 0;
  if (status == 200 || status == 204) {
    uploadSucceeded(engine, status, response->expected_content_length);
  } else {
    uploadFailed(engine, status, error);
  }
}

}  // namespace analytics
