#pragma once
// APMAppDelegateInterceptor: the runtime class (NSObject, conforming to
// "UIApplicationDelegate") the application-delegate proxy calls alongside the
// app's delegate. It hands opened URLs and universal links to the analytics
// entry and background-session events to the network client, and answers NO
// to each, which the proxy ORs with the delegate's answer.
//
// Threads: main, as the application delegate is called.
#include <string_view>

#include "platform/runtime/runtime.h"

namespace analytics {

class APMAppDelegateInterceptor : public platform::rt::Object {
 public:
  using platform::rt::Object::Object;

  // The one instance, made on first use; nullptr while the class is not registered.
  static platform::rt::Id sharedInstance();
  // Registers the class in the current runtime registry unless it is there.
  static void registerRuntimeClass();
};

}  // namespace analytics
