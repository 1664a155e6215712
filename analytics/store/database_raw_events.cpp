// APMDatabase: raw events and the metadata rows they share by fingerprint.
#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/store/database.h"
#include "analytics/store/database_rows.h"
#include "analytics/support/digest.h"
#include "wire/measurement/measurement.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Array;
using fd::Value;

namespace {

constexpr std::string_view kRawEvents = "raw_events";
constexpr std::string_view kMetadata = "raw_events_metadata";
constexpr std::int64_t kMetadataLimit = 100000;
constexpr long long kRawEventsPerRead = 1000;
// Field indexes of the event message and its parameters.
constexpr std::int32_t kEventParamsField = 0;
constexpr std::int32_t kEventNameField = 1;
constexpr std::int32_t kEventPreviousTimestampField = 3;
constexpr std::int32_t kParamNameField = 0;
constexpr std::int32_t kParamStringField = 1;
constexpr std::int32_t kParamInt64Field = 2;
constexpr std::int32_t kParamDoubleField = 4;

APMMonitor& databaseRawEventsMonitor() { return APMDatabaseMonitor(); }

Value fingerprintValue(std::int64_t fingerprint) { return Value(static_cast<long long>(fingerprint)); }

std::optional<APMRecord> metadataRecord(const wire::RIDUZMeasurementBundle& metadata, std::string_view) {
  auto bytes = metadata.protoBuffer();
  if (!bytes || bytes->empty()) {
    databaseRawEventsMonitor().logWithLevel(4, 12011, "Received empty measurement bundle metadata for getting dictionary representation");
    return std::nullopt;
  }
  const auto fingerprint = apm_64LSBMD5(*bytes);
  return APMRecord{{"metadata_fingerprint", fingerprintValue(fingerprint)}, {"metadata", Value(std::move(*bytes))}};
}

std::shared_ptr<wire::RIDUZMeasurementBundle> metadataFromRow(const APMRecord& row) {
  if (row.empty()) {
    databaseRawEventsMonitor().logWithLevel(4, 12012, "Received empty dictionary for getting measurement bundle");
    return nullptr;
  }
  const auto* data = row.get("metadata").data();
  if (!data || data->empty()) {
    databaseRawEventsMonitor().logWithLevel(4, 12013, "Event metadata should not be empty for getting measurement bundle");
    return nullptr;
  }
  return wire::RIDUZMeasurementBundle::initWithBuffer(*data);
}

std::optional<APMRecord> rawEventRecord(const APMRawEventData& raw, bool isRealtime) {
  const auto& event = raw.rawEvent();
  auto proto = event ? event->protoEvent() : nullptr;
  if (!proto) {
    databaseRawEventsMonitor().logWithLevel(4, 12014, "Received empty raw event data for getting dictionary representation");
    return std::nullopt;
  }
  // The name has a column of its own.
  wire::NANOSetString(proto.get(), kEventNameField, std::nullopt);
  auto data = proto->protoBuffer();
  if (!data) return std::nullopt;
  return APMRecord{{"name", Value(event->name())},
                   {"timestamp", Value(event->timestamp())},
                   {"metadata_fingerprint", fingerprintValue(raw.metadataFingerprint())},
                   {"data", Value(std::move(*data))},
                   {"is_realtime", Value(isRealtime ? 1 : 0)}};
}

}  // namespace

bool APMDatabase::insertIfNotExistsRawEventMetadata(const wire::RIDUZMeasurementBundle& metadata, APMErrorOut error) {
  auto record = metadataRecord(metadata, kMetadata);
  const Value key = record ? record->get("metadata_fingerprint") : Value();
  if (record && queryRawEventsMetadataWithFingerprint(*key.as_int(), nullptr)) return true;
  DictionaryBlock<wire::RIDUZMeasurementBundle> toRecord = [&record](const wire::RIDUZMeasurementBundle&,
                                                                     std::string_view) { return record; };
  return upsertDataType<wire::RIDUZMeasurementBundle>(&metadata, kMetadata, "metadata_fingerprint", key,
                                                      kMetadataLimit, error, toRecord);
}

std::shared_ptr<wire::RIDUZMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(
    std::int64_t fingerprint, APMErrorOut error) {
  const Value key = fingerprintValue(fingerprint);
  auto all = dataTypesFromTableWithName<wire::RIDUZMeasurementBundle>(kMetadata, "metadata_fingerprint", &key, error,
                                                                      metadataFromRow);
  if (!all || all->empty()) return nullptr;
  return all->front();
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint, APMErrorOut error) {
  auto* store = openStore(error);
  return store && store->deleteRecordsFromTableWithName(kMetadata, "metadata_fingerprint == ?",
                                                        {fingerprintValue(fingerprint)}, error);
}

bool APMDatabase::deleteUnusedRawEventsMetadata(APMErrorOut error) {
  auto* store = openStore(error);
  return store &&
         store->deleteRecordsFromTableWithName(
             kMetadata, "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {}, error);
}

std::optional<bool> APMDatabase::isRawEventsTableEmpty(APMErrorOut error) {
  auto empty = integerForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
  if (!empty) return std::nullopt;
  return *empty != 0;
}

bool APMDatabase::insertRawEvent(const APMEvent* event, std::int64_t metadataFingerprint, bool isRealtime,
                                 APMErrorOut error) {
  if (!APMCheckNotNil(event, error, 1, "Received empty event for inserting in the database")) return false;
  auto raw = APMRawEventData::initWithRawEvent(event->copy(), 0, metadataFingerprint);
  DictionaryBlock<APMRawEventData> toRecord = [isRealtime](const APMRawEventData& data, std::string_view) {
    return rawEventRecord(data, isRealtime);
  };
  if (!raw) databaseRawEventsMonitor().logWithLevel(4, 12014, "Received empty raw event data for getting dictionary representation");
  return insertDataType<APMRawEventData>(raw.get(), kRawEvents, error, toRecord);
}

std::optional<double> APMDatabase::queryLatestRawEventTime(APMErrorOut error) {
  return realForQuery("SELECT MAX(timestamp) FROM raw_events", error);
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, APMErrorOut error, const APMRecordFilter& filter) {
  auto* store = openStore(error);
  if (!store) return std::nullopt;
  const APMRecordFilter acceptAll = [](std::size_t, const APMRecord&) { return true; };
  auto rows = store->recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {fingerprintValue(fingerprint), Value(kRawEventsPerRead)}, error, filter ? filter : acceptAll);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<APMRawEventData>> events;
  for (const auto& row : *rows) {
    if (auto raw = rawEventDataFromDictionary(row, error)) events.push_back(std::move(raw));
  }
  if (!rows->empty() && events.empty()) return std::nullopt;
  return events;
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint, APMErrorOut error) {
  auto exists = integerForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                                {fingerprintValue(fingerprint)}, error);
  if (!exists) return std::nullopt;
  return *exists != 0;
}

bool APMDatabase::deleteRawEventsWithMaxRowID(std::int64_t rowID, APMErrorOut error) {
  auto* store = openStore(error);
  return store &&
         store->deleteRecordsFromTableWithName(kRawEvents, "rowid <= ?", {Value(static_cast<long long>(rowID))}, error);
}

std::optional<std::int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(APMErrorOut error) {
  auto* store = openStore(error);
  if (!store) return std::nullopt;
  const auto config = APMMeasurement::remoteConfig();
  const std::int64_t limit = config ? config->maxEventsStored() : 0;
  return store->deleteRecordsFromTableWithName(
      kRawEvents, "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {Value(static_cast<long long>(limit - 1))}, error);
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, APMErrorOut error) {
  if (!APMCheckSuccess(maxAge >= 0, error, 1, "Cannot delete stale raw events given negative time period"))
    return false;
  auto* store = openStore(error);
  if (!store) return false;
  auto deleted = store->deleteRecordsFromTableWithName(
      kRawEvents, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)", {Value(APMDatabaseNow()), Value(maxAge)}, error);
  if (!deleted) return false;
  return *deleted == 0 || deleteUnusedRawEventsMetadata(error);
}

std::optional<std::int64_t> APMDatabase::nextMetadataFingerprintToProcess(APMErrorOut error) {
  auto rows = records("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!rows) return std::nullopt;
  if (!APMCheckSuccess(rows->size() == 1, error, 2, "Only one event metadata should be processed")) return std::nullopt;
  return rows->front().get("metadata_fingerprint").as_int();
}

std::shared_ptr<APMRawEventData> APMDatabase::rawEventDataFromDictionary(const APMRecord& row, APMErrorOut error) {
  if (!APMCheckSuccess(!row.empty(), error, 1, "Received empty dictionary for getting raw event data")) return nullptr;
  const Value& rowID = row.get("rowid");
  if (!APMCheckSuccess(rowID.is_integer(), error, 1, "Unable to find row ID in the database dictionary"))
    return nullptr;
  const auto* data = row.get("data").data();
  if (!APMCheckNotNil(data, error, 1, "Unable to find event data in the database dictionary")) return nullptr;
  const Value& fingerprint = row.get("metadata_fingerprint");
  if (!APMCheckSuccess(fingerprint.is_integer(), error, 1, "Unable to find event metadata in the database dictionary"))
    return nullptr;
  auto proto = wire::RIDUZEvent::initWithBuffer(*data);
  if (!APMCheckNotNil(proto, error, 2, "Failed to parse event from data")) return nullptr;

  std::string origin;
  fd::Dict parameters;
  const auto params = wire::NANOGetArray(proto.get(), kEventParamsField, &wire::RIDUZEventParam::type());
  for (const Value& item : params.value_or(Array{})) {
    const auto param = item.object<wire::RIDUZEventParam>();
    if (!param) continue;
    const std::string name = wire::NANOGetString(param.get(), kParamNameField).value_or("");
    if (name == "_o") {
      const auto text = wire::NANOHasField(param.get(), kParamStringField)
                            ? wire::NANOGetString(param.get(), kParamStringField)
                            : std::nullopt;
      if (!APMCheckNotNil(text, error, 2, "Cannot create an event from database. Origin parameter is not a string"))
        return nullptr;
      origin = *text;
      continue;
    }
    APMValueRef value;
    if (wire::NANOHasField(param.get(), kParamStringField)) {
      value = APMValue::initWithString(Value(wire::NANOGetString(param.get(), kParamStringField).value_or("")));
    } else if (wire::NANOHasField(param.get(), kParamInt64Field)) {
      value = APMValue::initWithInt64(wire::NANOGetInt64(param.get(), kParamInt64Field));
    } else if (wire::NANOHasField(param.get(), kParamDoubleField)) {
      value = APMValue::initWithDouble(wire::NANOGetDouble(param.get(), kParamDoubleField));
    }
    if (!value) {
      databaseRawEventsMonitor().logWithLevel(4, 12015,
                             "Unknown event parameter type from converting an event from database. Event param name",
                             Value(APMPublicParameterNameDescription(Value(name))));
      continue;
    }
    parameters.set(name, APMValueObject(value));
  }
  if (!APMCheckSuccess(!origin.empty(), error, 2, "Cannot create an event from database. Missing origin parameter"))
    return nullptr;
  const auto* name = row.get("name").string();
  const double previous = static_cast<double>(wire::NANOGetInt64(proto.get(), kEventPreviousTimestampField)) / 1000.0;
  auto event = APMEvent::initWithOrigin(origin, false, name ? *name : std::string(),
                                        row.get("timestamp").as_double().value_or(0), previous, parameters);
  auto raw = event ? APMRawEventData::initWithRawEvent(event, *rowID.as_int(), *fingerprint.as_int()) : nullptr;
  if (!APMCheckNotNil(raw, error, 2, "Failed to initialize raw event data from dictionary")) return nullptr;
  return raw;
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(APMErrorOut error) {
  auto exists = integerForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {}, error);
  if (!exists) return std::nullopt;
  return *exists != 0;
}

}  // namespace analytics
