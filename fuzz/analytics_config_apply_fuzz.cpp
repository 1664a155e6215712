// A fetched configuration body: bytes as a 200 answer -> decode -> app-ID
// check -> audiences -> settings, in one transaction of a database in a
// scratch folder. A refused body leaves the configuration in force, and every
// setting stays inside its bounds.
#include <cstdint>
#include <cstdlib>

#include "analytics/audiences/audience.h"
#include "analytics/config/remote_config.h"
#include "analytics/store/database.h"
#include "analytics/upload/config_fetch.h"
#include "fuzz/support.h"
#include "platform/dispatch/queue.h"

namespace {

constexpr const char* kConfigApplyAppID = "1:123456789000:ios:0123456789abcdef";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  static const auto database = analytics::APMDatabase::initWithDatabasePath(
      (fuzz::scratch_folder("analytics_config_apply") / "config.sql").string(), nullptr);
  if (!database) std::abort();
  static analytics::APMAudience audience(database);
  static const auto remoteConfig = analytics::APMRemoteConfig::initWithAppID(kConfigApplyAppID, database);
  if (!remoteConfig) std::abort();

  const std::int64_t before = remoteConfig->version();
  const platform::foundation::Bytes body(data, data + size);
  const bool applied = analytics::APMApplyMeasurementConfig(*database, &audience, *remoteConfig,
                                                            std::string(kConfigApplyAppID), body);
  if (!applied) fuzz::check(remoteConfig->version() == before);
  fuzz::check(remoteConfig->uploadingInterval() >= 15 && remoteConfig->uploadingInterval() <= 86400);
  fuzz::check(remoteConfig->uploadMaxSizeLimitBytes() >= 0 && remoteConfig->uploadMaxSizeLimitBytes() <= 10485760);
  fuzz::check(remoteConfig->uploadingRetryCount() >= 1 && remoteConfig->uploadingRetryCount() <= 24);
  std::optional<analytics::APMAudienceLeafResults> results;
  (void)audience.resultsForBundling(&results);
  // Messages go through the monitor: let its queued work end before the process may exit.
  platform::dispatch::wait_until_idle();
  return 0;
}
