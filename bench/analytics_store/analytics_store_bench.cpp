// Raw-event intake: 10,000 events (five parameters of all three kinds, one
// fingerprint) stored by the analytics database in one transaction, against
// sqlite3 on an identical fresh file: BEGIN, one prepared INSERT of the same
// five columns, per event the same message serialized, bind/step/reset,
// COMMIT. Each iteration starts from a fresh file, made outside the timing.
#include <sqlite3.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "analytics/store/database.h"
#include "analytics/support/files.h"
#include "platform/testing/temp_device.h"
#include "wire/measurement/measurement.h"

namespace {

namespace fd = platform::foundation;

constexpr int kEvents = 10000;
constexpr std::int64_t kFingerprint = 0x1234567890;
constexpr std::int32_t kEventNameField = 1;

// Lives for the process, like the platform it boots. Answered, so the pointer
// stays a reachable root for the leak checker.
platform::testing::TempDevice& bootDevice() {
  static platform::testing::TempDevice* device = [] {
    auto* made = new platform::testing::TempDevice("analytics-store-bench");
    if (!made->boot()) std::abort();
    return made;
  }();
  return *device;
}

const std::vector<analytics::APMEventRef>& events() {
  static const std::vector<analytics::APMEventRef> made = [] {
    std::vector<analytics::APMEventRef> list;
    for (int i = 0; i < kEvents; ++i) {
      list.push_back(analytics::APMEvent::initWithOrigin(
          "app", false, "select_item", 1600000000.0 + i, 0,
          fd::Dict{{"item", fd::Value("sku-" + std::to_string(i))},
                   {"count", fd::Value(i)},
                   {"price", fd::Value(i * 0.25)},
                   {"list", fd::Value("home")},
                   {"rank", fd::Value(i % 7)}}));
      if (!list.back()) std::abort();
    }
    return list;
  }();
  return made;
}

std::string freshPath(const std::string& name) {
  const std::string path = analytics::APMApplicationSupportPath(name);
  for (const char* suffix : {"", "-journal"}) std::filesystem::remove(path + suffix);
  return path;
}

void intake_ours(benchmark::State& state) {
  bootDevice();
  const auto& list = events();
  for (auto _ : state) {
    state.PauseTiming();
    freshPath("bench-ours.sql");
    auto database = analytics::APMDatabase::initWithDatabaseName("bench-ours.sql", nullptr);
    if (!database) std::abort();
    state.ResumeTiming();
    const bool stored = database->performTransaction([&] {
      for (const auto& event : list) {
        if (!database->insertRawEvent(event.get(), kFingerprint, false, nullptr)) return false;
      }
      return true;
    });
    if (!stored) std::abort();
    state.PauseTiming();
    database.reset();
    state.ResumeTiming();
  }
}

void intake_raw(benchmark::State& state) {
  bootDevice();
  const auto& list = events();
  for (auto _ : state) {
    state.PauseTiming();
    // The same file as ours makes: the whole schema, created by the database.
    const auto path = freshPath("bench-raw.sql");
    analytics::APMDatabase::initWithDatabaseName("bench-raw.sql", nullptr).reset();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) std::abort();
    state.ResumeTiming();
    sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, "
                       "?, ?, ?, ?)",
                       -1, &insert, nullptr);
    for (const auto& event : list) {
      auto proto = event->protoEvent();
      wire::NANOSetString(proto.get(), kEventNameField, std::nullopt);
      const auto data = proto->protoBuffer();
      sqlite3_bind_text(insert, 1, event->name().data(), static_cast<int>(event->name().size()), SQLITE_TRANSIENT);
      sqlite3_bind_double(insert, 2, event->timestamp());
      sqlite3_bind_int64(insert, 3, kFingerprint);
      sqlite3_bind_blob(insert, 4, data->data(), static_cast<int>(data->size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 5, 0);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    state.PauseTiming();
    sqlite3_close(db);
    state.ResumeTiming();
  }
}

}  // namespace

BENCHMARK(intake_ours)->Name("store_intake/ours")->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(intake_raw)->Name("store_intake/raw")->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
