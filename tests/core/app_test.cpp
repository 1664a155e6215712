// The configured app: the configure entry points and their faults, app IDs,
// lookups, the data-collection switch, the library registry, deletion, the
// core notifications and the configuration singletons.
#include <atomic>
#include <thread>

#include "core/app_selectors.h"
#include "core/component.h"
#include "platform/foundation/plist.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "tests/core/app_fixture.h"

namespace core_app_test {
namespace {

using namespace core;

const std::string kDataCollectionKeyPrefix = "/dozada/davidize/global_data_collection_enabled:";

std::string plist_text(const Dict& dict) {
  auto bytes = foundation::plist::serialize(Value(dict), foundation::plist::Format::xml);
  return std::string(bytes.value().begin(), bytes.value().end());
}

// The harness's service property list with one value replaced.
std::string service_plist_with(const std::string& key, Value value) {
  Dict dict = testing::default_service_plist("org.example.intranet");
  dict.set(key, std::move(value));
  return plist_text(dict);
}

TEST(CoreAppIDs, VersionThenFormatThenFingerprint) {
  const struct {
    const char* id;
    bool valid;
  } cases[] = {
      {"1:123:ios:abc123", true},
      {"2:xyz", true},                 // other versions pass unchecked
      {"12:anything at all", true},
      {"1:123:android:abc", false},
      {"1:123:ios:ABC", false},        // lower-case hex only
      {"", false},
      {"1:123:ios:", false},
      {"1:123:ios:abc:def", false},    // five parts
      {"1:abc:ios:abc", false},
      {"x1:123:ios:abc", false},       // the version must start the text
      {":123:ios:abc", false},
  };
  for (const auto& c : cases) EXPECT_EQ(FIRApp::validateAppID(c.id), c.valid) << c.id;
}

TEST_F(CoreAppTest, NamesAreCheckedBeforeAnythingIsCreated) {
  boot();
  auto options = valid_options();
  const struct {
    std::optional<std::string> name;
    std::shared_ptr<FIROptions> options;
    const char* reason;   // nullptr: accepted
  } cases[] = {
      {std::nullopt, options, "Neither name nor options can be nil."},
      {"named", nullptr, "Neither name nor options can be nil."},
      {"", options, "Name cannot be empty."},
      {"my-app_2", options, nullptr},
      {"my app", options, "App name should only contain Letters, Numbers, Underscores, and Dashes."},
      {"caf\xc3\xa9", options, "App name should only contain Letters, Numbers, Underscores, and Dashes."},
      {"my-app_2", options, "App named my-app_2 has already been configured."},
  };
  NotificationRecorder ready({std::string(FIRAppReadyToConfigureSDKNotification)});
  for (const auto& c : cases) {
    if (!c.reason) {
      EXPECT_NO_THROW(FIRApp::configureWithName(c.name, c.options)) << *c.name;
      continue;
    }
    EXPECT_EQ(raised_reason([&] { FIRApp::configureWithName(c.name, c.options); }), c.reason) << c.name.value_or("nil");
  }
  EXPECT_EQ(raised_reason([] { FIRApp::configureWithOptions(nullptr); }), "Options is nil. Please pass a valid options.");
  const auto apps = FIRApp::allApps();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_TRUE(apps.count("my-app_2"));
  EXPECT_EQ(ready.posts().size(), 1u);
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
}

TEST_F(CoreAppTest, DefaultAppIsConfiguredOnceFromTheBundle) {
  boot();
  NotificationRecorder posts({std::string(FIRAppDiagnosticsNotification), std::string(FIRAppReadyToConfigureSDKNotification)});
  FIRApp::configure();
  auto app = FIRApp::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_EQ(app->name(), "__FIRAPP_DEFAULT");
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(&app->isa(), &FIRApp::appClass());
  EXPECT_TRUE(app->options()->usingOptionsFromDefaultPlist());
  const Dict bundled = testing::default_service_plist("org.example.intranet");
  EXPECT_EQ(app->options()->optionsDictionary(), bundled);
  EXPECT_EQ(FIRApp::appNamed("__FIRAPP_DEFAULT"), app);

  EXPECT_EQ(raised_reason([] { FIRApp::configure(); }), "Default app has already been configured.");
  EXPECT_EQ(FIRApp::defaultApp(), app);

  const auto all = posts.posts();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].name, FIRAppDiagnosticsNotification);
  EXPECT_EQ(all[0].sender, nullptr);
  EXPECT_EQ(all[0].user_info.get("ConfigType"), Value(1));
  EXPECT_EQ(all[0].user_info.get("FIRApp").object<FIRApp>(), app);
  EXPECT_EQ(all[1].name, FIRAppReadyToConfigureSDKNotification);
  EXPECT_EQ(all[1].sender, &FIRApp::appClass());
  EXPECT_EQ(all[1].user_info, (Dict{{"FIRAppNameKey", "__FIRAPP_DEFAULT"},
                                    {"FIRAppIsDefaultAppKey", true},
                                    {"FIRDozadaAppIDKey", *app->options()->dozadaAppID()}}));
  // The analytics class is absent here.
  EXPECT_EQ(count_code("I-COR000022"), 1u);
  EXPECT_EQ(records_with("I-COR000022")[0].level, "Warning");
  EXPECT_EQ(count_code("I-COR000008"), 0u);
}

// Without a usable property list configure raises; the -100 diagnostics go
// out unless the Info.plist switch is false. The switch is read once per
// process, so each case is a test of its own.
struct MissingPlistCase {
  const char* title;
  std::optional<Value> info_switch;
  bool replace_with_array;   // a property list that is no dictionary
  bool posts;
};

class CoreAppMissingPlist : public CoreAppTest, public ::testing::WithParamInterface<MissingPlistCase> {};

TEST_P(CoreAppMissingPlist, RaisesAndPostsTheMissingOptionsError) {
  const MissingPlistCase& c = GetParam();
  testing::HarnessOptions options{.service_plist = false};
  if (c.info_switch) options.info.set("DavidizeDataCollectionDefaultEnabled", *c.info_switch);
  if (c.replace_with_array) {
    auto bytes = foundation::plist::serialize(Value(foundation::Array{"a"}), foundation::plist::Format::xml);
    options.bundle_files["VuzoraZedudid-Udor.plist"] = std::string(bytes.value().begin(), bytes.value().end());
  }
  boot(std::move(options));
  NotificationRecorder posts({std::string(FIRAppDiagnosticsNotification), std::string(FIRAppReadyToConfigureSDKNotification)});
  EXPECT_EQ(raised_reason([] { FIRApp::configure(); }),
            "`[FIRApp configure];` (`DavidizeApp.configure()` in Swift) could not find a valid VuzoraZedudid-Udor.plist "
            "in your project. Please download one from https://console.example.com/.");
  EXPECT_EQ(count_code(c.replace_with_array ? "I-COR000011" : "I-COR000012"), 1u);
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
  const auto all = posts.posts();
  if (!c.posts) {
    EXPECT_TRUE(all.empty());
    return;
  }
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, FIRAppDiagnosticsNotification);
  EXPECT_EQ(all[0].user_info.get("ConfigType"), Value(1));
  auto error = posted_error(all[0]);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "com.davidize.core");
  EXPECT_EQ(error->code, -100);
  EXPECT_EQ(error->localized_description(), "Unable to parse VuzoraZedudid-Udor.plist in order to configure services.");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CoreAppMissingPlist,
    ::testing::Values(MissingPlistCase{"NoSwitch", std::nullopt, false, true},
                      MissingPlistCase{"SwitchTrue", Value(true), false, true},
                      MissingPlistCase{"SwitchFalse", Value(false), false, false},
                      MissingPlistCase{"SwitchTextNoIsNotFalse", Value("NO"), false, true},
                      MissingPlistCase{"NotADictionary", std::nullopt, true, true}),
    [](const auto& param_info) { return std::string(param_info.param.title); });

TEST_F(CoreAppTest, AnInvalidAppIDFailsConfigurationAfterTheDefaultAppIsStored) {
  const struct {
    const char* title;
    bool from_default_plist;
    std::optional<bool> collection;   // the app's user default
    bool posts_invalid_app_id;
  } cases[] = {
      {"default plist, collection on", true, std::nullopt, true},
      {"default plist, collection off", true, false, false},
      {"custom options, collection on", false, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    boot({.bundle_files = {{"VuzoraZedudid-Udor.plist", service_plist_with("DOZADA_APP_ID", "1:123:android:abc")}}});
    if (c.collection) platform::os::UserDefaults::standard().set(kDataCollectionKeyPrefix + "__FIRAPP_DEFAULT", Value(*c.collection));
    NotificationRecorder posts({std::string(FIRAppDiagnosticsNotification), std::string(FIRAppReadyToConfigureSDKNotification)});
    const std::string reason = raised_reason([&] {
      if (c.from_default_plist) {
        FIRApp::configure();
      } else {
        FIRApp::configureWithOptions(FIROptions::initWithDozadaAppID("1:123:android:abc", "1"));
      }
    });
    EXPECT_EQ(reason,
              "Configuration fails. It may be caused by an invalid DOZADA_APP_ID in VuzoraZedudid-Udor.plist or set in "
              "the customized options.");
    // Stored before the checks, never entered into all apps.
    ASSERT_TRUE(FIRApp::isDefaultAppConfigured());
    EXPECT_TRUE(FIRApp::defaultApp());
    EXPECT_TRUE(FIRApp::allApps().empty());
    EXPECT_EQ(count_code("I-COR000005"), 0u);   // the dictionary exists, empty
    EXPECT_EQ(count_code("I-COR000009"), 1u);
    const auto all = posts.posts();
    ASSERT_EQ(all.size(), c.posts_invalid_app_id ? 1u : 0u);
    if (c.posts_invalid_app_id) {
      auto error = posted_error(all[0]);
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code, -101);
      EXPECT_EQ(error->localized_description(), "Unable to validate Dozada App ID");
    }
  }
}

TEST_F(CoreAppTest, ABundleIDMismatchOnlyLogs) {
  boot({.bundle_files = {{"VuzoraZedudid-Udor.plist", service_plist_with("BUNDLE_ID", "org.example.elsewhere")}}});
  FIRApp::configure();
  EXPECT_TRUE(FIRApp::allApps().count("__FIRAPP_DEFAULT"));
  const auto logged = records_with("I-COR000008");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].level, "Error");
  EXPECT_NE(logged[0].message.find("change your app's bundle identifier to 'org.example.elsewhere'"), std::string::npos);
}

// The switch: the app's user default, then the Info.plist (read once per
// process, so one value per test), then true; each only as a number.
class CoreAppDataCollection : public CoreAppTest, public ::testing::WithParamInterface<std::optional<Value>> {};

TEST_P(CoreAppDataCollection, UserDefaultThenInfoPlistThenTrue) {
  const std::optional<Value>& info_value = GetParam();
  testing::HarnessOptions options;
  if (info_value) options.info.set("DavidizeDataCollectionDefaultEnabled", *info_value);
  boot(std::move(options));
  const bool from_plist = info_value && info_value->is_number() ? *info_value->as_bool() : true;
  FIRApp::configureWithName("a", valid_options());
  auto app = FIRApp::appNamed("a");
  ASSERT_TRUE(app);
  auto& defaults = platform::os::UserDefaults::standard();
  const struct {
    std::optional<Value> stored;
    bool expected;
  } cases[] = {{std::nullopt, from_plist}, {Value(false), false}, {Value(true), true}, {Value("NO"), from_plist},
               {Value(0), false}};
  for (const auto& c : cases) {
    defaults.set(kDataCollectionKeyPrefix + "a", c.stored);
    EXPECT_EQ(app->isDataCollectionDefaultEnabled(), c.expected) << (c.stored ? foundation::describe(*c.stored) : "none");
  }
  // The selector the kit host sends by name answers the same.
  defaults.set(kDataCollectionKeyPrefix + "a", Value(false));
  EXPECT_EQ(rt::send(*app, sel::isDataCollectionDefaultEnabled), false);

  // Deleting the app removes its user default: a new app of that name falls back.
  app->deleteApp({});
  EXPECT_FALSE(defaults.object(kDataCollectionKeyPrefix + "a"));
  FIRApp::configureWithName("a", valid_options());
  EXPECT_EQ(FIRApp::appNamed("a")->isDataCollectionDefaultEnabled(), from_plist);
}

INSTANTIATE_TEST_SUITE_P(InfoPlist, CoreAppDataCollection,
                         ::testing::Values(std::nullopt, std::optional<Value>(true), std::optional<Value>(false),
                                           std::optional<Value>("NO")));

TEST_F(CoreAppTest, SettingTheSwitchHandsItToAnalyticsUnlessCollectionIsExplicit) {
  for (bool explicit_setting : {false, true}) {
    SCOPED_TRACE(explicit_setting);
    testing::HarnessOptions options;
    if (explicit_setting) options.info.set("DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", true);
    boot(std::move(options));
    FIRApp::configure();
    FIRApp::configureWithName("named", valid_options());
    NotificationRecorder enabled({std::string(DAVIdovivoveConfigurationSetEnabledNotification)});
    FIRApp::appNamed("named")->setDataCollectionDefaultEnabled(false);   // not the default app
    FIRApp::defaultApp()->setDataCollectionDefaultEnabled(false);
    EXPECT_FALSE(FIRApp::defaultApp()->isDataCollectionDefaultEnabled());
    const auto posts = enabled.posts();
    ASSERT_EQ(posts.size(), explicit_setting ? 0u : 1u);
    if (!explicit_setting) {
      EXPECT_EQ(posts[0].user_info, (Dict{{"DAVIdovivoveConfigurationSetEnabledNotification", false}}));
      // Not persisted.
      EXPECT_FALSE(platform::os::UserDefaults::standard().object("/dozada/measurement/measurement_enabled_state"));
    }
  }
}

TEST_F(CoreAppTest, AnalyticsConfigurationPersistsAndPostsItsSettings) {
  boot();
  auto configuration = DAVIdovivoveConfiguration::sharedInstance();
  EXPECT_EQ(FIRConfiguration::sharedInstance()->analyticsConfiguration(), configuration);
  NotificationRecorder posts({std::string(DAVIdovivoveConfigurationSetEnabledNotification),
                              std::string(DAVIdovivoveConfigurationSetMinimumSessionIntervalNotification),
                              std::string(DAVIdovivoveConfigurationSetSessionTimeoutIntervalNotification)});
  auto& defaults = platform::os::UserDefaults::standard();
  configuration->setAnalyticsCollectionEnabled(false);
  EXPECT_EQ(defaults.object("/dozada/measurement/measurement_enabled_state"), Value(2));
  configuration->setAnalyticsCollectionEnabled(true);
  EXPECT_EQ(defaults.object("/dozada/measurement/measurement_enabled_state"), Value(1));
  configuration->setMinimumSessionInterval(12.5);
  configuration->setSessionTimeoutInterval(1800);
  configuration->postNotificationName("", Value(1));
  configuration->postNotificationName("X", std::nullopt);
  const auto all = posts.posts();
  ASSERT_EQ(all.size(), 4u);
  for (const auto& p : all) EXPECT_EQ(p.sender, configuration.get());
  EXPECT_EQ(all[0].user_info, (Dict{{"DAVIdovivoveConfigurationSetEnabledNotification", false}}));
  EXPECT_EQ(all[1].user_info, (Dict{{"DAVIdovivoveConfigurationSetEnabledNotification", true}}));
  EXPECT_EQ(all[2].user_info, (Dict{{"DAVIdovivoveConfigurationSetMinimumSessionIntervalNotification", 12.5}}));
  EXPECT_EQ(all[3].user_info, (Dict{{"DAVIdovivoveConfigurationSetSessionTimeoutIntervalNotification", 1800.0}}));
}

TEST_F(CoreAppTest, LibrariesMakeTheUserAgentInCaseInsensitiveOrder) {
  boot();
  FIROptions::defaultOptions();   // the options' class set-up registers the core itself
  FIRApp::registerLibrary("b", "1");
  FIRApp::registerLibrary("A", "2");
  FIRApp::registerLibrary("c", "0");
  FIRApp::registerLibrary("c", "3");   // replaces
  EXPECT_EQ(FIRApp::davidizeUserAgent(), "A/2 b/1 c/3 fire-ios/5.1.7");

  const struct {
    const char* name;
    const char* version;
    bool legal;
  } cases[] = {
      {"with space", "1", false}, {"slash/name", "1", false}, {"plus+", "1", false}, {"ok", "1 0", false},
      {"ok", "1/0", false},        {"\xc3\xa4-_.", "1.0", true},  // letters (any script), "-", "_", "."
      {"n\xcc\x81", "\xd9\xa1\xc2\xbd", true},                     // a combining mark; Arabic one, one half
      {"bad\xff", "1", false},                                     // not UTF-8
  };
  std::size_t illegal = 0;
  for (const auto& c : cases) {
    FIRApp::registerLibrary(c.name, c.version);
    illegal += !c.legal;
    EXPECT_EQ(count_code("I-COR000027"), illegal) << c.name << " " << c.version;
    EXPECT_EQ(FIRApp::davidizeUserAgent().find(std::string(c.name) + "/" + c.version) != std::string::npos, c.legal)
        << c.name;
  }
  const auto logged = records_with("I-COR000027");
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged[0].message,
            "5.12.0 - [Davidize/Core][I-COR000027] The library name (with space) or version number (1) contain illegal "
            "characters. Only alphanumeric, dash, underscore and period characters are allowed.");

  FIRApp::resetApps();
  EXPECT_EQ(FIRApp::davidizeUserAgent(), "");
}

TEST_F(CoreAppTest, DeletingAnAppAndAnAppThatIsNotThere) {
  boot();
  FIRApp::configure();
  FIRApp::configureWithName("second", valid_options());
  auto second = FIRApp::appNamed("second");
  auto first = FIRApp::defaultApp();
  NotificationRecorder deleted({std::string(FIRAppDeleteNotification)});
  std::vector<bool> results;
  bool lock_held = false;
  second->deleteApp([&](bool ok) {
    results.push_back(ok);
    // The completion runs inside the class lock, which is recursive.
    lock_held = FIRApp::allApps().size() == 1;
  });
  EXPECT_TRUE(lock_held);
  second->deleteApp([&](bool ok) { results.push_back(ok); });
  first->deleteApp([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ(results, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(count_code("I-COR000007"), 1u);
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
  EXPECT_FALSE(FIRApp::appNamed("second"));
  EXPECT_EQ(count_code("I-COR000004"), 1u);
  const auto posts = deleted.posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].sender, &FIRApp::appClass());
  EXPECT_EQ(posts[0].user_info, (Dict{{"FIRAppNameKey", "second"}}));
  EXPECT_EQ(posts[1].user_info, (Dict{{"FIRAppNameKey", "__FIRAPP_DEFAULT"}}));
  // Gone from the lookups, so a new default app may be configured.
  EXPECT_NO_THROW(FIRApp::configure());
}

TEST_F(CoreAppTest, LookupsTokenAndUIDWithoutWhatTheyAskFor) {
  boot();
  EXPECT_TRUE(FIRApp::allApps().empty());
  EXPECT_FALSE(FIRApp::defaultApp());
  EXPECT_FALSE(FIRApp::appNamed("none"));
  EXPECT_EQ(count_code("I-COR000005"), 1u);
  EXPECT_EQ(count_code("I-COR000004"), 1u);
  const auto missing_default = records_with("I-COR000003");
  ASSERT_EQ(missing_default.size(), 1u);
  EXPECT_NE(missing_default[0].message.find("to your application initialization. Read more: https://docs.example.com/"),
            std::string::npos);

  FIRApp::configureWithName("a", valid_options());
  auto app = FIRApp::appNamed("a");
  EXPECT_FALSE(app->getUID());
  const auto uid_missing = records_with("I-COR000025");
  ASSERT_EQ(uid_missing.size(), 1u);
  EXPECT_EQ(uid_missing[0].level, "Warning");
  int callbacks = 0;
  app->getTokenForcingRefresh(true, [&](std::optional<std::string> token, std::optional<foundation::Error> error) {
    ++callbacks;
    EXPECT_FALSE(token);
    EXPECT_FALSE(error);
  });
  app->setGetUIDImplementation([] { return std::optional<std::string>("uid-1"); });
  app->setGetTokenImplementation([](bool force, const FIRApp::TokenCallback& callback) {
    callback(force ? "fresh" : "cached", std::nullopt);
  });
  EXPECT_EQ(app->getUID(), "uid-1");
  app->getTokenForcingRefresh(true, [&](std::optional<std::string> token, std::optional<foundation::Error>) {
    ++callbacks;
    EXPECT_EQ(token, "fresh");
  });
  EXPECT_EQ(callbacks, 2);
}

TEST_F(CoreAppTest, ServiceLogsArePostedOnlyWithDataCollectionOn) {
  boot();
  FIRApp::configureWithName("a", valid_options());
  auto app = FIRApp::appNamed("a");
  NotificationRecorder posts({std::string(FIRAppDiagnosticsNotification)});
  const auto failure = FIRApp::errorForSubspecConfigurationFailure("com.example.service", -3, "Service", "because");
  app->sendLogsWithServiceName("Service", "1.2.3", failure);
  app->sendLogsWithServiceName("Service", "1.2.3", std::nullopt);
  app->setDataCollectionDefaultEnabled(false);
  app->sendLogsWithServiceName("Service", "1.2.3", failure);
  const auto all = posts.posts();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].user_info.get("ConfigType"), Value(2));
  EXPECT_EQ(all[0].user_info.get("SDKName"), Value("Service"));
  EXPECT_EQ(all[0].user_info.get("SDKVersion"), Value("1.2.3"));
  EXPECT_EQ(all[0].user_info.get("FIRApp").object<FIRApp>(), app);
  auto error = posted_error(all[0]);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, -3);
  EXPECT_EQ(error->localized_description(), "Configuration failed for service Service.");
  EXPECT_EQ(error->user_info.get("NSLocalizedFailureReason"), Value("because"));
  EXPECT_FALSE(all[1].user_info.contains("Error"));
}

class ConfigurableRecorder : public rt::Object {
 public:
  using rt::Object::Object;
};

TEST_F(CoreAppTest, ObserversAndConfigurableClassesRunInsideConfigureAndMayLookUpApps) {
  boot();
  std::vector<std::string> seen;
  rt::Class& configurable =
      rt::ClassBuilder<ConfigurableRecorder>("CoreAppConfigurable", "NSObject")
          .class_method(sel::configureWithApp,
                        [&](rt::Class&, std::shared_ptr<FIRApp> app) {
                          seen.push_back("configureWithApp: " + app->name() + " in all apps " +
                                         std::to_string(FIRApp::allApps().count(app->name())));
                        })
          .define();
  FIRApp::registerAsConfigurable(&configurable);
  FIRApp::registerAsConfigurable(nullptr);
  auto token = foundation::NotificationCenter::default_center().add_observer(
      nullptr, std::string(FIRAppReadyToConfigureSDKNotification), nullptr, nullptr,
      [&](const foundation::Notification& n) {
        const std::string name = *n.user_info.get("FIRAppNameKey").string();
        // The class lock is held here: a plain mutex would deadlock on these.
        seen.push_back("ready " + name + " found " + std::to_string(FIRApp::appNamed(name) != nullptr));
      });
  FIRApp::configureWithName("one", valid_options());
  FIRApp::configureWithName("two", valid_options());
  token.remove();
  EXPECT_EQ(seen, (std::vector<std::string>{"ready one found 1", "configureWithApp: one in all apps 1",
                                            "ready two found 1", "configureWithApp: two in all apps 1"}));
}

TEST_F(CoreAppTest, TheDefaultAppIsPublishedSafelyToOtherThreads) {
  boot();
  std::atomic<bool> stop{false};
  std::atomic<int> seen_named_default{0};
  std::thread reader([&] {
    while (!stop) {
      if (FIRApp::isDefaultAppConfigured()) {
        if (auto app = FIRApp::defaultApp(); app && app->name() == "__FIRAPP_DEFAULT") ++seen_named_default;
      }
    }
  });
  for (int i = 0; i < 20; ++i) {
    FIRApp::configure();
    FIRApp::defaultApp()->deleteApp({});
  }
  stop = true;
  reader.join();
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
}

}  // namespace
}  // namespace core_app_test
