// Child process of the store crash tests. Boots the platform on the given
// device and bundle folders, opens the analytics database and then:
//   loop <K>  stores, per step n, in one transaction K raw events tagged n,
//             one queue bundle tagged n and bundle index n in app_metadata,
//             and prints "n" after the commit; runs until killed.
//   open      opens (and so migrates) the database, prints "opened", exits.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "analytics/store/database.h"
#include "platform/os/system.h"
#include "wire/measurement/measurement.h"

namespace {

namespace fd = platform::foundation;

constexpr std::int32_t kBundleEndField = 5;
constexpr std::int32_t kBundleAppIDField = 14;

int loop(analytics::APMDatabase& database, int perStep) {
  auto metadata = database.queryAppMetadata(nullptr);
  if (!metadata) return 3;
  for (std::int32_t n = metadata->lastBundleIndex() + 1;; ++n) {
    const bool stored = database.performTransaction([&] {
      const double now = fd::Date::now().since_1970;
      for (int i = 0; i < perStep; ++i) {
        auto event = analytics::APMEvent::initWithOrigin("app", false, "step", now, 0,
                                                         fd::Dict{{"n", fd::Value(n)}, {"i", fd::Value(i)}});
        if (!event || !database.insertRawEvent(event.get(), n, false, nullptr)) return false;
      }
      auto bundle = wire::RIDUZMeasurementBundle::make();
      wire::NANOSetString(bundle.get(), kBundleAppIDField, "step-" + std::to_string(n));
      wire::NANOSetInt64(bundle.get(), kBundleEndField, static_cast<std::int64_t>(now * 1000));
      if (!database.insertBundle(*bundle, false, nullptr)) return false;
      auto index = analytics::APMAppMetadata::initWithLastBundleIndex(n, now, now);
      return index && database.updateAppMetadata(*index, nullptr);
    });
    if (!stored) return 4;
    std::printf("%d\n", n);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <device> <bundle> loop <K> | open\n", argv[0]);
    return 2;
  }
  if (!platform::os::boot(argv[1], argv[2])) return 2;
  auto database = analytics::APMDatabase::initWithDatabaseName(analytics::APMDatabase::kDatabaseName, nullptr);
  if (!database) return 3;
  const std::string mode = argv[3];
  if (mode == "open") {
    std::printf("opened\n");
    std::fflush(stdout);
    return 0;
  }
  if (mode == "loop" && argc > 4) return loop(*database, std::atoi(argv[4]));
  return 2;
}
