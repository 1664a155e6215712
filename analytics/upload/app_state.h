#pragma once
// The engine's application life cycle: the background task of an upload on
// resign, its end on return, the configuration refresh on activation, the
// launch link, and the bridge from the network client's log to the monitor.
// APMUploadRoad fills the engine's upload seam with these and the upload road.
//
// Threads: the notification handlers run on the main thread and only touch
// the persisted configuration, the task identifier (atomic) and the
// scheduler; the seam's worker calls run on "com.dozada.fira.worker".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/engine_seams.h"

namespace analytics {

inline constexpr std::string_view kAPMBackgroundTaskName = "APMAnalyticsMeasurementBackgroundTask";
inline constexpr std::string_view kAPMDeepLinkKey = "/dozada/measurement/deep_link";
inline constexpr std::string_view kAPMDeepLinkTimestampKey = "/dozada/measurement/deep_link_timestamp_seconds";
// A configuration older than this is refreshed when the app becomes active.
inline constexpr double kAPMRemoteConfigStaleInterval = 604800;

// Flushes the persisted configuration and ends the engine's background task. Any thread.
void APMTerminateBackgroundTask(APMMeasurement& engine);
// Stores `taskID` and ends the task it replaces (23142). Any thread.
void APMSwapBackgroundTaskWithNewTaskID(APMMeasurement& engine, std::uint64_t taskID);
// Main thread.
void APMHandleAppWillResignActive(APMMeasurement& engine);
void APMHandleAppWillEnterForeground(APMMeasurement& engine);
void APMHandleAppDidBecomeActive(APMMeasurement& engine);
// The did-finish-launching notification's launch options.
void APMHandleAppDidFinishLaunching(const platform::foundation::Dict& launchOptions);
// The monitor level of a network client level.
std::int64_t APMMonitorLevelForNetworkLevel(std::int64_t networkLevel);

class APMUploadRoad final : public APMUploadSeam {
 public:
  bool hasDataToUpload(APMMeasurement& engine) override;
  double nextUploadingTime(APMMeasurement& engine) override;
  void uploadData(APMMeasurement& engine) override;
  void swapBackgroundTaskWithNewTaskID(APMMeasurement& engine, std::uint64_t taskID) override;
  void terminateBackgroundTask(APMMeasurement& engine) override;
  void observeApplicationState(APMMeasurement& engine) override;
  void handleAppDidFinishLaunching(const platform::foundation::Dict& userInfo) override;
  void logNetworkMessage(std::int64_t level, std::int64_t code, const std::optional<std::string>& message,
                         const std::vector<platform::foundation::Value>& contexts) override;
};

}  // namespace analytics
