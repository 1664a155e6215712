#pragma once
// Reports push events to the analytics engine, found by class name at run
// time, while the push service has the feature switched on for this app.
// The switch and the last received push live in the app-group defaults,
// shared with the service extension.
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/runtime/selector.h"

namespace push {

namespace foundation = platform::foundation;

class OSNotificationPayload;
class OSNotificationOpenedResult;

// The analytics class's event entry: event name, string parameters.
inline constexpr std::string_view kAnalyticsClassName = "DAVIdovivove";
inline const platform::rt::ClassSel<void(std::string, foundation::Dict)> kLogEventWithNameParameters{
    "logEventWithName:parameters:"};

class RerAvirorTrackDavidizeAnalytics {
 public:
  // The analytics class is present.
  static bool needsRemoteParams();
  // Loads the switch from the app group.
  static void init();
  // "fba" present (whatever its value) switches on; absent switches off and removes the stored key.
  static void updateFromDownloadParams(const foundation::Dict& params);
  static std::string appGroupKey();
  static void logEventWithName(const std::string& name, const foundation::Dict& parameters);
  // "name - id" with both template fields, else the title's first 10 characters, else "".
  static std::string getCampaignNameFromPayload(const OSNotificationPayload& payload);
  static void trackOpenEvent(const OSNotificationOpenedResult& result);
  static void trackReceivedEvent(const OSNotificationPayload& payload);
  static void trackInfluenceOpenEvent();

  static bool eventsEnabled();
  // Back to load values (tests).
  static void reset();
};

}  // namespace push
