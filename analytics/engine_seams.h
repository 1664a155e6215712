#pragma once
// The engine's seams: what the measurement engine and the analytics entry ask
// of the parts built later (upload, sessions and screens, campaigns,
// conditional properties, lifetime value, purchases, search ads). Each is an
// interface with one process-wide install point; nothing installed turns the
// feature off as each comment says. The filling part installs its
// implementation from analytics::register_runtime_classes().
//
// Threads: installing and reading the slots is safe from any thread. The
// calls come from the queues the comments name (worker: the engine's worker
// queue "com.dozada.fira.worker"; serial: "APMAnalyticsQueue").
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/model/event.h"
#include "analytics/model/records.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace platform::dispatch {
class Queue;
}
namespace platform::store {
class PaymentQueue;
struct Transaction;
}  // namespace platform::store
namespace platform::ui {
class UserActivity;
}

namespace analytics {

class APMDatabase;
class APMMeasurement;
class APMPersistedConfig;

// Upload. None installed: updateSchedule runs its closing step and arms
// nothing; no app-state observers, no launch link, no network log bridge.
class APMUploadSeam {
 public:
  virtual ~APMUploadSeam() = default;
  // Worker.
  virtual bool hasDataToUpload(APMMeasurement& engine) = 0;
  // Seconds since 1970; 0 for none. Worker.
  virtual double nextUploadingTime(APMMeasurement& engine) = 0;
  // The upload pass, run when the alarm fires. Worker.
  virtual void uploadData(APMMeasurement& engine) = 0;
  // Background task. Any thread.
  virtual void swapBackgroundTaskWithNewTaskID(APMMeasurement& engine, std::uint64_t taskID) = 0;
  virtual void terminateBackgroundTask(APMMeasurement& engine) = 0;
  // Component start: observe the application-state notifications. Worker.
  virtual void observeApplicationState(APMMeasurement& engine) = 0;
  // The platform's did-finish-launching notification (main thread).
  virtual void handleAppDidFinishLaunching(const platform::foundation::Dict& userInfo) = 0;
  // The network client's log messages, which the engine receives as its logger delegate.
  virtual void logNetworkMessage(std::int64_t level, std::int64_t code, const std::optional<std::string>& message,
                                 const std::vector<platform::foundation::Value>& contexts) = 0;
};

// The session reporter of one engine.
class APMSessionReporting {
 public:
  virtual ~APMSessionReporting() = default;
  // Worker.
  virtual bool isSessionExpired() = 0;
  // True when the background activity kept the session.
  virtual bool extendSession() = 0;
  virtual void updatePropertiesForNewSessionStart() = 0;
  virtual APMUserAttributeRef sessionIDPropertyWithTimestamp(double timestamp) = 0;
  virtual APMUserAttributeRef sessionNumberProperty() = 0;
  virtual void setReportingEnabled(bool enabled) = 0;
  virtual void setMinimumSessionInterval(double seconds) = 0;
  virtual void setTimeoutSessionInterval(double seconds) = 0;
  // The app became active (main thread). Told by the screen reporter, and by
  // the component start when the reporter is made while the app is active.
  virtual void handleAppDidBecomeActive() {}
};

// Sessions. None installed: no reporter (never expired, no "_s", setters ignored).
class APMSessionsSeam {
 public:
  virtual ~APMSessionsSeam() = default;
  // Made at component start and by the wipe. Worker.
  virtual std::shared_ptr<APMSessionReporting> makeSessionReporter(APMPersistedConfig* persistedConfig) = 0;
  // The "_s" event; the session number only when session numbers are enabled.
  virtual APMEventRef createSessionStartEvent(std::optional<std::int64_t> sessionNumber, double timestamp) = 0;
};

// Screens. None installed: empty parameters; naming ignored.
class APMScreensSeam {
 public:
  virtual ~APMScreensSeam() = default;
  // The current screen's "_sn", "_sc", "_si". Any thread.
  virtual platform::foundation::Dict screenParameters() = 0;
  // Main thread.
  virtual void setScreenName(const std::optional<std::string>& screenName,
                             const std::optional<std::string>& screenClass) = 0;
};

// Campaigns. None installed: URLs and activities ignored (the open-URL
// listener is still told); a stored launch link stays.
class APMCampaignsSeam {
 public:
  virtual ~APMCampaignsSeam() = default;
  // Serial.
  virtual void handleNonFirstOpenEventURL(APMMeasurement& engine, const platform::foundation::Url& url,
                                          double eventTimestampInSeconds) = 0;
  virtual std::optional<platform::foundation::Url> deepLinkFromUserActivity(
      const std::shared_ptr<platform::ui::UserActivity>& activity) = 0;
  // Worker; nullopt for no click time.
  virtual void reportStoredCampaignEventOnWorkerQueue(APMMeasurement& engine, std::optional<double> clickTime) = 0;
};

// Conditional user properties. None installed: an empty list.
class APMConditionalPropertiesSeam {
 public:
  virtual ~APMConditionalPropertiesSeam() = default;
  // Worker; nullopt for the failure the intake logs as 23050.
  virtual std::optional<std::vector<APMEventRef>> processEventOnWorkerQueue(APMMeasurement& engine,
                                                                            const APMEventRef& event) = 0;
};

// Lifetime value. None installed: every event passes.
class APMLifetimeValueSeam {
 public:
  virtual ~APMLifetimeValueSeam() = default;
  virtual bool isPurchaseEvent(const APMEvent& event) = 0;
  // Worker, inside the intake's first transaction.
  virtual bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event) = 0;
};

// Purchases. None installed: transactions dropped, as when analytics is disabled.
class APMPurchasesSeam {
 public:
  virtual ~APMPurchasesSeam() = default;
  using Transactions = std::vector<std::shared_ptr<platform::store::Transaction>>;
  // Serial; the callback gets the transactions to report.
  virtual void filterPurchaseTransactions(APMMeasurement& engine, const Transactions& transactions,
                                          std::function<void(Transactions)> callback) = 0;
  virtual void paymentQueueUpdatedFilteredTransactions(platform::store::PaymentQueue& queue,
                                                       const Transactions& transactions) = 0;
};

// The search-ad reporter of one engine.
class APMSearchAdReporting {
 public:
  virtual ~APMSearchAdReporting() = default;
  virtual void setSearchAdReporterEnabled(bool enabled) = 0;
  virtual void start() = 0;
};

// Search ads. None installed: no reporter is made at component start.
class APMSearchAdsSeam {
 public:
  virtual ~APMSearchAdsSeam() = default;
  // Worker.
  virtual std::shared_ptr<APMSearchAdReporting> makeSearchAdReporter(const platform::dispatch::Queue& workerQueue,
                                                                     APMPersistedConfig* persistedConfig) = 0;
};

// Install points: one slot per seam; nullptr empties it.
void APMInstallUploadSeam(std::shared_ptr<APMUploadSeam> seam);
std::shared_ptr<APMUploadSeam> APMUploadSeamInstalled();
void APMInstallSessionsSeam(std::shared_ptr<APMSessionsSeam> seam);
std::shared_ptr<APMSessionsSeam> APMSessionsSeamInstalled();
void APMInstallScreensSeam(std::shared_ptr<APMScreensSeam> seam);
std::shared_ptr<APMScreensSeam> APMScreensSeamInstalled();
void APMInstallCampaignsSeam(std::shared_ptr<APMCampaignsSeam> seam);
std::shared_ptr<APMCampaignsSeam> APMCampaignsSeamInstalled();
void APMInstallConditionalPropertiesSeam(std::shared_ptr<APMConditionalPropertiesSeam> seam);
std::shared_ptr<APMConditionalPropertiesSeam> APMConditionalPropertiesSeamInstalled();
void APMInstallLifetimeValueSeam(std::shared_ptr<APMLifetimeValueSeam> seam);
std::shared_ptr<APMLifetimeValueSeam> APMLifetimeValueSeamInstalled();
void APMInstallPurchasesSeam(std::shared_ptr<APMPurchasesSeam> seam);
std::shared_ptr<APMPurchasesSeam> APMPurchasesSeamInstalled();
void APMInstallSearchAdsSeam(std::shared_ptr<APMSearchAdsSeam> seam);
std::shared_ptr<APMSearchAdsSeam> APMSearchAdsSeamInstalled();

// The interceptor is the runtime class of this name, found by name; absent: no proxy.
inline constexpr std::string_view kAPMAppDelegateInterceptorClassName = "APMAppDelegateInterceptor";

}  // namespace analytics
