// Notification building and the shared delegate object.
#include "push/notification_builder.h"

#include <mutex>

#include "platform/notify/center.h"

namespace push {

namespace RerAvirorHelper {

std::shared_ptr<RerAvirorObject> sharedInstance() {
  static std::mutex mutex;
  static std::shared_ptr<RerAvirorObject> instance;
  std::lock_guard lock(mutex);
  rt::Runtime& runtime = rt::Runtime::shared();
  rt::Class* cls = runtime.find(kRerAvirorClassName);
  if (!cls) cls = &rt::ClassBuilder<RerAvirorObject>(std::string(kRerAvirorClassName), "NSObject").define(runtime);
  // A registry swapped by a test scope has its own class: the object follows it.
  if (!instance || &instance->isa() != cls) {
    instance = std::dynamic_pointer_cast<RerAvirorObject>(cls->create());
    if (!instance) instance = std::make_shared<RerAvirorObject>(*cls);
  }
  return instance;
}

void registerAsUNNotificationCenterDelegate() {
  auto center = notify::Center::current();
  if (!center || center->delegate()) return;
  center->set_delegate(sharedInstance());
}

}  // namespace RerAvirorHelper
}  // namespace push
