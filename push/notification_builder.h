#pragma once
// Notification building: notification requests and their dynamic button
// category (10.0 and later), local notifications (before 10.0), and the
// shared object that serves as the notification centre's delegate.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/notify/legacy.h"
#include "platform/notify/types.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/selectors.h"

namespace push {

namespace rt = platform::rt;
namespace notify = platform::notify;

class OSNotificationPayload;

// An instance of the facade's runtime class "RerAviror" (base NSObject, no
// instance methods, no protocols); the centre injection adds its handlers.
class RerAvirorObject : public rt::Object {
 public:
  explicit RerAvirorObject(rt::Class& cls) : rt::Object(cls) {}
};

inline constexpr std::string_view kRerAvirorClassName = "RerAviror";
// The one category that carries a notification's buttons.
inline constexpr std::string_view kDynamicCategory = "__dynamic__";
// The sound name of a local notification whose payload names none.
inline constexpr std::string_view kLocalNotificationDefaultSoundName = "UILocalNotificationDefaultSoundName";
// Action and category options used here.
inline constexpr std::uint32_t kActionOptionForeground = 4;
inline constexpr std::uint32_t kCategoryOptionCustomDismissAction = 1;

namespace RerAvirorHelper {

// The process-wide shared object, made on first use (once, also when first
// called from two threads); the runtime class "RerAviror" is registered then
// when absent.
std::shared_ptr<RerAvirorObject> sharedInstance();

// Makes the shared object the centre's delegate when the centre has none.
void registerAsUNNotificationCenterDelegate();

// 10.0 and later: a request for the payload (buttons, texts, user info, sound,
// badge, attachments, a 0.25 s trigger, a fresh 16-character id). Blocks while
// media downloads and the centre answers for its categories: never on main.
notify::Request prepareUNNotificationRequest(const OSNotificationPayload& payload);
// Registers the "__dynamic__" category with the payload's buttons (two are
// reversed), keeping the centre's other categories, and gives the content
// that category. No buttons: nothing changes.
void addActionButtons(const OSNotificationPayload& payload, notify::Content& content);
// The centre's categories; waits for its answer without a time limit.
// nullopt without a centre.
std::optional<std::vector<notify::Category>> existingCategories();
// Builds and adds the request on the global queue inside the media background
// task; the completion (may be empty) gets new data right after the hand-over.
void addNotificationRequest(std::shared_ptr<OSNotificationPayload> payload,
                            std::function<void(platform::ui::BackgroundFetchResult)> completion);

// Before 10.0: a local notification with the "__dynamic__" category registered
// (also without buttons) through the application's legacy settings.
std::shared_ptr<notify::LocalNotification> createUILocalNotification(const OSNotificationPayload& payload);
// The same with its texts, user info, sound and badge; not scheduled.
std::shared_ptr<notify::LocalNotification> prepareUILocalNotification(const OSNotificationPayload& payload);

}  // namespace RerAvirorHelper

// Installs the presentation (alert, building, launch URL, extension handlers)
// behind the processing side's seam; installing again changes nothing.
void installPresentation();

}  // namespace push
