// The launch with the app core registered: the default app is configured
// from the bundle's service property list between the kit host and the push
// client, with its notifications, the analytics start and the configurable
// classes in order; the app's own analytics class is started; without the
// property list the launch raises.
#include <gtest/gtest.h>

#include "analytics/engine/measurement.h"
#include "core/app.h"
#include "core/app_selectors.h"
#include "core/logger.h"
#include "core/options.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/notification.h"
#include "platform/runtime/runtime.h"
#include "app/strings.h"
#include "tests/app/app_fixture.h"
#include "tests/core/fixture.h"

namespace app::test {
namespace {

namespace rt = platform::rt;
namespace foundation = platform::foundation;

std::vector<std::string>& steps() {
  static std::vector<std::string> log;
  return log;
}

const char kObserverOwner = 0;

class CoreLaunchRecorder : public rt::Object {
 public:
  using rt::Object::Object;
};

std::vector<std::string> core_messages(const std::string& code) {
  core::GULLoggerWaitForQueue();
  std::vector<std::string> out;
  for (const auto& r : core_test::system_log_records())
    if (r.message.find("[" + code + "]") != std::string::npos) out.push_back(r.level + ": " + r.message);
  return out;
}

const std::string kAppID = *testing::default_service_plist("org.example.intranet").get("DOZADA_APP_ID").string();

TEST(AppCoreLaunch, ConfiguresTheDefaultAppBeforeThePushClientStarts) {
  rt::Runtime::Scope scope;
  testing::Harness h({.profile = {{"launch_arguments", {"-FIRDebugEnabled"}}}});
  std::shared_ptr<core::FIROptions> started_with;
  rt::ClassBuilder<CoreLaunchRecorder>("DAVIdovivove", "NSObject")
      .class_method(core::sel::startWithConfigurationOptions,
                    [&](rt::Class&, std::shared_ptr<core::DAVIdovivoveConfiguration> configuration,
                        std::shared_ptr<core::FIROptions> options) {
                      started_with = options;
                      steps().push_back(std::string("start ") +
                                        (configuration == core::DAVIdovivoveConfiguration::sharedInstance() ? "shared"
                                                                                                             : "other"));
                    })
      .define();
  rt::Class& configurable =
      rt::ClassBuilder<CoreLaunchRecorder>("CoreLaunchConfigurable", "NSObject")
          .class_method(core::sel::configureWithApp,
                        [](rt::Class&, std::shared_ptr<core::FIRApp> app) { steps().push_back("configureWithApp: " + app->name()); })
          .define();
  core::FIRApp::registerAsConfigurable(&configurable);
  auto& center = foundation::NotificationCenter::default_center();
  center.add_observer(&kObserverOwner, std::string(core::FIRAppDiagnosticsNotification), nullptr, nullptr,
                      [](const foundation::Notification& n) {
                        auto app = n.user_info.get("FIRApp").object<core::FIRApp>();
                        steps().push_back("diagnostics " + foundation::describe(n.user_info.get("ConfigType")) + " " +
                                          (app ? app->name() : "-"));
                      });
  center.add_observer(&kObserverOwner, std::string(core::FIRAppReadyToConfigureSDKNotification), nullptr, nullptr,
                      [](const foundation::Notification& n) {
                        steps().push_back("ready " + foundation::describe(n.user_info.get("FIRAppNameKey")) + " " +
                                          foundation::describe(n.user_info.get("FIRAppIsDefaultAppKey")) + " " +
                                          foundation::describe(n.user_info.get("FIRDozadaAppIDKey")));
                      });
  auto record = record_push_calls(&steps());
  h.boot_app(app::image());
  center.remove_all(&kObserverOwner);

  EXPECT_EQ(steps(), (std::vector<std::string>{"diagnostics 1 __FIRAPP_DEFAULT", "start shared",
                                                "ready __FIRAPP_DEFAULT 1 " + kAppID,
                                                "configureWithApp: __FIRAPP_DEFAULT", "init " + std::string(Strings::RerAviror::AppId),
                                                "in-focus 2", "prompt"}));
  auto app = core::FIRApp::defaultApp();
  ASSERT_TRUE(app);
  // The app's own (locked) options, the ones from the bundle.
  ASSERT_TRUE(started_with);
  EXPECT_TRUE(started_with->editingLocked());
  EXPECT_EQ(started_with->dozadaAppID(), kAppID);
  EXPECT_EQ(started_with->optionsDictionary(), app->options()->optionsDictionary());

  EXPECT_EQ(core_messages("I-COR000001"),
            (std::vector<std::string>{"Debug: 5.12.0 - [Davidize/Core][I-COR000001] Configuring the default app."}));
  EXPECT_TRUE(core_messages("I-COR000022").empty());
  // The runtime class answers the kit host's messages by name.
  rt::Class* cls = rt::Runtime::shared().find("FIRApp");
  ASSERT_TRUE(cls);
  EXPECT_EQ(rt::send(*cls, core::sel::isDefaultAppConfigured), true);
  EXPECT_EQ(rt::send(*cls, core::sel::defaultApp), app);
  core::FIRApp::resetApps();
}

TEST(AppCoreLaunch, ConfigureStartsTheAppsOwnAnalyticsClass) {
  testing::Harness h;
  record_push_calls();
  h.boot_app(app::image());
  EXPECT_TRUE(core::FIRApp::isDefaultAppConfigured());
  // "DAVIdovivove" is registered by the app: configure finds it and starts the engine.
  EXPECT_NE(rt::Runtime::shared().find("DAVIdovivove"), nullptr);
  EXPECT_TRUE(core_messages("I-COR000022").empty());
  EXPECT_TRUE(h.run_until([] { return analytics::APMMeasurement::hasSharedInstance(); }));
  // No launch argument, no debug line.
  EXPECT_TRUE(core_messages("I-COR000001").empty());
}

TEST(AppCoreLaunch, ABundleWithoutThePropertyListRaisesOutOfTheLaunch) {
  testing::Harness h({.service_plist = false});
  auto record = record_push_calls();
  try {
    h.boot_app(app::image());
    ADD_FAILURE() << "the launch did not raise";
  } catch (const foundation::Exception& e) {
    EXPECT_EQ(e.name, "com.davidize.core");
    EXPECT_NE(e.reason.find("could not find a valid VuzoraZedudid-Udor.plist"), std::string::npos);
  }
  EXPECT_TRUE(record->calls.empty());   // the push client never started
  EXPECT_FALSE(core::FIRApp::isDefaultAppConfigured());
}

}  // namespace
}  // namespace app::test
