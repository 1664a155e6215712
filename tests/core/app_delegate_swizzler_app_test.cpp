// The application-delegate proxy in the running app: the shell launched on
// the simulated device with the push fake, then the proxy and a test
// interceptor. The device's messages reach the interceptor and the shell's
// own methods, and the push client still gets the device token.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/image.h"
#include "core/app_delegate_swizzler.h"
#include "platform/foundation/text.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "testing/harness/harness.h"

namespace {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace foundation = platform::foundation;
using core::GULAppDelegateSwizzler;

std::vector<std::string>& intercepted() {
  static std::vector<std::string> calls;
  return calls;
}

// Records what it intercepts and answers false, so the shell's answer decides.
class CoreAppInterceptor : public rt::Object {
 public:
  explicit CoreAppInterceptor(rt::Class& cls) : rt::Object(cls) {}
  bool continueActivity(rt::Id, std::shared_ptr<ui::UserActivity> activity, std::function<void(foundation::Array)>) {
    intercepted().push_back("continue " + (activity->webpage_url ? activity->webpage_url->absolute_string() : "-"));
    return false;
  }
  bool openUrlLegacy(rt::Id, foundation::Url url, std::optional<std::string> source, foundation::Value annotation) {
    intercepted().push_back("open " + url.absolute_string() + " " + source.value_or("-") + " " +
                            (annotation.is_null() ? "null" : foundation::describe(annotation)));
    return false;
  }
  void sessionEvents(rt::Id, std::string identifier, std::function<void()>) {
    intercepted().push_back("session " + identifier);
  }
};

std::size_t playerRequests(testing::Harness& h) {
  std::size_t n = 0;
  for (const auto& request : h.push().requests()) n += request.path.starts_with("/api/v1/players");
  return n;
}

TEST(CoreAppDelegateProxyApp, ShellDelegateFeedsTheInterceptorAndKeepsItsOwnRoads) {
  testing::Harness h({.fakes = {testing::Fake::push}});
  ui::Application& app = h.boot_app(app::image());
  rt::Object* shellDelegate = app.delegate().get();
  ASSERT_NE(shellDelegate, nullptr);
  ASSERT_TRUE(h.run_until([&] { return playerRequests(h) >= 1; }));
  // The first registration is answered: the later token goes out as an update of that player.
  ASSERT_TRUE(h.run_until([] { return push::RerAviror::currentSubscriptionState()->userId().has_value(); }));

  GULAppDelegateSwizzler::proxyOriginalDelegate();
  rt::Id interceptor = rt::ClassBuilder<CoreAppInterceptor>("CoreAppInterceptor", "NSObject")
                           .protocols({"UIApplicationDelegate"})
                           .method(ui::sel::continue_user_activity, &CoreAppInterceptor::continueActivity)
                           .method(ui::sel::open_url_source_application, &CoreAppInterceptor::openUrlLegacy)
                           .method(ui::sel::handle_events_for_background_session, &CoreAppInterceptor::sessionEvents)
                           .define()
                           .create();
  ASSERT_TRUE(GULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor));

  ASSERT_EQ(app.delegate().get(), shellDelegate);
  EXPECT_TRUE(shellDelegate->isa().name().starts_with("GUL_AppDelegate-")) << shellDelegate->isa().name();
  EXPECT_EQ(rt::send(*app.delegate(), rt::sel::description),
            "<AppDelegate: " + foundation::text::pointer_text(dynamic_cast<const void*>(shellDelegate)) + ">");

  // A universal link: the interceptor, then the shell's own method.
  const std::string link = "https://intranet.example.org/news/7";
  ASSERT_TRUE(h.device().universal_link(link));
  EXPECT_EQ(intercepted(), std::vector<std::string>{"continue " + link});
  EXPECT_NE(h.capture().out().find("universal link tapped"), std::string::npos) << h.capture().out();

  // The shell has no open-URL method: the URL arrives through the legacy form the proxy adds.
  EXPECT_FALSE(app.delegate_responds(ui::sel::open_url));
  intercepted().clear();
  ASSERT_TRUE(h.device().open_url("intranet://item/3"));
  EXPECT_EQ(intercepted(), std::vector<std::string>{"open intranet://item/3 - null"});

  intercepted().clear();
  ASSERT_TRUE(h.device().background_session_events("com.example.upload"));
  EXPECT_EQ(intercepted(), std::vector<std::string>{"session com.example.upload"});

  // A device token arriving after the proxy still reaches the push client,
  // which sends it to the service as an update of its player.
  const std::size_t before = playerRequests(h);
  ASSERT_TRUE(h.device().device_token("a1b2c3d4e5f6"));
  ASSERT_TRUE(h.run_until([&] { return playerRequests(h) > before; }, std::chrono::seconds(30)))
      << "player requests: " << playerRequests(h);
  const auto update = h.push().requests().back();
  EXPECT_EQ(update.path, "/api/v1/players/" + *push::RerAviror::currentSubscriptionState()->userId());
  EXPECT_NE(update.body.find("a1b2c3d4e5f6"), std::string::npos) << update.method << " " << update.body;
}

}  // namespace
