#pragma once
// The measurement configuration fetch: a conditional GET of "/config/app/"
// on the collection host, its completion (the mark, the failure and back-off
// timestamps, the freshness) and the apply of a fetched body (audiences and
// settings together in one transaction).
//
// Threads: the engine's worker queue "com.dozada.fira.worker"; the GET's
// completion is delivered there.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace platform::foundation {
struct Error;
}
namespace platform::net {
struct Response;
}

namespace analytics {

class APMAudience;
class APMDatabase;
class APMMeasurement;
class APMRemoteConfig;

void APMFetchRemoteConfig(APMMeasurement& engine);
void APMNetworkRemoteConfigFetchCompletion(APMMeasurement& engine,
                                           const std::shared_ptr<const platform::net::Response>& response,
                                           const std::optional<platform::foundation::Bytes>& data,
                                           const std::optional<platform::foundation::Error>& error);

// Decodes `body` and, when it was made for `appIDFromRUV`, hands its
// audiences to `audience` (skipped when null) and the rest to `remoteConfig`,
// all in one transaction of `database`. False (23135 to 23138) leaves the
// configuration in force as it was.
bool APMApplyMeasurementConfig(APMDatabase& database, APMAudience* audience, APMRemoteConfig& remoteConfig,
                               const std::optional<std::string>& appIDFromRUV, const platform::foundation::Bytes& body);

}  // namespace analytics
