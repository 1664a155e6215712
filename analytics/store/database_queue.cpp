// APMDatabase: the upload queue of gzip-compressed bundles, their retry
// counts and the periodic deletion of stale data.
#include <cmath>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/store/database.h"
#include "analytics/store/database_rows.h"
#include "core/gzip.h"
#include "wire/measurement/measurement.h"
#include "wire/runtime/encoded_fields.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Array;
using fd::Value;

namespace {

namespace mf = measurement_fields;

constexpr std::string_view kQueue = "queue";
constexpr long long kRetryCeiling = 2147483647;

APMMonitor& databaseQueueMonitor() { return APMDatabaseMonitor(); }

// The row's bundle inflated and checked, its retry count written into it.
std::optional<APMEncodedBundle> encodedBundleFromRow(const APMRecord& row) {
  if (row.empty()) {
    databaseQueueMonitor().logWithLevel(1, 12052, "Cannot process empty rowData");
    return std::nullopt;
  }
  const auto* data = row.get("data").data();
  if (!data || data->empty()) {
    databaseQueueMonitor().logWithLevel(1, 12049, "Cannot decompress an empty bundle data");
    return std::nullopt;
  }
  fd::Error inflateError;
  auto inflated = core::gul_dataByInflatingGzippedData(*data, &inflateError);
  if (!inflated) {
    databaseQueueMonitor().logWithLevel(1, 12050, "Cannot decompress data. Error", APMErrorContext(inflateError));
    return std::nullopt;
  }
  const auto fields = wire::NANOIsDecodable(wire::RIDUZMeasurementBundle::type(), *inflated)
                          ? wire::NANOScanFields(*inflated)
                          : std::nullopt;
  if (!fields) {
    databaseQueueMonitor().logWithLevel(1, 12051, "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  APMEncodedBundle bundle;
  const Value& retries = row.get("retry_count");
  if (retries.is_number() && *retries.as_int() > 0) {
    fd::Bytes retryField;
    const std::uint32_t tag = wire::RIDUZMeasurementBundle::type().fields[mf::kBundleRetryCount].tag;
    wire::NANOAppendVarintField(retryField, tag,
                                static_cast<std::uint64_t>(static_cast<std::int64_t>(
                                    static_cast<std::int32_t>(*retries.as_int()))));
    const wire::NANOFieldReplacement replacement{tag, retryField};
    bundle.bytes.reserve(inflated->size() + retryField.size());
    wire::NANOReplaceFields(*inflated, *fields, std::span(&replacement, 1), bundle.bytes);
  } else {
    bundle.bytes = std::move(*inflated);
  }
  const Value& rowID = row.get("rowid");
  if (!rowID.is_integer()) return std::nullopt;
  bundle.rowID = *rowID.as_int();
  return bundle;
}

std::optional<APMBundlePair> bundlePairFromEncoded(const APMEncodedBundle& encoded) {
  auto bundle = wire::RIDUZMeasurementBundle::initWithBuffer(encoded.bytes);
  if (!bundle) {
    databaseQueueMonitor().logWithLevel(1, 12051, "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  return APMBundlePair(std::move(bundle), encoded.rowID);
}

std::vector<APMBundlePair> bundlePairsFromRows(const std::vector<APMRecord>& rows) {
  std::vector<APMBundlePair> pairs;
  for (const auto& row : rows) {
    const auto encoded = encodedBundleFromRow(row);
    if (!encoded) continue;
    if (auto pair = bundlePairFromEncoded(*encoded)) pairs.push_back(std::move(*pair));
  }
  return pairs;
}

}  // namespace

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(APMErrorOut error) {
  auto empty = integerForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
  if (!empty) return std::nullopt;
  return *empty != 0;
}

bool APMDatabase::insertBundle(const wire::RIDUZMeasurementBundle& bundle, bool isRealtime, APMErrorOut error) {
  return insertEncodedBundle(bundle.protoBuffer(), bundle, isRealtime, error);
}

bool APMDatabase::insertEncodedBundle(const std::optional<fd::Bytes>& bytes, const wire::RIDUZMeasurementBundle& bundle,
                                      bool isRealtime, APMErrorOut error) {
  if (!APMCheckSuccess(bytes && !bytes->empty(), error, 1, "Failed to insert nil bundle")) return false;
  if (!APMCheckSuccess(!wire::NANOGetString(&bundle, mf::kBundleAppID).value_or("").empty(), error, 1,
                       "Failed to insert bundle without App ID"))
    return false;
  const std::int64_t endMilliseconds = wire::NANOGetInt64(&bundle, mf::kBundleEnd);
  if (!APMCheckSuccess(endMilliseconds > 0, error, 1, "Failed to insert bundle without valid timestamp")) return false;
  if (!maybeDeleteStaleData(error)) return false;
  const double end = static_cast<double>(endMilliseconds) / 1000.0;
  const auto config = APMMeasurement::remoteConfig();
  if (config && std::fabs(APMDatabaseNow() - end) > config->maxQueueTime()) {
    databaseQueueMonitor().logWithLevel(4, 12016, "Storing bundle outside of the max uploading time span");
  }
  fd::Error gzipError;
  auto compressed = core::gul_dataByGzippingData(*bytes, &gzipError);
  if (!compressed || compressed->empty()) {
    APMSetErrorWithoutContext(error, 2, "Failed to compress bundle");
    databaseQueueMonitor().logWithLevel(1, 12017, "Cannot compress data. Error", APMErrorContext(gzipError));
    return false;
  }
  databaseQueueMonitor().logWithLevel(7, 12018, "Saving bundle. size (bytes)", Value(std::to_string(compressed->size())));
  auto* store = openStore(error);
  return store && store->upsertRecord(
                      APMRecord{{"bundle_end_timestamp", Value(end)},
                                {"data", Value(std::move(*compressed))},
                                {"is_realtime", Value(isRealtime ? 1 : 0)},
                                {"retry_count", Value(wire::NANOGetInt32(&bundle, mf::kBundleRetryCount))}},
                      kQueue, error);
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, APMErrorOut error) {
  if (!APMCheckSuccess(!rowIDs.empty(), error, 1, "Failed to increment retry counter")) return false;
  auto atCeiling = integerForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                                   {Value(kRetryCeiling)}, nullptr);
  if (atCeiling.value_or(0) != 0) {
    databaseQueueMonitor().logWithLevel(1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  Array parameters;
  auto condition = APMRowIDCondition(rowIDs, &parameters, error);
  if (!condition) return false;
  parameters.emplace_back(kRetryCeiling);
  auto* store = openStore(error);
  return store &&
         store->increaseColumn("retry_count", 1, kQueue, *condition + " AND retry_count < ?", parameters, error);
}

std::optional<std::vector<APMEncodedBundle>> APMDatabase::queryEncodedBundlesWithCountLimit(std::int64_t countLimit,
                                                                                           std::int64_t sizeLimit,
                                                                                           APMErrorOut error) {
  auto rows = records("SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC LIMIT ?",
                      {Value(static_cast<long long>(countLimit))}, error);
  if (!rows) return std::nullopt;
  std::vector<APMEncodedBundle> taken;
  std::int64_t total = 0;
  for (const auto& row : *rows) {
    auto bundle = encodedBundleFromRow(row);
    if (!bundle) continue;
    const auto size = static_cast<std::int64_t>(bundle->bytes.size());
    if (!taken.empty() && total + size > sizeLimit) break;
    taken.push_back(std::move(*bundle));
    total += size;
    if (total > sizeLimit) break;
  }
  return taken;
}

std::optional<std::vector<APMBundlePair>> APMDatabase::queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                                 std::int64_t sizeLimit,
                                                                                 APMErrorOut error) {
  auto encoded = queryEncodedBundlesWithCountLimit(countLimit, sizeLimit, error);
  if (!encoded) return std::nullopt;
  std::vector<APMBundlePair> taken;
  for (const auto& bundle : *encoded) {
    if (auto pair = bundlePairFromEncoded(bundle)) taken.push_back(std::move(*pair));
  }
  return taken;
}

std::optional<std::vector<APMBundlePair>> APMDatabase::queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                                                             APMErrorOut error) {
  Array parameters;
  auto condition = APMRowIDCondition(rowIDs, &parameters, error);
  if (!condition) return std::nullopt;
  auto rows = records("SELECT rowid, data, retry_count FROM queue WHERE " + *condition, parameters, error);
  if (!rows) return std::nullopt;
  return bundlePairsFromRows(*rows);
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, APMErrorOut error) {
  Array parameters;
  auto condition = APMRowIDCondition(rowIDs, &parameters, error);
  auto* store = condition ? openStore(error) : nullptr;
  return store && store->deleteRecordsFromTableWithName(kQueue, *condition, parameters, error);
}

std::optional<bool> APMDatabase::maybeDeleteStaleData(APMErrorOut error) {
  const double now = APMDatabaseNow();
  const double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0;
  const auto config = APMMeasurement::remoteConfig();
  if (!config) return std::nullopt;
  if (!(std::fabs(now - last) > config->databaseDeleteStaleBundlesInterval())) return false;
  const double maxAge = config->maxQueueTime();
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) || !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
    return std::nullopt;
  }
  if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}

bool APMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, APMErrorOut error) {
  if (!APMCheckSuccess(maxAge >= 0, error, 1, "Cannot delete stale bundles after negative time period")) return false;
  auto* store = openStore(error);
  return store && store->deleteRecordsFromTableWithName(kQueue,
                                                        "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                                                        {Value(APMDatabaseNow()), Value(maxAge)}, error);
}

std::optional<double> APMDatabase::queryLatestBundleTime(APMErrorOut error) {
  return realForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", error);
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(APMErrorOut error) {
  auto exists = integerForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {}, error);
  if (!exists) return std::nullopt;
  return *exists != 0;
}

}  // namespace analytics
