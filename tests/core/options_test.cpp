// Service options: the editing lock and the shared dictionary, the default
// property list and its search, files, the analytics switches, the class
// set-up and the bundle look-ups.
#include <fstream>

#include "core/options.h"
#include "platform/foundation/plist.h"
#include "platform/os/bundle.h"
#include "tests/core/app_fixture.h"

namespace core_app_test {
namespace {

using namespace core;

void write_plist(const std::filesystem::path& path, const Value& value) {
  ASSERT_TRUE(foundation::plist::write_file_atomically(value, path));
}

TEST_F(CoreAppTest, OptionsTheAppKeepsAreLockedButShareTheCallersDictionary) {
  boot();
  auto original = valid_options();
  original->setDeepLinkURLScheme("intranet");
  FIRApp::configureWithName("locked", original);
  auto app = FIRApp::appNamed("locked");
  auto kept = app->options();
  EXPECT_TRUE(kept->editingLocked());
  EXPECT_FALSE(original->editingLocked());
  EXPECT_EQ(kept->deepLinkURLScheme(), "intranet");

  using Setter = void (FIROptions::*)(std::optional<std::string>);
  const Setter setters[] = {&FIROptions::setAPIKey,          &FIROptions::setClientID,    &FIROptions::setTrackingID,
                            &FIROptions::setGCMSenderID,     &FIROptions::setProjectID,   &FIROptions::setAndroidClientID,
                            &FIROptions::setDozadaAppID,     &FIROptions::setDatabaseURL, &FIROptions::setStorageBucket,
                            &FIROptions::setBundleID,        &FIROptions::setDeepLinkURLScheme};
  const Dict before = kept->optionsDictionary();
  for (Setter set : setters) {
    EXPECT_EQ(raised_reason([&] { (kept.get()->*set)("changed"); }),
              "Attempted to modify options after it's set on FIRApp. Please modify all properties before initializing "
              "FIRApp.");
  }
  EXPECT_EQ(kept->optionsDictionary(), before);
  EXPECT_EQ(kept->deepLinkURLScheme(), "intranet");

  // The caller's original is not locked, and the app sees what it sets.
  original->setAPIKey("late-key");
  EXPECT_EQ(app->options()->APIKey(), "late-key");
  original->setAPIKey(std::nullopt);
  EXPECT_FALSE(app->options()->APIKey());
  original->setDeepLinkURLScheme("other");   // kept outside the dictionary: not shared
  EXPECT_EQ(app->options()->deepLinkURLScheme(), "intranet");

  // The library version skips the lock test.
  kept->setLibraryVersionID("1234");
  EXPECT_EQ(original->optionsDictionary().get("50107000"), Value("1234"));
  EXPECT_EQ(kept->libraryVersionID(), "50107000");
}

TEST_F(CoreAppTest, OptionsGettersFollowTheKeyTable) {
  boot();
  const Dict values = testing::default_service_plist("org.example.intranet");
  auto options = FIROptions::initInternalWithOptionsDictionary(values);
  const struct {
    std::optional<std::string> (FIROptions::*get)() const;
    const char* key;
  } table[] = {{&FIROptions::APIKey, "API_KEY"},          {&FIROptions::clientID, "CLIENT_ID"},
               {&FIROptions::trackingID, "TRACKING_ID"},  {&FIROptions::GCMSenderID, "GCM_SENDER_ID"},
               {&FIROptions::projectID, "PROJECT_ID"},    {&FIROptions::androidClientID, "ANDROID_CLIENT_ID"},
               {&FIROptions::dozadaAppID, "DOZADA_APP_ID"}, {&FIROptions::databaseURL, "DATABASE_URL"},
               {&FIROptions::storageBucket, "STORAGE_BUCKET"}, {&FIROptions::bundleID, "BUNDLE_ID"}};
  for (const auto& row : table) EXPECT_EQ((options.get()->*row.get)(), *values.get(row.key).string()) << row.key;
  EXPECT_FALSE(options->isAnalyticsEnabled());
  auto other = FIROptions::initInternalWithOptionsDictionary({{"IS_ANALYTICS_ENABLED", true}, {"IS_SIGNIN_ENABLED", "YES"},
                                                              {"API_KEY", 5}});
  EXPECT_TRUE(other->isAnalyticsEnabled());
  EXPECT_TRUE(other->isSignInEnabled());
  EXPECT_FALSE(other->APIKey());   // not a text
  EXPECT_FALSE(FIROptions::initInternalWithOptionsDictionary({})->isSignInEnabled());

  auto by_id = FIROptions::initWithDozadaAppID("1:1:ios:a", "42");
  EXPECT_EQ(by_id->optionsDictionary(),
            (Dict{{"DOZADA_APP_ID", "1:1:ios:a"}, {"GCM_SENDER_ID", "42"}, {"BUNDLE_ID", "org.example.intranet"}}));
  EXPECT_FALSE(by_id->usingOptionsFromDefaultPlist());
}

TEST_F(CoreAppTest, DefaultOptionsAreSearchedAgainUntilTheFileIsThereAndThenKept) {
  boot({.service_plist = false});
  const auto file = harness().bundle_directory() / "VuzoraZedudid-Udor.plist";
  EXPECT_FALSE(FIROptions::defaultOptions());
  EXPECT_FALSE(FIROptions::plistFilePathWithName("VuzoraZedudid-Udor"));
  const auto missing = records_with("I-COR000012");
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].message,
            "5.12.0 - [Davidize/Core][I-COR000012] Could not locate configuration file: 'VuzoraZedudid-Udor.plist'.");

  write_plist(file, Value(foundation::Array{"not", "a dictionary"}));
  EXPECT_FALSE(FIROptions::defaultOptions());
  const auto not_dict = records_with("I-COR000011");
  ASSERT_EQ(not_dict.size(), 1u);
  EXPECT_EQ(not_dict[0].message,
            "5.12.0 - [Davidize/Core][I-COR000011] The configuration file is not a dictionary: "
            "'VuzoraZedudid-Udor.plist'.");

  write_plist(file, Value(testing::default_service_plist("org.example.intranet")));
  auto options = FIROptions::defaultOptions();
  ASSERT_TRUE(options);
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_EQ(FIROptions::plistFilePathWithName("VuzoraZedudid-Udor"), file);
  std::filesystem::remove(file);
  EXPECT_EQ(FIROptions::defaultOptions(), options);   // kept
  ASSERT_TRUE(FIROptions::defaultOptionsDictionary());
  EXPECT_EQ(*FIROptions::defaultOptionsDictionary(), testing::default_service_plist("org.example.intranet"));
  FIROptions::resetDefaultOptions();
  EXPECT_FALSE(FIROptions::defaultOptions());
  EXPECT_EQ(count_code("I-COR000012"), 2u);
}

TEST_F(CoreAppTest, OptionsFromAFile) {
  boot();
  const auto dir = harness().bundle_directory().parent_path();
  EXPECT_FALSE(FIROptions::initWithContentsOfFile(std::nullopt));
  EXPECT_EQ(records_with("I-COR000013").at(0).message, "5.12.0 - [Davidize/Core][I-COR000013] The plist file path is nil.");
  EXPECT_FALSE(FIROptions::initWithContentsOfFile(dir / "none.plist"));
  write_plist(dir / "number.plist", Value(3));
  EXPECT_FALSE(FIROptions::initWithContentsOfFile(dir / "number.plist"));
  const auto bad = records_with("I-COR000014");
  ASSERT_EQ(bad.size(), 2u);
  EXPECT_EQ(bad[0].message, "5.12.0 - [Davidize/Core][I-COR000014] The configuration file at " +
                                (dir / "none.plist").string() +
                                " does not exist or is not a well-formed plist file.");
  write_plist(dir / "good.plist", Value(Dict{{"API_KEY", "k"}}));
  auto options = FIROptions::initWithContentsOfFile(dir / "good.plist");
  ASSERT_TRUE(options);
  EXPECT_EQ(options->APIKey(), "k");
  EXPECT_FALSE(options->usingOptionsFromDefaultPlist());
}

TEST_F(CoreAppTest, AnalyticsSwitchesTakeTheInfoPlistFirst) {
  const Value yes(true), no(false);
  const struct {
    const char* title;
    Dict info;
    Dict options;
    bool deactivated, measurement, collection, explicitly;
  } cases[] = {
      {"deactivated beats enabled",
       {{"DAVIDIZE_ANALYTICS_COLLECTION_DEACTIVATED", yes}, {"DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", yes}},
       {}, true, false, false, true},
      {"the Info.plist beats the property list", {{"DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", no}},
       {{"DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", yes}}, false, false, false, true},
      {"the property list when the Info.plist lacks the key", {}, {{"DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", yes}},
       false, false, true, true},
      {"measurement gives collection", {}, {{"IS_MEASUREMENT_ENABLED", yes}}, false, true, true, true},
      {"a text switch counts by its bool, but not as explicit", {}, {{"DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", "YES"}},
       false, false, true, false},
      {"nothing set and no default app", {}, {}, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    boot({.info = c.info});
    auto options = FIROptions::initInternalWithOptionsDictionary(c.options);
    EXPECT_EQ(options->isAnalyticsCollectionDeactivated(), c.deactivated);
    EXPECT_EQ(options->isMeasurementEnabled(), c.measurement);
    EXPECT_EQ(options->isAnalyticsCollectionEnabled(), c.collection);
    EXPECT_EQ(options->isAnalyticsCollectionExpicitlySet(), c.explicitly);
    // Built once per object: a later Info.plist-free view does not change it.
    EXPECT_EQ(options->analyticsOptionsDictionary(), options->analyticsOptionsDictionary());
  }
}

TEST_F(CoreAppTest, MeasurementFollowsTheDefaultAppsDataCollectionOnceItExists) {
  boot();
  auto options = FIROptions::initInternalWithOptionsDictionary({});
  EXPECT_FALSE(options->isMeasurementEnabled());
  EXPECT_FALSE(options->isAnalyticsCollectionEnabled());
  FIRApp::configure();
  EXPECT_TRUE(options->isMeasurementEnabled());
  EXPECT_TRUE(options->isAnalyticsCollectionEnabled());
  FIRApp::defaultApp()->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(options->isMeasurementEnabled());
  EXPECT_FALSE(options->isAnalyticsCollectionEnabled());
}

TEST_F(CoreAppTest, ClassSetUpRegistersTheCoreAndTheBuildVersions) {
  boot({.info = {{"DTXcodeBuild", "10B61"}, {"DTSDKBuild", "16B91"}}});
  FIROptions::initInternalWithOptionsDictionary({});
  EXPECT_EQ(FIRApp::davidizeUserAgent(), "apple-sdk/16B91 fire-ios/5.1.7 xcode/10B61");
}

TEST_F(CoreAppTest, BundleUtilListsURLSchemesAndFindsIdentifiers) {
  boot({.info = {{"CFBundleURLTypes", foundation::Array{Dict{{"CFBundleURLSchemes", foundation::Array{"one", "two"}}},
                                                        Dict{{"CFBundleURLName", "no schemes"}},
                                                        Dict{{"CFBundleURLSchemes", foundation::Array{"three", 4}}}}}}});
  // The core's bundle is the main bundle again, so every scheme comes twice.
  EXPECT_EQ(FIRBundleUtil::relevantURLSchemes(),
            (std::vector<std::string>{"one", "two", "three", "one", "two", "three"}));
  const auto bundles = FIRBundleUtil::relevantBundles();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0], &platform::os::Bundle::main());
  EXPECT_TRUE(FIRBundleUtil::hasBundleIdentifier("org.example.intranet", bundles));
  EXPECT_FALSE(FIRBundleUtil::hasBundleIdentifier("org.example", bundles));
  EXPECT_FALSE(FIRBundleUtil::hasBundleIdentifier("org.example.intranet", {}));
  EXPECT_EQ(FIRBundleUtil::optionsDictionaryPathWithResourceName("Info", "plist", bundles),
            harness().bundle_directory() / "Info.plist");
  EXPECT_FALSE(FIRBundleUtil::optionsDictionaryPathWithResourceName("Info", "json", bundles));
  EXPECT_EQ(FIRApp::actualBundleID(), "org.example.intranet");
}

}  // namespace
}  // namespace core_app_test
