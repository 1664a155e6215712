// The configuration fetch, its completion and the apply transaction.
#include "analytics/upload/config_fetch.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "analytics/audiences/audience.h"
#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/identity.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/store/database.h"
#include "analytics/support/errors.h"
#include "analytics/upload/upload.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/error.h"
#include "platform/net/http.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics {

namespace fd = platform::foundation;

namespace {

namespace mf = measurement_fields;

constexpr std::string_view kFetchPlatform = "ios";

double fetchNow() { return platform::dispatch::Clock::current().now_since_1970(); }

fd::Value fetchErrorContext(const std::optional<fd::Error>& error) {
  return error ? APMErrorContext(*error) : fd::Value();
}

// Writes the successful fetch time; a failure suspends uploads.
void fetchRenewFreshness(APMMeasurement& engine, std::int64_t failureCode) {
  bool written = false;
  if (const auto& database = engine.database()) {
    written = database->performTransaction([&] {
      std::optional<fd::Error> error;
      if (database->updateRemoteConfigSuccessfulTimestamp(fetchNow(), &error)) return true;
      APMMeasurement::monitor().logWithLevel(
          1, failureCode, "Unable to update the configuration last set timestamp in database. Error",
          fetchErrorContext(error));
      return false;
    });
  }
  engine.setSuspendedUploadTimestamp(written ? 0 : APMUploadUptime());
}

}  // namespace

void APMFetchRemoteConfig(APMMeasurement& engine) {
  auto& monitor = APMMeasurement::monitor();
  const auto config = engine.instanceRemoteConfig();
  std::optional<fd::Url> url;
  if (config && engine.identity()) {
    url = config->remoteConfigURLWithAppInstanceID(engine.identity()->appInstanceID(), kFetchPlatform,
                                                   APMIdentity::durArudirovizoLibraryVersion());
  }
  const auto& network = engine.network();
  if (!url || !network) {
    monitor.logWithLevel(1, 23125, "Unable to get configuration. Invalid server URL.");
    return;
  }
  monitor.logWithLevel(7, 23126, "Fetching configuration from the server");
  platform::net::Headers headers;
  if (APMPersistedConfig* persisted = engine.persistedConfig()) {
    const auto mark = persisted->configServerLastModifiedString();
    if (mark && !mark->empty()) headers.set("If-Modified-Since", *mark);
  }
  engine.setIsNetworkRequestPending(true);
  network->setTimeoutInterval(config->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = engine.weak_from_this();
  network->getURL(*url, headers, engine.scheduler()->workerQueue(), config->isNetworkBackgroundSessionEnabled(),
                  [weak](std::shared_ptr<const platform::net::Response> response, std::optional<fd::Bytes> data,
                         std::optional<fd::Error> error) {
                    auto self = weak.lock();
                    if (!self) return;
                    self->setIsNetworkRequestPending(false);
                    APMNetworkRemoteConfigFetchCompletion(*self, response, data, error);
                  });
}

void APMNetworkRemoteConfigFetchCompletion(APMMeasurement& engine,
                                           const std::shared_ptr<const platform::net::Response>& response,
                                           const std::optional<fd::Bytes>& data,
                                           const std::optional<fd::Error>& error) {
  auto& monitor = APMMeasurement::monitor();
  const int status = response && response->status ? *response->status : 0;
  monitor.logWithLevel(7, 23127, "Fetched configuration. Status code", fd::Value(status));
  APMPersistedConfig* persisted = engine.persistedConfig();

  if (status != 200 && status != 204 && status != 304 && status != 404) {
    monitor.logWithLevel(7, 23128, "Unable to get the configuration from server. Network request failed. Code, Error",
                         fd::Value(status), fetchErrorContext(error));
    if (persisted) {
      const double now = fetchNow();
      persisted->setLastFailedUploadTimestamp(now);
      if (status == 503 || status == 429) persisted->setLastBackoffTimestamp(now);
    }
    monitor.logWithLevel(7, 23129, "Network fetch failed. Will retry later. Code, error", fd::Value(status),
                         fetchErrorContext(error));
    engine.updateSchedule();
    return;
  }

  if (persisted) {
    // Header names ignore case; a success without the header clears the mark.
    persisted->setConfigServerLastModifiedString(response->header_fields.get("Last-Modified"));
    persisted->setLastFailedUploadTimestamp(0);
    persisted->setLastBackoffTimestamp(0);
  }
  if (status == 404 || status == 304) {
    if (status == 404) {
      monitor.logWithLevel(3, 23130, "Configuration not found. Using default configuration");
    } else {
      monitor.logWithLevel(7, 23131, "Configuration has not been modified. Using the same configuration. Code",
                           fd::Value(status));
    }
    fetchRenewFreshness(engine, 23132);
  } else {
    monitor.logWithLevel(7, 23133, "Successful fetched configuration from the server. Got network response. Code, size",
                         fd::Value(status), fd::Value(response->expected_content_length));
    fetchRenewFreshness(engine, 23134);
    const auto config = engine.instanceRemoteConfig();
    if (data && !data->empty() && engine.database() && config && engine.identity()) {
      APMApplyMeasurementConfig(*engine.database(), engine.audience().get(), *config,
                                engine.identity()->appIDFromRUV(), *data);
    }
  }
  APMUploadDataOrRegisterAlarm(engine);
}

bool APMApplyMeasurementConfig(APMDatabase& database, APMAudience* audience, APMRemoteConfig& remoteConfig,
                               const std::optional<std::string>& appIDFromRUV, const fd::Bytes& body) {
  auto& monitor = APMMeasurement::monitor();
  return database.performTransaction([&] {
    // Bytes that do not decode are caught here, before anything reads them.
    auto config = wire::RIDUZMeasurementConfig::initWithBuffer(std::span<const std::uint8_t>(body));
    if (!config || !config->protoBuffer()) {
      monitor.logWithLevel(1, 23135, "Configuration data is invalid.", fd::Value(body));
      return false;
    }
    const auto appID = wire::NANOGetString(config.get(), mf::kConfigAppID);
    if (!appID || !appIDFromRUV || *appID != *appIDFromRUV) {
      monitor.logWithLevel(1, 23136, "Configuration does not have valid Dozada App ID.");
      return false;
    }
    if (audience) {
      std::vector<std::shared_ptr<wire::RIDUZAudience>> audiences;
      if (const auto items = wire::NANOGetArray(config.get(), mf::kConfigAudiences, &wire::RIDUZAudience::type())) {
        for (const auto& item : *items)
          if (auto one = item.object<wire::RIDUZAudience>()) audiences.push_back(std::move(one));
      }
      if (!audience->updateAudiences(audiences)) {
        monitor.logWithLevel(1, 23137, "Failed to update audiences with new server configuration");
        return false;
      }
    }
    wire::NANOClearField(config.get(), mf::kConfigAudiences);
    if (!remoteConfig.updateMeasurementConfig(config)) {
      monitor.logWithLevel(1, 23138, "Failed to update configuration with new server configuration");
      return false;
    }
    return true;
  });
}

}  // namespace analytics
