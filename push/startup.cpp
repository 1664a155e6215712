#include "push/startup.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/uuid.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "platform/runtime/object.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "push/log.h"
#include "push/notification_settings.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace {

platform::os::UserDefaults& startupDefaults() { return platform::os::UserDefaults::standard(); }

// Start-up state of the facade.
struct StartupState {
  std::mutex mutex;  // the texts and the parked arguments
  std::optional<std::string> appId;
  std::string sdkType = "native";
  std::shared_ptr<DelayedInitializationParameters> pendingInitArguments;
  std::atomic<bool> iosParamsRequested{false}, initPendingConsent{false}, pushRegisteredWithOS{false},
      autoPromptEnabled{false}, confirmLaunchURL{false}, providesAppNotificationSettings{false},
      provisionalRequested{false}, waitingForApnsResponse{false}, coldStartFromTapOnNotification{false};
  std::atomic<std::int64_t> inFocusDisplayType{1};
  std::atomic<std::int32_t> subscriptionStatus{-1};
  std::atomic<double> apnsWaitWindow{25.0}, registrationRetryDelay{30.0}, launchTime{0};
};

StartupState& startupState() {
  static StartupState* s = new StartupState();
  return *s;
}

// A number's value (the four number-only keys); nullopt for anything else.
std::optional<foundation::Value> numberSetting(const std::optional<foundation::Dict>& settings, std::string_view key) {
  if (!settings) return std::nullopt;
  const foundation::Value* v = settings->find(key);
  if (!v || !v->is_number()) return std::nullopt;
  return *v;
}

// Any value's integer view: numbers as they are, text by its leading digits.
std::optional<std::int64_t> looseInteger(const std::optional<foundation::Dict>& settings, std::string_view key) {
  if (!settings) return std::nullopt;
  const foundation::Value* v = settings->find(key);
  if (!v) return std::nullopt;
  if (v->is_number()) return v->as_int();
  if (const auto* text = v->string()) return std::strtoll(text->c_str(), nullptr, 10);
  // A value with no integer reading (null, a dictionary, an array) counts as absent.
  writeLogLine(kLogWarn, "RerAviror setting " + std::string(key) + " is not a number and is ignored");
  return std::nullopt;
}

bool looseBool(const std::optional<foundation::Dict>& settings, std::string_view key) {
  if (!settings) return false;
  const foundation::Value* v = settings->find(key);
  if (!v) return false;
  if (v->is_number()) return v->as_bool().value_or(false);
  if (const auto* text = v->string()) {
    for (char c : *text) {
      if (std::isspace(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '0') continue;
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
  }
  return false;
}

std::optional<std::string> infoString(std::string_view key) {
  const auto& v = platform::os::Bundle::main().object_for_info_key(key);
  if (const auto* text = v.string()) return *text;
  return std::nullopt;
}

}  // namespace

// ---- entry points ----

void RerAviror::initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId) {
  initWithLaunchOptions(std::move(launchOptions), std::move(appId), nullptr, nullptr,
                        foundation::Dict{{std::string(kOSSettingsKeyAutoPrompt), true},
                                         {std::string(kOSSettingsKeyInAppAlerts), true},
                                         {std::string(kOSSettingsKeyInAppLaunchURL), true},
                                         {std::string(kOSSSettingsKeyPromptBeforeOpeningPushURL), false}});
}

void RerAviror::initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId,
                                      OSHandleNotificationActionBlock actionBlock) {
  initWithLaunchOptions(std::move(launchOptions), std::move(appId), nullptr, std::move(actionBlock),
                        foundation::Dict{{std::string(kOSSettingsKeyAutoPrompt), true},
                                         {std::string(kOSSettingsKeyInAppAlerts), true},
                                         {std::string(kOSSettingsKeyInAppLaunchURL), true},
                                         {std::string(kOSSSettingsKeyPromptBeforeOpeningPushURL), false}});
}

void RerAviror::initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId,
                                      OSHandleNotificationActionBlock actionBlock,
                                      std::optional<foundation::Dict> settings) {
  initWithLaunchOptions(std::move(launchOptions), std::move(appId), nullptr, std::move(actionBlock),
                        std::move(settings));
}

void RerAviror::initWithLaunchOptions(std::optional<foundation::Dict> launchOptions, std::optional<std::string> appId,
                                      OSHandleNotificationReceivedBlock receivedBlock,
                                      OSHandleNotificationActionBlock actionBlock,
                                      std::optional<foundation::Dict> settings) {
  auto& s = startupState();
  writeLogLine(kLogVerbose, "Called init with app ID: " + appId.value_or("(null)"));
  s.launchTime = platform::dispatch::Clock::current().now_since_1970();

  if (!s.iosParamsRequested && appId) {
    s.iosParamsRequested = true;
    downloadIOSParamsWithAppId(*appId);
  }

  if (requiresUserPrivacyConsent()) {
    {
      std::lock_guard lock(s.mutex);
      s.pendingInitArguments = std::make_shared<DelayedInitializationParameters>(DelayedInitializationParameters{
          std::move(launchOptions), std::move(appId), std::move(receivedBlock), std::move(actionBlock),
          std::move(settings)});
    }
    s.initPendingConsent = true;
    writeLogLine(kLogVerbose,
                 "Delayed initialization of the RerAviror SDK until the user provides privacy consent using the "
                 "consentGranted() method");
    return;
  }

  if (!initAppId(appId, settings)) return;

  if (appId && locationShared()) getLocation(false);

  checkIfApplicationImplementsDeprecatedMethods();
  notificationBlocks(std::move(receivedBlock), std::move(actionBlock));

  if (isIOSVersionGreaterOrEqual(8.0)) {
    s.pushRegisteredWithOS = currentPermissionState()->accepted();
  } else {
    s.pushRegisteredWithOS = currentSubscriptionState()->pushToken().has_value() ||
                             startupDefaults().boolean("GT_REGISTERED_WITH_APPLE");
  }

  // Settings, in this order.
  if (auto v = numberSetting(settings, kOSSettingsKeyInAppLaunchURL)) {
    enableInAppLaunchURL(*v);
  } else if (!startupDefaults().object("RERAVIROR_INAPP_LAUNCH_URL")) {
    enableInAppLaunchURL(foundation::Value(true));
  }
  if (auto v = numberSetting(settings, kOSSSettingsKeyPromptBeforeOpeningPushURL)) {
    s.confirmLaunchURL = v->as_bool().value_or(false);
    startupDefaults().set("PROMPT_BEFORE_OPENING_PUSH_URL", foundation::Value(s.confirmLaunchURL.load()));
    startupDefaults().synchronize();
  } else {
    auto stored = startupDefaults().object("PROMPT_BEFORE_OPENING_PUSH_URL");
    s.confirmLaunchURL = stored && stored->as_bool().value_or(false);
  }
  s.autoPromptEnabled = true;
  if (auto v = numberSetting(settings, kOSSettingsKeyAutoPrompt)) s.autoPromptEnabled = v->as_bool().value_or(false);
  if (auto v = numberSetting(settings, kOSSettingsKeyProvidesAppNotificationSettings);
      v && isIOSVersionGreaterOrEqual(12.0)) {
    s.providesAppNotificationSettings = v->as_bool().value_or(false);
  }

  if (s.autoPromptEnabled || s.pushRegisteredWithOS) {
    registerForPushNotifications();
  } else {
    checkProvisionalAuthorizationStatus();
    registerForAPNsToken();
  }

  const auto option = looseInteger(settings, kOSSettingsKeyInFocusDisplayOption);
  const auto alerts = looseInteger(settings, kOSSettingsKeyInAppAlerts);
  if (option && *option >= 0 && *option <= 2) {
    setInFocusDisplayType(*option);
  } else if (alerts && (*alerts == 0 || *alerts == 1)) {
    setInFocusDisplayType(*alerts);
  }

  if (currentSubscriptionState()->userId()) {
    registerUser();
  } else if (auto adapter = osNotificationSettings()) {
    adapter->getNotificationPermissionState([](std::shared_ptr<OSPermissionState> state) {
      if (state && state->answeredPrompt()) {
        registerUser();
      } else {
        registerUserAfterDelay();
      }
    });
  }

  if (launchOptions && launchOptions->contains("UIApplicationLaunchOptionsRemoteNotificationKey"))
    s.coldStartFromTapOnNotification = true;
  clearBadgeCount(false);
  startPurchaseTracker();
  if (platform::rt::Runtime::shared().find("UNUserNotificationCenter")) clearCachedMedia();
  startAnalyticsBridge();
}

bool RerAviror::initAppId(const std::optional<std::string>& appIdArgument, const std::optional<foundation::Dict>& settings) {
  auto& s = startupState();
  std::optional<std::string> appId = appIdArgument;
  if (!appId) appId = infoString("RerAviror_APPID");
  if (!appId) appId = infoString("RivoZuzovo_APPID");
  const auto stored = startupDefaults().string("GT_APP_ID");
  if (!appId) {
    appId = stored;
    {
      std::lock_guard lock(s.mutex);
      s.appId = appId;
    }
    if (looseBool(settings, kOSSettingsKeyInOmitNoAppIdLogging)) return true;
    writeLogLine(kLogFatal, "RerAviror AppId never set!");
  } else {
    // Checked before anything is stored: a malformed id stores nothing.
    if (!foundation::Uuid::parse(*appId)) {
      writeLogLine(kLogFatal,
                   "RerAviror AppId format is invalid.\nExample: 'a7c3e5f1-9b2d-11e4-8f6a-c4d2e1b0a9f8'\n");
      return false;
    }
    {
      std::lock_guard lock(s.mutex);
      s.appId = appId;
    }
    if (appId != stored) {
      startupDefaults().set("GT_APP_ID", foundation::Value(*appId));
      startupDefaults().remove("GT_PLAYER_ID");
      startupDefaults().synchronize();
    }
  }
  if (!appId || !foundation::Uuid::parse(*appId)) {
    writeLogLine(kLogFatal, "RerAviror AppId format is invalid.\nExample: 'a7c3e5f1-9b2d-11e4-8f6a-c4d2e1b0a9f8'\n");
    return false;
  }
  if (appIdArgument && (*appIdArgument == kExampleAppId || *appIdArgument == kDemoAppId)) {
    writeLogLine(kLogWarn, "RerAviror Example AppID detected, please update to your app's id found on push.example.net");
  }
  return true;
}

// ---- consent ----

void RerAviror::consentGranted(bool granted) {
  startupDefaults().set("GDPR_CONSENT_GRANTED", foundation::Value(granted));
  startupDefaults().synchronize();
  if (!granted) return;
  auto& s = startupState();
  std::shared_ptr<DelayedInitializationParameters> parked;
  {
    std::lock_guard lock(s.mutex);
    if (!s.initPendingConsent || !s.pendingInitArguments) return;
    parked = std::move(s.pendingInitArguments);
    s.pendingInitArguments.reset();
  }
  s.initPendingConsent = false;
  initWithLaunchOptions(parked->launchOptions, parked->appId, parked->receivedBlock, parked->actionBlock,
                        parked->settings);
}

bool RerAviror::initPendingConsent() { return startupState().initPendingConsent; }

// ---- accessors ----

std::optional<std::string> RerAviror::app_id() {
  std::lock_guard lock(startupState().mutex);
  return startupState().appId;
}

std::optional<std::string> RerAviror::mUserId() { return currentSubscriptionState()->userId(); }
std::optional<std::string> RerAviror::mEmailUserId() { return currentEmailSubscriptionState()->emailUserId(); }
std::optional<std::string> RerAviror::mEmailAuthToken() { return currentEmailSubscriptionState()->emailAuthCode(); }

std::string RerAviror::sdk_version_raw() { return "020809"; }
std::string RerAviror::sdk_semantic_version() { return one_getSemanticVersion(sdk_version_raw()); }

std::int64_t RerAviror::inFocusDisplayType() { return startupState().inFocusDisplayType; }

void RerAviror::setInFocusDisplayType(std::int64_t displayType) {
  if (displayType == 2 && !isIOSVersionGreaterOrEqual(10.0)) displayType = 1;
  startupState().inFocusDisplayType = displayType;
}

bool RerAviror::providesAppNotificationSettings() { return startupState().providesAppNotificationSettings; }
bool RerAviror::shouldPromptToShowURL() { return startupState().confirmLaunchURL; }
bool RerAviror::autoPromptEnabled() { return startupState().autoPromptEnabled; }
bool RerAviror::pushRegisteredWithOS() { return startupState().pushRegisteredWithOS; }
bool RerAviror::coldStartFromTapOnNotification() { return startupState().coldStartFromTapOnNotification.exchange(false); }

void RerAviror::setMSDKType(std::string type) {
  std::lock_guard lock(startupState().mutex);
  startupState().sdkType = std::move(type);
}
std::string RerAviror::mSDKType() {
  std::lock_guard lock(startupState().mutex);
  return startupState().sdkType;
}
void RerAviror::setMSubscriptionStatus(std::int32_t status) { startupState().subscriptionStatus = status; }
std::int32_t RerAviror::mSubscriptionStatus() { return startupState().subscriptionStatus; }
void RerAviror::setWaitingForApnsResponse(bool waiting) { startupState().waitingForApnsResponse = waiting; }
bool RerAviror::waitingForApnsResponse() { return startupState().waitingForApnsResponse; }
void RerAviror::setDelayIntervals(double apnsDelay, double registrationDelay) {
  startupState().apnsWaitWindow = apnsDelay;
  startupState().registrationRetryDelay = registrationDelay;
}
double RerAviror::apnsWaitWindow() { return startupState().apnsWaitWindow; }
double RerAviror::registrationRetryDelay() { return startupState().registrationRetryDelay; }

void RerAviror::enableInAppLaunchURL(const foundation::Value& enable) {
  startupDefaults().set("RERAVIROR_INAPP_LAUNCH_URL", enable);
  startupDefaults().synchronize();
}

void RerAviror::checkIfApplicationImplementsDeprecatedMethods() {
  dispatch_async_on_main_queue([] {
    auto* app = platform::ui::Application::shared();
    if (!app || !app->delegate()) return;
    for (const char* selector : {"application:didReceiveLocalNotification:",
                                 "application:handleActionWithIdentifier:forLocalNotification:completionHandler:",
                                 "application:handleActionWithIdentifier:forLocalNotification:withResponseInfo:"
                                 "completionHandler:"}) {
      if (app->delegate()->responds_to(platform::rt::SelId(selector))) {
        writeLogLine(kLogWarn, std::string("RerAviror has detected that your application delegate implements a "
                                           "deprecated method (") +
                                   selector +
                                   "). Please note that this method has been officially deprecated and the RerAviror "
                                   "SDK will no longer call it. You should use UNUserNotificationCenter instead");
      }
    }
  });
}

void RerAviror::checkProvisionalAuthorizationStatus() {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
  auto stored = startupDefaults().object("RERAVIROR_USES_PROVISIONAL_PUSH_AUTHORIZATION");
  if (!stored || !stored->as_bool().value_or(false)) return;
  if (startupState().provisionalRequested.exchange(true)) return;
  if (auto adapter = osNotificationSettings()) adapter->registerForProvisionalAuthorization(nullptr);
}

void RerAviror::registerForProvisionalAuthorization(std::function<void(bool accepted)> completion) {
  if (!isIOSVersionGreaterOrEqual(12.0)) {
    writeLogLine(kLogWarn, "registerForProvisionalAuthorization is only available in iOS 12+.");
    return;
  }
  if (auto adapter = osNotificationSettings()) adapter->registerForProvisionalAuthorization(std::move(completion));
}

double launchTimeSince1970() { return startupState().launchTime; }

void clearStartupStatics() {
  auto& s = startupState();
  {
    std::lock_guard lock(s.mutex);
    s.appId.reset();
  }
  s.autoPromptEnabled = false;
  s.provisionalRequested = false;
  s.waitingForApnsResponse = false;
  s.iosParamsRequested = false;
  s.apnsWaitWindow = 25.0;
  s.registrationRetryDelay = 30.0;
}

}  // namespace push
