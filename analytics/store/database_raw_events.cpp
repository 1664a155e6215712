// APMDatabase: raw events and the metadata rows they share by fingerprint.
#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/measurement_fields.h"
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

namespace mf = measurement_fields;

constexpr std::string_view kRawEvents = "raw_events";
constexpr std::string_view kMetadata = "raw_events_metadata";
constexpr std::int64_t kMetadataLimit = 100000;
constexpr long long kRawEventsPerRead = 1000;

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
  wire::NANOSetString(proto.get(), mf::kEventName, std::nullopt);
  auto data = proto->protoBuffer();
  if (!data) return std::nullopt;
  return APMRecord{{"name", Value(event->name())},
                   {"timestamp", Value(event->timestamp())},
                   {"metadata_fingerprint", fingerprintValue(raw.metadataFingerprint())},
                   {"data", Value(std::move(*data))},
                   {"is_realtime", Value(isRealtime ? 1 : 0)}};
}

// The stored event message read straight from its bytes: the parameters in
// order and the previous time. A string keeps its first occurrence, as the
// message classes do.
struct RawEventsParam {
  std::string name;
  std::optional<std::string> text;
  std::optional<std::int64_t> integer;
  std::optional<double> real;
};

struct RawEventsMessage {
  std::vector<RawEventsParam> params;
  std::int64_t previousMillis = 0;
};

bool rawEventsReadText(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto* text = static_cast<std::optional<std::string>*>(*arg);
  const std::size_t length = stream->bytes_left;
  if (length > wire::kMaxFieldBytes) return false;
  if (*text) return pb_read(stream, nullptr, length);
  text->emplace(length, '\0');
  return pb_read(stream, reinterpret_cast<pb_byte_t*>((*text)->data()), length);
}

bool rawEventsReadParam(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto& params = *static_cast<std::vector<RawEventsParam>*>(*arg);
  std::optional<std::string> name;
  RawEventsParam param;
  wire_measurement_EventParam fields = wire_measurement_EventParam_init_zero;
  fields.name.funcs.decode = rawEventsReadText;
  fields.name.arg = &name;
  fields.string_value.funcs.decode = rawEventsReadText;
  fields.string_value.arg = &param.text;
  if (!pb_decode(stream, wire_measurement_EventParam_fields, &fields)) return false;
  param.name = name.value_or("");
  if (fields.has_int_value) param.integer = fields.int_value;
  if (fields.has_double_value) param.real = fields.double_value;
  params.push_back(std::move(param));
  return true;
}

std::optional<RawEventsMessage> rawEventsDecode(const fd::Bytes& data) {
  RawEventsMessage message;
  wire_measurement_Event fields = wire_measurement_Event_init_zero;
  fields.params.funcs.decode = rawEventsReadParam;
  fields.params.arg = &message.params;
  pb_istream_t stream = pb_istream_from_buffer(data.data(), data.size());
  if (!pb_decode(&stream, wire_measurement_Event_fields, &fields)) return std::nullopt;
  if (fields.has_previous_timestamp_millis) message.previousMillis = fields.previous_timestamp_millis;
  return message;
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
  const auto message = rawEventsDecode(*data);
  if (!APMCheckNotNil(message ? &*message : nullptr, error, 2, "Failed to parse event from data")) return nullptr;

  std::string origin;
  fd::Dict parameters;
  for (const RawEventsParam& param : message->params) {
    if (param.name == "_o") {
      if (!APMCheckNotNil(param.text ? &*param.text : nullptr, error, 2,
                          "Cannot create an event from database. Origin parameter is not a string"))
        return nullptr;
      origin = *param.text;
      continue;
    }
    APMValueRef value;
    if (param.text) {
      value = APMValue::initWithString(Value(*param.text));
    } else if (param.integer) {
      value = APMValue::initWithInt64(*param.integer);
    } else if (param.real) {
      value = APMValue::initWithDouble(*param.real);
    }
    if (!value) {
      databaseRawEventsMonitor().logWithLevel(4, 12015,
                             "Unknown event parameter type from converting an event from database. Event param name",
                             Value(APMPublicParameterNameDescription(Value(param.name))));
      continue;
    }
    parameters.set(param.name, APMValueObject(value));
  }
  if (!APMCheckSuccess(!origin.empty(), error, 2, "Cannot create an event from database. Missing origin parameter"))
    return nullptr;
  const auto* name = row.get("name").string();
  const double previous = static_cast<double>(message->previousMillis) / 1000.0;
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
