#pragma once
// The upload road of the measurement engine: when the next upload is due,
// the batch built from the upload queue, the POST of one batch to "/a" of the
// collection host and its completion (deletion on success, retry counters,
// failure and back-off timestamps otherwise).
//
// Threads: every function runs on the engine's worker queue
// "com.dozada.fira.worker"; the network completions are delivered there too.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/store/database.h"
#include "platform/foundation/value.h"

namespace platform::foundation {
struct Error;
}
namespace platform::net {
struct Response;
}

namespace analytics {

class APMMeasurement;

// Seconds since 1970 of the next upload; 0 for none.
double APMNextUploadingTime(APMMeasurement& engine);
// The queue or, when it is empty, the raw events hold something. False on a query error.
bool APMHasDataToUpload(APMMeasurement& engine);
// No request of the engine is pending and the network client has no upload in progress.
bool APMIsNetworkReadyForRequest(APMMeasurement& engine);
// The upload pass when connected and there is data, else updateSchedule.
void APMUploadDataOrRegisterAlarm(APMMeasurement& engine);
// The upload pass: bundles, queries the queue, posts one batch.
void APMUploadData(APMMeasurement& engine);

// The longest leading run of `bundles` made for `compatibleAppID` whose device
// identifier of the filter's kind is empty or the filter; empty (23042) when
// both identifiers are given.
std::vector<APMBundlePair> APMFilteredBundlesWithCompatibleAppID(const std::string& compatibleAppID,
                                                                 const std::optional<std::string>& resettableDeviceID,
                                                                 const std::optional<std::string>& vendorDeviceID,
                                                                 const std::vector<APMBundlePair>& bundles);

// One batch ready to post.
struct APMUploadBatch {
  std::vector<std::int64_t> rowIDs;      // the queue rows it carries, in order
  std::int64_t uploadTimeMillis = 0;
  std::optional<platform::foundation::Bytes> body;  // serialised batch; nullopt when it does not encode
};
// The device filter over the queue rows, then the kept bundles stamped with
// the library version and `uploadTime` (seconds since 1970), then the batch.
// Works on the rows' bytes: the bundles are not decoded.
APMUploadBatch APMBuildUploadBatch(const std::vector<APMEncodedBundle>& rows, double uploadTime);

// Records the rows of the upload about to be posted. False (23046) for an
// empty list and (23047) while another upload's rows are recorded.
bool APMSetUploadInProgressWithBundleIDs(APMMeasurement& engine, const std::vector<std::int64_t>& rowIDs);
// The answer to a post: status from `response` (0 without one).
void APMNetworkUploadCompletion(APMMeasurement& engine, const std::shared_ptr<const platform::net::Response>& response,
                                const std::optional<platform::foundation::Error>& error);

// Seconds since device boot, or -1 when the boot time cannot be read.
double APMUploadUptime();

}  // namespace analytics
