#pragma once
// Event sampling at bundling time: events of names with a server sampling
// rate are kept about once per rate, the first of each day always, and the
// extra-parameter events ("_ep") of a dropped occurrence go with it. The
// per-name state lives in the event aggregates rows.
//
// Threads: the engine's worker queue, inside the bundling transaction. The
// random source may be replaced from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "analytics/support/errors.h"
#include "wire/measurement/measurement.h"

namespace analytics {

class APMDatabase;
class APMRemoteConfig;

// Uniform in [0, upper); nullptr restores the default (security::random_uniform).
using APMSamplingRandomSource = std::function<std::uint32_t(std::uint32_t upper)>;
void APMSetSamplingRandomSource(APMSamplingRandomSource source);

// Sampling is enabled, the name has a rate and the rate is above 1 (a
// configured rate of 1 or less logs 23154).
bool APMCanEventBeSampled(const APMRemoteConfig& config, std::string_view name);
// True with probability 1/rate.
bool APMIsEventBundledAfterRoll(std::int32_t rate);

// The kept events in input order, with "_sr"/"_efs" added; the aggregates
// rows get the sampling state. nullopt (error set when the store gave one)
// after a failure.
std::optional<std::vector<std::shared_ptr<wire::RIDUZEvent>>> APMSampleEvents(
    APMDatabase& database, const APMRemoteConfig& config, const std::vector<std::shared_ptr<wire::RIDUZEvent>>& events,
    APMErrorOut error);

}  // namespace analytics
