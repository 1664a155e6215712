#pragma once
// APMAnalytics, the internal entry of the analytics engine: the start (once
// per process), the three queues that put every call into one order, the
// event road from a "log event" call to the engine, user properties and the
// user ID, the log-event interceptor and listeners, open-URL and
// user-activity handling, the analytics-configuration notifications and the
// payment-queue observer.
//
// Threads: every entry point may be called from any thread. Time-stamping
// runs on "APMAnalyticsTimestampQueue"; queued work waits on the operation
// queue "APMAnalyticsOperationQueue" (one at a time, suspended until the
// start) and then runs on the serial queue "APMAnalyticsQueue", where the
// interceptor, the listeners, the open-URL listener and the enabled flag are
// read and changed. setScreenName belongs on the main thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/model/event.h"
#include "analytics/selectors.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/store/store.h"

namespace core {
class DAVIdovivoveConfiguration;
}
namespace platform::foundation {
struct Notification;
}
namespace platform::ui {
class UserActivity;
}

namespace analytics {

// A listener's token: holds nothing of the listener, only its identity.
class APMLogEventListenerToken {
 public:
  explicit APMLogEventListenerToken(std::uint64_t id) : id_(id) {}
  std::uint64_t id() const { return id_; }

 private:
  std::uint64_t id_;
};

class APMAnalytics : public platform::store::TransactionObserver {
 public:
  static constexpr std::string_view kOperationQueueName = "APMAnalyticsOperationQueue";
  static constexpr std::string_view kSerialQueueLabel = "APMAnalyticsQueue";
  static constexpr std::string_view kTimestampQueueLabel = "APMAnalyticsTimestampQueue";
  static constexpr std::string_view kWillStartNotification = "kDAVIdovivoveWillStartNotification";

  using Interceptor = std::function<void(const std::string& origin, const std::string& name,
                                         const platform::foundation::Dict& parameters, double timestamp)>;
  using OpenURLListener = std::function<void(const platform::foundation::Url& url)>;
  using UserPropertiesCallback = std::function<void(platform::foundation::Dict)>;
  using MaxUserPropertiesCallback = std::function<void(std::int64_t)>;
  using Transactions = std::vector<std::shared_ptr<platform::store::Transaction>>;

  // ---- start and queues ----
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const platform::foundation::Dict& options);
  // Load time: records the load timestamp.
  static void load();
  static std::shared_ptr<APMAnalytics> sharedInstance();
  static void dispatchAsyncOnSerialQueue(std::function<void()> block);
  static void queueOperationWithBlock(std::function<void()> block);
  static void unsuspendOperationQueue();
  static bool isCurrentQueueSerialQueue();
  static double loadTimestamp();
  static void resetAnalyticsData();
  static void setAnalyticsEnabled(bool enabled);
  // The mirror of the engine's enabled state (read on the serial queue).
  static bool isAnalyticsEnabled();
  static void observeNotificationsForAnalyticsConfiguration(
      const std::shared_ptr<core::DAVIdovivoveConfiguration>& configuration);
  static void handleSetEnabled(const platform::foundation::Notification& notification);
  static void handleSetMinimumSessionInterval(const platform::foundation::Notification& notification);
  static void handleSetSessionTimeoutInterval(const platform::foundation::Notification& notification);
  static void maybeEnableDuzOvevuzo();

  // ---- events ----
  static void logEventWithName(const std::string& name, const platform::foundation::Dict& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::foundation::Dict& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::foundation::Dict& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const platform::foundation::Dict& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const platform::foundation::Dict& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                    const platform::foundation::Dict& parameters, double timestamp,
                                    bool ignoreEnabled, bool ignoreInterceptor,
                                    const platform::foundation::Dict& addedScreenParameters);
  static std::optional<std::vector<APMEventRef>> eventsToLogWithEventID(std::int64_t eventID,
                                                                        const std::string& origin, bool isPublic,
                                                                        const std::string& name, double timestamp,
                                                                        const platform::foundation::Dict& parameters);
  static void logEventsOnWorkerQueue(const std::vector<APMEventRef>& events, bool notifyEventListeners);
  // The instance road: a textual "_aeid" of origin "am" becomes an int64.
  void logInternalEventWithOriginInstance(const std::string& origin, const std::string& name,
                                          const platform::foundation::Dict& parameters);

  // ---- interceptor and listeners ----
  static void setLogEventInterceptor(Interceptor interceptor);
  static APMLogEventListenerTokenRef addLogEventListener(APMLogEventListener listener);
  static void removeLogEventListener(const APMLogEventListenerTokenRef& token);
  static void notifyEventListeners(const APMEventRef& event);
  static void notifyEventListenersOnSerialQueue(const APMEventRef& event);

  // ---- user properties ----
  // Values are checked for their type: a null value removes.
  static void setUserPropertyString(const platform::foundation::Value& value, const std::string& name);
  static void setUserID(const platform::foundation::Value& userID);
  static void removeUserAttributeForName(const std::string& name);
  static void setUserAttributeNumber(const platform::foundation::Value& number, const std::string& name);
  static void setInternalUserProperty(const platform::foundation::Value& value, const std::string& name);
  void setInternalUserProperty(const platform::foundation::Value& value, const std::string& name,
                               const std::string& origin);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void userPropertiesIncludingInternal(bool includeInternal, std::optional<platform::dispatch::Queue> queue,
                                              UserPropertiesCallback callback);
  void maxUserPropertiesForOrigin(const std::string& origin, std::optional<platform::dispatch::Queue> queue,
                                  MaxUserPropertiesCallback callback);

  // ---- screens, identity, URLs, purchases ----
  static void setScreenName(const std::optional<std::string>& screenName,
                            const std::optional<std::string>& screenClass);
  static std::optional<std::string> appInstanceID();
  static void handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion);
  static void createAppDelegateProxy();
  static void handleOpenURL(const platform::foundation::Url& url);
  static void handleUserActivity(const std::shared_ptr<platform::ui::UserActivity>& activity);
  static void setOpenURLListener(OpenURLListener listener);
  static void paymentQueueUpdatedTransactions(platform::store::PaymentQueue& queue, const Transactions& transactions);
  // TransactionObserver.
  void updated_transactions(platform::store::PaymentQueue& queue, const Transactions& transactions) override;
};

}  // namespace analytics

// The analytics configuration travels in the start options as an object value.
template <>
struct platform::foundation::ObjectTraits<core::DAVIdovivoveConfiguration> {
  static constexpr std::string_view class_name = "DAVIdovivoveConfiguration";
};
