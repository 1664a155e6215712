// Bundling: 10,000 raw events with five parameters each, stored as the intake
// stores them (one metadata fingerprint, no audiences, the batch size limit at
// 1 MiB). Ours: bundleRawEvents on a started engine until it answers false,
// then the batch built from the queue rows and serialized. Raw: one prepared
// sqlite3 SELECT of the same rows, each event blob decoded with pb_decode and
// re-encoded with pb_encode into the same groups after the same metadata,
// each bundle gzip-deflated with zlib as the queue keeps them, then the batch
// encoded. Every iteration starts from the same stored rows, restored outside
// the timing.
#include <sqlite3.h>
#include <zlib.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/event.h"
#include "analytics/store/database.h"
#include "analytics/support/digest.h"
#include "analytics/support/files.h"
#include "analytics/upload/bundling.h"
#include "analytics/upload/upload.h"
#include "platform/testing/temp_device.h"
#include "wire/measurement/measurement.h"

namespace {

namespace fd = platform::foundation;

constexpr int kEvents = 10000;
constexpr std::int64_t kMaxBatchBytes = 1048576;
constexpr std::int64_t kMaxEventsPerBundle = 1000;
constexpr double kHourStart = 1599991200.0;  // all events within one clock hour
constexpr double kBundleBenchUploadTime = kHourStart + 7200;
constexpr const char* kAppID = "1:123456789000:ios:0123456789abcdef";
constexpr const char* kTemplateName = "bench-bundle-template.sql";
constexpr const char* kRawName = "bench-bundle-raw.sql";

// Lives for the process, like the platform it boots; answered, so the
// pointers stay reachable roots for the leak checker.
platform::testing::TempDevice& bundleBenchDevice() {
  static platform::testing::TempDevice* device = [] {
    auto* made = new platform::testing::TempDevice("analytics-bundle-bench");
    if (!made->boot()) std::abort();
    return made;
  }();
  return *device;
}

std::shared_ptr<analytics::APMMeasurement>& bundleBenchEngine() {
  static auto* engine = new std::shared_ptr<analytics::APMMeasurement>();
  return *engine;
}

template <class F>
void onWorker(analytics::APMMeasurement& engine, F&& block) {
  engine.scheduler()->dispatchSyncOnWorkerQueueBlockID("BundleBench:1", std::forward<F>(block));
}

// The started engine with the configuration, and the template file of the
// stored rows; made once.
analytics::APMMeasurement& benchEngine() {
  auto& engine = bundleBenchEngine();
  if (engine) return *engine;
  bundleBenchDevice();
  engine = analytics::APMMeasurement::initWithAppID(kAppID, true, false, std::nullopt);
  if (!engine) std::abort();
  bool ready = false;
  onWorker(*engine, [&] {
    if (!engine->startMeasurementOnWorkerQueue()) return;
    auto config = wire::RIDUZMeasurementConfig::make();
    wire::NANOSetString(config.get(), 1, kAppID);
    auto setting = wire::RIDUZSetting::make();
    wire::NANOSetString(setting.get(), 0, "measurement.upload.max_batch_size");
    wire::NANOSetString(setting.get(), 1, std::to_string(kMaxBatchBytes));
    wire::NANOSetArray(config.get(), 3, fd::Array{fd::Value::object(setting)});
    if (!engine->instanceRemoteConfig()->updateMeasurementConfig(config)) return;

    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
      std::filesystem::remove(analytics::APMApplicationSupportPath(kTemplateName) + suffix);
    }
    auto templ = analytics::APMDatabase::initWithDatabaseName(kTemplateName, nullptr);
    if (!templ) return;
    const auto metadata = engine->createRawEventMetadataWithUserAttributes({});
    if (!metadata || !templ->insertIfNotExistsRawEventMetadata(*metadata, nullptr)) return;
    const auto bytes = metadata->protoBuffer().value_or(fd::Bytes());
    const auto fingerprint = analytics::apm_64LSBMD5(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
    ready = templ->performTransaction([&] {
      for (int i = 0; i < kEvents; ++i) {
        auto event = analytics::APMEvent::initWithOrigin(
            "app", false, "select_item", kHourStart + i * 0.3, 0,
            fd::Dict{{"item", fd::Value("sku-" + std::to_string(i))},
                     {"count", fd::Value(i)},
                     {"price", fd::Value(i * 0.25)},
                     {"list", fd::Value("home")},
                     {"rank", fd::Value(i % 7)}});
        if (!event || !templ->insertRawEvent(event.get(), fingerprint, false, nullptr)) return false;
      }
      return true;
    });
  });
  if (!ready) std::abort();
  return *engine;
}

void execOrAbort(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

// Puts the template's rows back into the engine's file and empties what a
// run leaves behind, through a connection of its own while the engine idles.
void restoreEngineRows() {
  sqlite3* db = nullptr;
  const std::string path = analytics::APMApplicationSupportPath(analytics::APMDatabase::kDatabaseName);
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) std::abort();
  const std::string attach = "ATTACH DATABASE '" + analytics::APMApplicationSupportPath(kTemplateName) + "' AS t";
  execOrAbort(db, attach.c_str());
  execOrAbort(db,
              "BEGIN; DELETE FROM raw_events; DELETE FROM raw_events_metadata; DELETE FROM queue; DELETE FROM events;"
              "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, is_realtime) "
              "SELECT rowid, name, timestamp, metadata_fingerprint, data, is_realtime FROM t.raw_events;"
              "INSERT INTO raw_events_metadata SELECT * FROM t.raw_events_metadata; COMMIT; DETACH DATABASE t");
  sqlite3_close(db);
}

void bundle_ours(benchmark::State& state) {
  auto& engine = benchEngine();
  std::size_t batchBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    restoreEngineRows();
    state.ResumeTiming();
    onWorker(engine, [&] {
      while (analytics::bundleRawEvents(engine)) {
      }
      const auto config = engine.instanceRemoteConfig();
      const auto rows = engine.database()->queryEncodedBundlesWithCountLimit(config->uploadMaxBundlesLimit(),
                                                                             config->uploadMaxSizeLimitBytes(), nullptr);
      if (!rows || rows->empty()) std::abort();
      // The upload pass's own batch: device filter, upload fields, serialised body.
      const auto batch = analytics::APMBuildUploadBatch(*rows, kBundleBenchUploadTime);
      if (!batch.body) std::abort();
      batchBytes = batch.body->size();
    });
  }
  state.counters["batch_bytes"] = static_cast<double>(batchBytes);
}

// ---- raw: nanopb callbacks over plain vectors ---------------------------------------

struct BundleRawParam {
  std::string name;
  std::optional<std::string> text;
  std::optional<std::int64_t> integer;
  std::optional<double> real;
};

bool bundleRawReadText(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto* text = static_cast<std::string*>(*arg);
  text->resize(stream->bytes_left);
  return pb_read(stream, reinterpret_cast<pb_byte_t*>(text->data()), stream->bytes_left);
}

bool bundleRawReadOptionalText(pb_istream_t* stream, const pb_field_iter_t* field, void** arg) {
  auto* text = static_cast<std::optional<std::string>*>(*arg);
  text->emplace();
  void* inner = &**text;
  return bundleRawReadText(stream, field, &inner);
}

bool bundleRawReadParams(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto& params = *static_cast<std::vector<BundleRawParam>*>(*arg);
  BundleRawParam& p = params.emplace_back();
  wire_measurement_EventParam s = wire_measurement_EventParam_init_zero;
  s.name.funcs.decode = bundleRawReadText;
  s.name.arg = &p.name;
  s.string_value.funcs.decode = bundleRawReadOptionalText;
  s.string_value.arg = &p.text;
  if (!pb_decode(stream, wire_measurement_EventParam_fields, &s)) return false;
  if (s.has_int_value) p.integer = s.int_value;
  if (s.has_double_value) p.real = s.double_value;
  return true;
}

bool bundleRawWriteText(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  const auto* text = static_cast<const std::string*>(*arg);
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text->data()), text->size());
}

bool bundleRawWriteParams(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  for (const BundleRawParam& p : *static_cast<const std::vector<BundleRawParam>*>(*arg)) {
    wire_measurement_EventParam s = wire_measurement_EventParam_init_zero;
    s.name.funcs.encode = bundleRawWriteText;
    s.name.arg = const_cast<std::string*>(&p.name);
    if (p.text) {
      s.string_value.funcs.encode = bundleRawWriteText;
      s.string_value.arg = const_cast<std::string*>(&*p.text);
    }
    s.has_int_value = p.integer.has_value();
    s.int_value = p.integer.value_or(0);
    s.has_double_value = p.real.has_value();
    s.double_value = p.real.value_or(0);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, wire_measurement_EventParam_fields, &s)) {
      return false;
    }
  }
  return true;
}

// Appends a length-delimited field.
void bundleRawAppendField(std::vector<std::uint8_t>& out, std::uint32_t tag, const std::uint8_t* data, std::size_t size) {
  std::uint8_t head[16];
  pb_ostream_t stream = pb_ostream_from_buffer(head, sizeof head);
  pb_encode_varint(&stream, (tag << 3) | PB_WT_STRING);
  pb_encode_varint(&stream, size);
  out.insert(out.end(), head, head + stream.bytes_written);
  out.insert(out.end(), data, data + size);
}

void bundleRawAppendVarint(std::vector<std::uint8_t>& out, std::uint32_t tag, std::uint64_t value) {
  std::uint8_t head[24];
  pb_ostream_t stream = pb_ostream_from_buffer(head, sizeof head);
  pb_encode_varint(&stream, (tag << 3) | PB_WT_VARINT);
  pb_encode_varint(&stream, value);
  out.insert(out.end(), head, head + stream.bytes_written);
}

std::vector<std::uint8_t> bundleRawGzip(const std::vector<std::uint8_t>& input) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::vector<std::uint8_t> out(deflateBound(&z, input.size()));
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct BundleRawGroup {
  std::vector<std::uint8_t> events;  // encoded event fields
  std::int64_t count = 0, bytes = 0, hour = 0, lastRowID = 0;
  double start = 0, end = 0;
};

void bundle_raw(benchmark::State& state) {
  benchEngine();
  const std::string templatePath = analytics::APMApplicationSupportPath(kTemplateName);
  const std::string path = analytics::APMApplicationSupportPath(kRawName);
  std::size_t batchBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::copy_file(templatePath, path, std::filesystem::copy_options::overwrite_existing);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) std::abort();
    state.ResumeTiming();

    sqlite3_stmt* meta = nullptr;
    sqlite3_prepare_v2(db, "SELECT metadata_fingerprint, metadata FROM raw_events_metadata", -1, &meta, nullptr);
    if (sqlite3_step(meta) != SQLITE_ROW) std::abort();
    const std::int64_t fingerprint = sqlite3_column_int64(meta, 0);
    const auto* metaData = static_cast<const std::uint8_t*>(sqlite3_column_blob(meta, 1));
    const std::vector<std::uint8_t> metadata(metaData, metaData + sqlite3_column_bytes(meta, 1));
    sqlite3_finalize(meta);

    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT rowid, name, timestamp, data FROM raw_events WHERE metadata_fingerprint = ? "
                       "ORDER BY rowid ASC",
                       -1, &select, nullptr);
    sqlite3_bind_int64(select, 1, fingerprint);
    std::vector<std::vector<std::uint8_t>> bundles;     // uncompressed, for the batch
    std::vector<std::vector<std::uint8_t>> compressed;  // as the queue keeps them
    std::int32_t index = 0;
    BundleRawGroup group;
    const auto close = [&] {
      if (group.count == 0) return;
      std::vector<std::uint8_t> bundle = metadata;
      bundle.insert(bundle.end(), group.events.begin(), group.events.end());
      bundleRawAppendVarint(bundle, 5, static_cast<std::uint64_t>(analytics::APMMillisecondsFromSeconds(group.start)));
      bundleRawAppendVarint(bundle, 6, static_cast<std::uint64_t>(analytics::APMMillisecondsFromSeconds(group.end)));
      bundleRawAppendVarint(bundle, 23, static_cast<std::uint64_t>(++index));
      compressed.push_back(bundleRawGzip(bundle));
      bundles.push_back(std::move(bundle));
      group = BundleRawGroup{};
    };
    std::vector<std::uint8_t> eventBytes;
    while (sqlite3_step(select) == SQLITE_ROW) {
      const std::int64_t rowID = sqlite3_column_int64(select, 0);
      const std::string name(reinterpret_cast<const char*>(sqlite3_column_text(select, 1)),
                             static_cast<std::size_t>(sqlite3_column_bytes(select, 1)));
      const double timestamp = sqlite3_column_double(select, 2);
      const auto* blob = static_cast<const pb_byte_t*>(sqlite3_column_blob(select, 3));
      const auto blobSize = static_cast<std::size_t>(sqlite3_column_bytes(select, 3));

      std::vector<BundleRawParam> params;
      wire_measurement_Event in = wire_measurement_Event_init_zero;
      in.params.funcs.decode = bundleRawReadParams;
      in.params.arg = &params;
      pb_istream_t input = pb_istream_from_buffer(blob, blobSize);
      if (!pb_decode(&input, wire_measurement_Event_fields, &in)) std::abort();
      wire_measurement_Event out = wire_measurement_Event_init_zero;
      out.params.funcs.encode = bundleRawWriteParams;
      out.params.arg = &params;
      out.name.funcs.encode = bundleRawWriteText;
      out.name.arg = const_cast<std::string*>(&name);
      out.has_timestamp_millis = in.has_timestamp_millis;
      out.timestamp_millis = in.timestamp_millis;
      out.has_previous_timestamp_millis = in.has_previous_timestamp_millis;
      out.previous_timestamp_millis = in.previous_timestamp_millis;
      pb_ostream_t sizing = PB_OSTREAM_SIZING;
      if (!pb_encode(&sizing, wire_measurement_Event_fields, &out)) std::abort();
      eventBytes.resize(sizing.bytes_written);
      pb_ostream_t output = pb_ostream_from_buffer(eventBytes.data(), eventBytes.size());
      if (!pb_encode(&output, wire_measurement_Event_fields, &out)) std::abort();

      const auto hour = static_cast<std::int64_t>(std::floor(timestamp)) / 3600;
      const auto size = static_cast<std::int64_t>(eventBytes.size());
      if (group.count > 0 && (group.count >= kMaxEventsPerBundle || hour != group.hour ||
                              rowID != group.lastRowID + 1 || group.bytes + size >= kMaxBatchBytes)) {
        close();
      }
      if (group.count == 0) {
        group.hour = hour;
        group.start = group.end = timestamp;
      }
      group.start = std::min(group.start, timestamp);
      group.end = std::max(group.end, timestamp);
      group.lastRowID = rowID;
      group.bytes += size;
      ++group.count;
      bundleRawAppendField(group.events, 2, eventBytes.data(), eventBytes.size());
    }
    close();
    sqlite3_finalize(select);

    // The batch: the oldest bundles within the size limit, the first always.
    std::vector<std::uint8_t> batch;
    std::int64_t total = 0;
    for (std::size_t i = 0; i < bundles.size(); ++i) {
      total += static_cast<std::int64_t>(bundles[i].size());
      if (i > 0 && total > kMaxBatchBytes) break;
      bundleRawAppendField(batch, 1, bundles[i].data(), bundles[i].size());
    }
    batchBytes = batch.size();
    benchmark::DoNotOptimize(compressed);
    state.PauseTiming();
    sqlite3_close(db);
    state.ResumeTiming();
  }
  state.counters["batch_bytes"] = static_cast<double>(batchBytes);
}

}  // namespace

BENCHMARK(bundle_ours)->Name("analytics_bundle/ours")->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(bundle_raw)->Name("analytics_bundle/raw")->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
