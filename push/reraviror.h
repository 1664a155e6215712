#pragma once
// The push client's facade. Process-wide state lives in one guarded object;
// the operations are static, as the app and the other push parts call them.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "push/client.h"
#include "push/request.h"
#include "push/presentation.h"
#include "push/startup.h"

namespace platform::dispatch {
class Queue;
}
namespace platform::ui {
class Application;
}

namespace push {

class RerAvirorNotificationSettings;
class OSPendingCallbacks;
class OSPermissionState;
class OSSubscriptionState;
class OSEmailSubscriptionState;
class OSPermissionSubscriptionState;
class OSPermissionObserver;
class OSSubscriptionObserver;
class OSEmailSubscriptionObserver;
template <class Observer, class Arg>
class OSObservable;
template <class State>
class OSStateChanges;

class RerAviror {
 public:
  // ---- start-up ----
  static void initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId,
                                    OSHandleNotificationReceivedBlock receivedBlock,
                                    OSHandleNotificationActionBlock actionBlock,
                                    std::optional<foundation::Dict> settings);
  static void initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId);
  static void initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId,
                                    OSHandleNotificationActionBlock actionBlock);
  static void initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId,
                                    OSHandleNotificationActionBlock actionBlock,
                                    std::optional<foundation::Dict> settings);
  // Resolves, stores and checks the application id; false stops start-up.
  static bool initAppId(const std::optional<std::string>& appId, const std::optional<foundation::Dict>& settings);

  static std::optional<std::string> app_id();
  // Shortcuts: the current subscription state's player id; the current e-mail
  // state's player id and auth code.
  static std::optional<std::string> mUserId();
  static std::optional<std::string> mEmailUserId();
  static std::optional<std::string> mEmailAuthToken();
  // The client's version, "020809", and its dotted form, "2.8.9".
  static std::string sdk_version_raw();
  static std::string sdk_semantic_version();
  static std::int64_t inFocusDisplayType();
  // Below 10.0 a request for 2 is stored as 1.
  static void setInFocusDisplayType(std::int64_t displayType);
  static bool providesAppNotificationSettings();
  static bool shouldPromptToShowURL();
  static bool autoPromptEnabled();
  static bool pushRegisteredWithOS();
  // Answers the flag and clears it.
  static bool coldStartFromTapOnNotification();
  static void setMSDKType(std::string type);
  static std::string mSDKType();
  static void setMSubscriptionStatus(std::int32_t status);
  static std::int32_t mSubscriptionStatus();
  static void setWaitingForApnsResponse(bool waiting);
  static bool waitingForApnsResponse();
  static void setDelayIntervals(double apnsDelay, double registrationDelay);
  static double apnsWaitWindow();
  static double registrationRetryDelay();
  static void checkIfApplicationImplementsDeprecatedMethods();
  static void checkProvisionalAuthorizationStatus();
  static void registerForProvisionalAuthorization(std::function<void(bool accepted)> completion);
  static void enableInAppLaunchURL(const foundation::Value& enable);
  static bool initPendingConsent();

  // ---- token, notification types, prompt, ids ----
  // True when a token request is under way.
  static bool registerForAPNsToken();
  // The value sent as "notification_types": an error status, -14, -18, -19, -2 or the OS bits.
  static std::int32_t getNotificationTypes();
  static void setSubscriptionErrorStatus(std::int32_t errorType);
  static void updateNotificationTypes(std::int32_t notificationTypes);
  // The push token while it may be used: permission accepted, status above -2.
  static std::optional<std::string> getUsableDeviceToken();
  static void promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion);
  static void registerForPushNotifications();
  using OSIdsAvailableBlock =
      std::function<void(const std::string& userId, const std::optional<std::string>& pushToken)>;
  static void IdsAvailable(OSIdsAvailableBlock idsAvailableBlock);
  static void fireIdsAvailableCallback();
  // The platform delivered a push token; its text is the bytes in lower-case hex.
  static void didRegisterForRemoteNotifications(platform::ui::Application* app, const foundation::Bytes& deviceToken);
  // The platform refused a push token: sets the error status of the code.
  static void handleDidFailRegisterForRemoteNotification(const foundation::Error& error);

  // ---- registration (registration.cpp) ----
  // Starts a registration on the registration queue, or later while the
  // first push token may still come.
  static void registerUser();
  // registerUser on the main run loop after registrationRetryDelay; replaces an earlier one.
  static void registerUserAfterDelay();
  // Builds and sends the registration record (on the registration queue).
  static void registerUserInternal();
  static bool shouldRegisterNow();
  static bool isHighPriorityCall();
  static void setNextRegistrationHighPriority(bool value);
  static bool nextRegistrationHighPriority();
  static bool registrationInProgress();
  static void updateLastSessionDateTime();
  // The queue "com.reraviror.regiseruser"; nullopt before the first registration.
  static std::optional<platform::dispatch::Queue> getRegisterQueue();
  // The record's keys in order, from the current facts (no consent or timing checks).
  static foundation::Dict registrationRecord();
  // Gives the service a new push token; before a player id exists the blocks
  // wait for the registration that makes one.
  static void updateDeviceToken(const std::string& deviceToken, OSResultSuccessBlock successBlock,
                                OSFailureBlock failureBlock);
  // Sends the notification-types value when it changed; true when sent or
  // left to the token request now under way.
  static bool sendNotificationTypesUpdate();
  // Ends the delay of subscription observers that a types update began. Once an
  // acceptance was held back, each end re-applies the types of that moment
  // (above 0: accepted); the held-back mark is never cleared.
  static void endSubscriptionSettingsDelay();
  static void sendPurchases(const foundation::Array& purchases);
  // The target of the facade's delayed main-thread work ("registerUser", "sendTagsToServer").
  static const void* performTarget();

  // ---- received and opened processing, badge, analytics bridge (processing.cpp) ----
  static void notificationBlocks(OSHandleNotificationReceivedBlock receivedBlock,
                                 OSHandleNotificationActionBlock actionBlock);
  // Clears the badge (1, then 0, through the application's setter) when it is
  // above 0; answers whether it was.
  static bool clearBadgeCount(bool fromNotifOpened);
  // Loads the analytics switch when the analytics class exists.
  static void startAnalyticsBridge();
  // A delivered or tapped push of the service: duplicates per activity
  // state, the in-app alert or the received-block, then the opened road.
  static void notificationReceived(const foundation::Dict& payload, bool isActive, bool opened);
  // "dup", the section's "i" (the new last id), or nullopt without an id.
  static std::optional<std::string> checkForProcessedDups(const foundation::Dict* section,
                                                          const std::optional<std::string>& lastMessageId);
  // The open report, the launch URL, badge clearing, then the opened-block.
  static void handleNotificationOpened(const foundation::Dict& payload, bool isActive, std::uint64_t actionType,
                                       std::uint64_t displayType);
  // Reports an open once per id ("GT_LAST_MESSAGE_OPENED_"), whatever the answer.
  static void submitNotificationOpened(const std::optional<std::string>& messageId);
  // Hands a valid URL to the presentation 0.5 s later on the current run loop.
  static void launchWebURL(const std::optional<std::string>& urlText);
  // A background push; true when the completion was handed on.
  static bool remoteSilentNotification(platform::ui::Application* application, const foundation::Dict& userInfo,
                                       std::function<void(platform::ui::BackgroundFetchResult)> completionHandler);
  // A local notification this client scheduled, opened (with an action identifier or none).
  static void processLocalActionBasedNotification(const std::shared_ptr<platform::notify::LocalNotification>& notification,
                                                  const std::optional<std::string>& identifier);
  static std::optional<platform::notify::Content> didReceiveNotificationExtensionRequest(
      const platform::notify::Request& request, std::optional<platform::notify::Content> content);
  static std::optional<platform::notify::Content> serviceExtensionTimeWillExpireRequest(
      const platform::notify::Request& request, std::optional<platform::notify::Content> content);
  static void setLastAppActiveMessageId(std::optional<std::string> messageId);
  static void setLastnonActiveMessageId(std::optional<std::string> messageId);
  // The two last ids and the dispatch state back to load values (tests).
  static void resetProcessingStatics();

  // ---- media cache (media_cache.cpp) ----
  static void clearCachedMedia();

  // ---- features: parameters, prompt and switches, e-mail, tags and posting, location, purchases, focus time ----
  static void downloadIOSParamsWithAppId(const std::string& appId);
  static void getLocation(bool prompt);
  static void startPurchaseTracker();
  // The focus-time tracker: YES going to the background.
  static void onFocus(bool toBackground);
  // Location tracking's focus change: "1" in focus, anything else out of focus.
  static void onfocus(const std::string& state);
  // Deferred work a registration hands over or releases.
  // The waiting tag changes (nullopt when none), cleared; the callbacks of the
  // calls that made them are moved into `callbacks` and cleared too.
  static std::optional<foundation::Dict> takePendingTags(std::vector<std::shared_ptr<OSPendingCallbacks>>& callbacks);
  static bool hasPendingTags();
  // Sends the waiting tag changes; registration schedules it on the main run
  // loop with performTarget() and "sendTagsToServer".
  static void sendTagsToServer();
  // The last location when location sharing is on and a fix exists; the
  // stored fix is cleared. nullopt otherwise.
  static std::optional<OSLastLocation> takeLastLocation();
  static void sendLocation();
  // Runs the parked setEmail call, if any, and clears it.
  static void replayPendingEmail();
  static void emailChangedWithNewEmailPlayerId(const std::string& emailPlayerId);
  // Syncs the parked hashed e-mail address, if any, and clears it.
  static void syncPendingHashedEmail();
  // Runs the parked getTags call, if any, and clears it.
  static void runPendingGetTags();
  // Per-app parameters (ios_params.cpp): an answer was applied.
  static bool iosParamsReceived();

  // Prompt and switches (prompt.cpp). The fall-back shows the settings
  // dialog when the user refused before; the block then gets NO at once.
  static void promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion,
                                                         bool fallbackToSettings);
  static void presentAppSettings();
  static void setSubscription(bool enable);
  static void setLocationShared(bool enable);
  static bool locationShared();
  static void promptLocation();
  // Parked (as given) until a player id exists, then sent as digests of the trimmed address.
  static void syncHashedEmail(const std::optional<std::string>& email);
  static std::optional<std::string> hashedEmailToSync();
  // Queue the block on the main queue; nothing for an empty block.
  static void callSuccessBlockOnMainThread(std::function<void()> block);
  static void callFailureBlockOnMainThread(std::function<void(const foundation::Error& error)> block,
                                           const foundation::Error& error);

  // E-mail (email.cpp). Local refusals and "already exists" answer on the
  // caller's thread, the service's answers on the main queue.
  static void setEmail(const std::string& email);
  static void setEmail(const std::string& email, std::function<void()> successBlock,
                       std::function<void(const foundation::Error& error)> failureBlock);
  static void setEmail(const std::string& email, const std::optional<std::string>& emailAuthHashToken);
  static void setEmail(const std::string& email, const std::optional<std::string>& emailAuthHashToken,
                       std::function<void()> successBlock,
                       std::function<void(const foundation::Error& error)> failureBlock);
  static void logoutEmail();
  static void logoutEmailWithSuccess(std::function<void()> successBlock,
                                     std::function<void(const foundation::Error& error)> failureBlock);

  // Tags and posting (tags.cpp). Changes join one batch sent 5 s after the
  // last change; its blocks get the outcome on the main queue.
  static void sendTag(const std::string& key, const std::optional<std::string>& value);
  static void sendTag(const std::string& key, const std::optional<std::string>& value,
                      OSResultSuccessBlock successBlock, OSFailureBlock failureBlock);
  static void sendTags(const foundation::Dict& keyValuePair);
  static void sendTags(const foundation::Dict& keyValuePair, OSResultSuccessBlock successBlock,
                       OSFailureBlock failureBlock);
  static void sendTagsWithJsonString(std::string_view jsonString);
  // The reply's "tags", on the REST client's completion thread.
  static void getTags(OSResultSuccessBlock successBlock);
  static void getTags(OSResultSuccessBlock successBlock, OSFailureBlock failureBlock);
  static void deleteTag(const std::string& key);
  static void deleteTag(const std::string& key, OSResultSuccessBlock successBlock, OSFailureBlock failureBlock);
  static void deleteTags(const std::vector<std::string>& keys);
  static void deleteTags(const std::vector<std::string>& keys, OSResultSuccessBlock successBlock,
                         OSFailureBlock failureBlock);
  static void deleteTagsWithJsonString(std::string_view jsonString);
  static void postNotification(const foundation::Dict& jsonData);
  static void postNotification(const foundation::Dict& jsonData, OSResultSuccessBlock successBlock,
                               OSFailureBlock failureBlock);
  static void postNotificationWithJsonString(std::string_view jsonString, OSResultSuccessBlock successBlock,
                                             OSFailureBlock failureBlock);
  // Top-level dates become ISO 8601 text in the device's time zone.
  static void convertDatesToISO8061Strings(foundation::Dict& data);
  static std::string parseNSErrorAsJsonString(const foundation::Error& error);
  // The features' state back to load values (tests and a fresh start).
  static void clearFeatureStatics();

  // ---- log sink ----
  static void reraviror_Log(std::uint32_t logLevel, std::string_view message);
  static void setLogLevel(std::uint32_t logLevel, std::uint32_t visualLevel);

  // ---- privacy consent ----
  // Consent is required through Info.plist "RerAviror_require_privacy_consent"
  // or setRequiresUserPrivacyConsent; YES while required and not granted.
  static bool requiresUserPrivacyConsent();
  static void setRequiresUserPrivacyConsent(bool required);
  // The gate: YES means "stop". A given name gets a warning naming it.
  static bool shouldLogMissingPrivacyConsentErrorWithMethodName(std::optional<std::string_view> methodName);
  // Stores the answer under "GDPR_CONSENT_GRANTED".
  static void consentGranted(bool granted);

  // ---- state objects, created on first use ----
  // The permission adapter for the OS version, made on first use unless one
  // was installed.
  static std::shared_ptr<RerAvirorNotificationSettings> osNotificationSettings();
  static void setOsNotificationSettings(std::shared_ptr<RerAvirorNotificationSettings> adapter);

  static std::shared_ptr<OSPermissionState> currentPermissionState();
  static std::shared_ptr<OSPermissionState> lastPermissionState();
  static void setLastPermissionState(std::shared_ptr<OSPermissionState> state);
  static std::shared_ptr<OSSubscriptionState> currentSubscriptionState();
  static std::shared_ptr<OSSubscriptionState> lastSubscriptionState();
  static void setLastSubscriptionState(std::shared_ptr<OSSubscriptionState> state);
  static std::shared_ptr<OSEmailSubscriptionState> currentEmailSubscriptionState();
  static std::shared_ptr<OSEmailSubscriptionState> lastEmailSubscriptionState();
  static void setLastEmailSubscriptionState(std::shared_ptr<OSEmailSubscriptionState> state);

  static std::shared_ptr<OSObservable<OSPermissionObserver, OSStateChanges<OSPermissionState>>>
  permissionStateChangesObserver();
  static std::shared_ptr<OSObservable<OSSubscriptionObserver, OSStateChanges<OSSubscriptionState>>>
  subscriptionStateChangesObserver();
  static std::shared_ptr<OSObservable<OSEmailSubscriptionObserver, OSStateChanges<OSEmailSubscriptionState>>>
  emailSubscriptionStateChangesObserver();

  static bool shouldDelaySubscriptionSettingsUpdate();
  static void setShouldDelaySubscriptionSettingsUpdate(bool value);
  static std::int32_t lastNotificationTypes();
  static void setLastNotificationTypes(std::int32_t value);

  // ---- observers and the snapshot ----
  // An added observer hears at once about a change since the stored previous state.
  static void addPermissionObserver(const std::shared_ptr<OSPermissionObserver>& observer);
  static void removePermissionObserver(const OSPermissionObserver* observer);
  static void addSubscriptionObserver(const std::shared_ptr<OSSubscriptionObserver>& observer);
  static void removeSubscriptionObserver(const OSSubscriptionObserver* observer);
  static void addEmailSubscriptionObserver(const std::shared_ptr<OSEmailSubscriptionObserver>& observer);
  static void removeEmailSubscriptionObserver(const OSEmailSubscriptionObserver* observer);
  // The live current state objects, not copies.
  static std::shared_ptr<OSPermissionSubscriptionState> getPermissionSubscriptionState();

  // Back to load values (tests and a fresh start).
  static void clearStatics();
};

}  // namespace push
