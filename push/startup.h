#pragma once
// Facade start-up: entry points, the application id, the settings table and
// the consent-parked start-up.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace push {

namespace foundation = platform::foundation;

class OSNotification;
class OSNotificationOpenedResult;

using OSHandleNotificationReceivedBlock = std::function<void(const std::shared_ptr<OSNotification>& notification)>;
using OSHandleNotificationActionBlock = std::function<void(const std::shared_ptr<OSNotificationOpenedResult>& result)>;

// Settings keys.
inline constexpr std::string_view kOSSettingsKeyAutoPrompt = "kOSSettingsKeyAutoPrompt";
inline constexpr std::string_view kOSSettingsKeyInAppAlerts = "kOSSettingsKeyInAppAlerts";
inline constexpr std::string_view kOSSettingsKeyInFocusDisplayOption = "kOSSettingsKeyInFocusDisplayOption";
inline constexpr std::string_view kOSSettingsKeyInAppLaunchURL = "kOSSettingsKeyInAppLaunchURL";
inline constexpr std::string_view kOSSSettingsKeyPromptBeforeOpeningPushURL = "kOSSSettingsKeyPromptBeforeOpeningPushURL";
inline constexpr std::string_view kOSSettingsKeyProvidesAppNotificationSettings =
    "kOSSettingsKeyProvidesAppNotificationSettings";
inline constexpr std::string_view kOSSettingsKeyInOmitNoAppIdLogging = "kOSSettingsKeyInOmitNoAppIdLogging";

inline constexpr std::string_view kExampleAppId = "a7c3e5f1-9b2d-11e4-8f6a-c4d2e1b0a9f8";
inline constexpr std::string_view kDemoAppId = "6d2f8a4c-e1b7-11e3-9c5d-1a2b3c4d5e6f";

// A start-up parked until consent is granted.
struct DelayedInitializationParameters {
  std::optional<foundation::Dict> launchOptions;
  std::optional<std::string> appId;
  OSHandleNotificationReceivedBlock receivedBlock;
  OSHandleNotificationActionBlock actionBlock;
  std::optional<foundation::Dict> settings;
};

// When start-up last ran (seconds since 1970 on the dispatch clock); 0 before.
double launchTimeSince1970();

}  // namespace push
