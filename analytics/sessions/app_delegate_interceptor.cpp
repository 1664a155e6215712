// The application-delegate interceptor of analytics.
#include "analytics/sessions/app_delegate_interceptor.h"

#include <mutex>

#include "analytics/engine/analytics_entry.h"
#include "analytics/engine_seams.h"
#include "analytics/selectors.h"
#include "analytics/sessions/deep_links.h"
#include "core/gul_network.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"

namespace analytics {

namespace fd = platform::foundation;
namespace rt = platform::rt;
namespace ui = platform::ui;

namespace {

struct InterceptorShared {
  std::mutex mutex;
  rt::Class* cls = nullptr;  // the registry's class the instance was made from
  rt::Id instance;
};

InterceptorShared& interceptorShared() {
  static auto* shared = new InterceptorShared();
  return *shared;
}

bool interceptorOpenURL(const fd::Url& url) {
  APMAnalytics::handleOpenURL(url);
  return false;
}

}  // namespace

rt::Id APMAppDelegateInterceptor::sharedInstance() {
  rt::Class* cls = rt::Runtime::shared().find(kAPMAppDelegateInterceptorClassName);
  if (!cls) return nullptr;
  InterceptorShared& shared = interceptorShared();
  std::lock_guard lock(shared.mutex);
  // A test's runtime scope may bring a new class of the same name.
  if (!shared.instance || shared.cls != cls) {
    shared.instance = cls->create();
    shared.cls = cls;
  }
  return shared.instance;
}

void APMAppDelegateInterceptor::registerRuntimeClass() {
  rt::Runtime& runtime = rt::Runtime::shared();
  if (runtime.find(kAPMAppDelegateInterceptorClassName)) return;
  rt::ClassBuilder<APMAppDelegateInterceptor>(std::string(kAPMAppDelegateInterceptorClassName), "NSObject")
      .protocols({"UIApplicationDelegate"})
      .class_method(sel::interceptorSharedInstance, [](rt::Class&) { return sharedInstance(); })
      .method(ui::sel::open_url,
              [](APMAppDelegateInterceptor&, rt::Id, fd::Url url, fd::Dict) { return interceptorOpenURL(url); })
      .method(ui::sel::open_url_source_application,
              [](APMAppDelegateInterceptor&, rt::Id, fd::Url url, std::optional<std::string>, fd::Value) {
                return interceptorOpenURL(url);
              })
      .method(ui::sel::continue_user_activity,
              [](APMAppDelegateInterceptor&, rt::Id, std::shared_ptr<ui::UserActivity> activity,
                 std::function<void(fd::Array)>) {
                const auto link = APMDeepLinks::deepLinkFromActivity(activity);
                if (link && !link->absolute_string().empty()) APMAnalytics::handleOpenURL(*link);
                return false;
              })
      .method(ui::sel::handle_events_for_background_session,
              [](APMAppDelegateInterceptor&, rt::Id, std::string sessionID, std::function<void()> completion) {
                core::GULNetwork::handleEventsForBackgroundURLSessionID(sessionID, std::move(completion));
              })
      .define(runtime);
}

}  // namespace analytics
