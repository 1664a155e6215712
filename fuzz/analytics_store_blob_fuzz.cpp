// Stored blobs of the analytics database read back: any bytes as raw event
// data, as queue data (as stored and gzip-wrapped, so the inflated bytes reach
// the bundle parser), as a conditional property's events, as a complex
// event's main event, as event metadata and as the server configuration.
// One database in a scratch folder; the rows are replaced for every input.
#include <sqlite3.h>

#include <cstdint>
#include <memory>

#include "analytics/store/database.h"
#include "core/gzip.h"
#include "fuzz/support.h"
#include "platform/dispatch/queue.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMRecord;
using fd::Value;

analytics::APMDatabase& database() {
  // Kept for the process: the monitor's queued work may still reach it.
  static const std::shared_ptr<analytics::APMDatabase>* held = [] {
    fuzz::quiet_console();
    const auto path = fuzz::scratch_folder("analytics_store_blob") / "blobs.sql";
    auto opened = analytics::APMDatabase::initWithDatabasePath(path.string(), nullptr);
    if (!opened) std::abort();
    // Durability is not under test here: no syncs, journal in memory.
    sqlite3_exec(opened->sqliteStore()->sqliteHandle(), "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY",
                 nullptr, nullptr, nullptr);
    return new std::shared_ptr<analytics::APMDatabase>(std::move(opened));
  }();
  return **held;
}

void readQueueData(analytics::APMDatabase& db, const fd::Bytes& data) {
  auto* store = db.sqliteStore();
  fuzz::check(store->deleteAllRecordsFromTableWithName("queue", nullptr));
  fuzz::check(store->upsertRecord({{"rowid", Value(1)}, {"data", Value(data)}, {"bundle_end_timestamp", Value(1.0)},
                                   {"retry_count", Value(3)}},
                                  "queue", nullptr));
  const auto pairs = db.queryBundlesWithRowIDs({1}, nullptr);
  fuzz::check(pairs.has_value() && pairs->size() <= 1);
  for (const auto& pair : *pairs) fuzz::check(pair.first && pair.second == 1);
  const auto selected = db.queryBundlesWithCountLimit(10, 1 << 20, nullptr);
  fuzz::check(selected.has_value() && selected->size() == pairs->size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto& db = database();
  auto* store = db.sqliteStore();
  const fd::Bytes data(bytes, bytes + size);

  // Raw event data, straight and through its table.
  const APMRecord row{{"rowid", Value(1)},
                      {"name", Value("e")},
                      {"timestamp", Value(5.0)},
                      {"metadata_fingerprint", Value(9)},
                      {"data", Value(data)}};
  if (auto raw = db.rawEventDataFromDictionary(row, nullptr)) fuzz::check(raw->rawEvent() && raw->rowID() == 1);
  fuzz::check(store->deleteAllRecordsFromTableWithName("raw_events", nullptr));
  fuzz::check(store->upsertRecord(
      {{"name", Value("e")}, {"timestamp", Value(5.0)}, {"metadata_fingerprint", Value(9)}, {"data", Value(data)}},
      "raw_events", nullptr));
  if (auto events = db.rawEventsWithMetadataFingerprint(9, nullptr, nullptr)) fuzz::check(events->size() <= 1);

  // Queue data as stored, then wrapped so the parser sees the bytes.
  readQueueData(db, data);
  if (auto wrapped = core::gul_dataByGzippingData(data)) readQueueData(db, *wrapped);

  // A conditional property's three events.
  fuzz::check(store->upsertRecord({{"name", Value("p")},
                                   {"origin", Value("app")},
                                   {"value", Value(1)},
                                   {"creation_timestamp", Value(1.0)},
                                   {"active", Value(0)},
                                   {"trigger_timeout", Value(1.0)},
                                   {"triggered_timestamp", Value(0.0)},
                                   {"time_to_live", Value(1.0)},
                                   {"triggered_event", Value(data)},
                                   {"timed_out_event", Value(data)},
                                   {"expired_event", Value(data)}},
                                  "conditional_properties", nullptr));
  if (auto property = db.conditionalUserPropertyWithName("p", nullptr)) fuzz::check(property->name() == "p");

  // A complex event's main event.
  fuzz::check(store->upsertRecord(
      {{"event_id", Value(4)}, {"children_to_process", Value(2)}, {"main_event", Value(data)}}, "main_event_params",
      nullptr));
  if (auto pair = db.mainEventAndChildCountPairWithEventID(4, nullptr)) fuzz::check(pair->first && pair->second == 2);

  // Event metadata and the server configuration.
  fuzz::check(store->upsertRecord({{"metadata_fingerprint", Value(9)}, {"metadata", Value(data)}},
                                  "raw_events_metadata", nullptr));
  (void)db.queryRawEventsMetadataWithFingerprint(9, nullptr);
  const Value metadataRow("1");
  fuzz::check(store->updateRecord({{"remote_config_data", Value(data)}}, "app_metadata", "rowid", &metadataRow, nullptr));
  (void)db.queryMeasurementConfigWithError(nullptr);

  platform::dispatch::wait_until_idle();
  return 0;
}
