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

namespace RerAvirorHelper {

// The process-wide shared object, made on first use (once, also when first
// called from two threads); the runtime class "RerAviror" is registered then
// when absent.
std::shared_ptr<RerAvirorObject> sharedInstance();

// Makes the shared object the centre's delegate when the centre has none.
void registerAsUNNotificationCenterDelegate();

}  // namespace RerAvirorHelper
}  // namespace push
