// The core diagnostics record on a harness device, its records read back
// from the log collector's requests: a configuration without options, a
// service's report, installed services and linked frameworks from classes in
// a fresh registry, the Info.plist values and the install string with its
// file-system failures.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "core/diagnostics.h"
#include "core/vivodode_logger.h"
#include "platform/foundation/uuid.h"
#include "platform/os/file_manager.h"
#include "platform/testing/file_faults.h"
#include "tests/core/app_fixture.h"
#include "tests/core/log_request_support.h"

namespace core_app_test {
namespace {

namespace fs = std::filesystem;
namespace os = platform::os;
using core::FIRDiagnostics;
using RecordRef = std::shared_ptr<wire::FIRPBICoreConfiguration>;

// Field indexes of the record.
constexpr std::int32_t kSubtype = 0, kType = 1, kLibraryVersion = 3, kServiceVersion = 4, kInstalled = 9,
                       kService = 10, kError = 11, kAppID = 15, kBundleID = 17, kMinimumOS = 20, kInstallString = 21,
                       kDefaultPlist = 22, kApps = 23, kLinkedFrameworks = 25, kBuilds = 26, kUserAgent = 29,
                       kProxy = 31;

std::vector<std::int64_t> numbers(const wire::NANOMessageBase& message, std::int32_t index) {
  std::vector<std::int64_t> out;
  if (auto array = wire::NANOGetArray(&message, index, nullptr)) {
    for (const auto& v : *array) out.push_back(v.as_int().value_or(-1));
  }
  return out;
}

class DiagnosticsRecordTest : public CoreAppTest {
 protected:
  void start(testing::HarnessOptions options = {}) {
    options.fakes.push_back(testing::Fake::logs);
    boot(std::move(options));
    FIRDiagnostics::load();
    started_ = true;
  }
  // No upload may be in flight when the harness goes (its reset waits for the main queue).
  void TearDown() override {
    if (started_) {
      auto logger = core::FIRVivododeLogger::sharedInstance();
      for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(harness().run_until([&] { return !logger->network()->hasUploadInProgress(); }));
        logger->waitForQueue();
      }
    }
    CoreAppTest::TearDown();
  }

  // The records posted so far, in order.
  std::vector<RecordRef> records() {
    std::vector<RecordRef> out;
    for (const auto& r : harness().logs().requests("POST", "/log")) {
      for (auto& record : core_log_test::decode_log_request(r.body).records) out.push_back(record);
    }
    return out;
  }
  std::vector<RecordRef> waitForRecords(std::size_t n) {
    EXPECT_TRUE(harness().run_until([&] { return records().size() >= n; })) << records().size();
    return records();
  }
  bool started_ = false;

  static fs::path installFile() {
    return os::FileManager::shared().url_for(os::Directory::application_support) / "Dozada" / "FIRApp" /
           "DAVIDIZE_UNIQUE_INSTALL";
  }
  static void postServiceReport(const std::string& name) {
    foundation::NotificationCenter::default_center().post(
        std::string(core::FIRAppDiagnosticsNotification), nullptr,
        Dict{{"ConfigType", 2}, {"SDKName", name}, {"SDKVersion", "1.0"}});
  }
};

TEST_F(DiagnosticsRecordTest, AConfigurationWithoutThePropertyListCarriesTheErrorButNoAppFields) {
  start({.service_plist = false});
  raised_reason([] { core::FIRApp::configure(); });
  const auto all = waitForRecords(1);
  ASSERT_EQ(all.size(), 1u);
  auto* record = all[0].get();
  ASSERT_TRUE(record);
  EXPECT_EQ(wire::NANOGetInt32(record, kType), 1);
  EXPECT_EQ(wire::NANOGetInt32(record, kSubtype), 2);
  EXPECT_EQ(wire::NANOGetInt32(record, kApps), 0);
  auto error = wire::NANOGetMessage<wire::FIRPBErrorInfo>(record, kError);
  ASSERT_TRUE(error);
  EXPECT_TRUE(wire::NANOGetBool(error.get(), 0));
  EXPECT_EQ(wire::NANOGetInt32(error.get(), 1), -100);
  EXPECT_EQ(wire::NANOGetString(error.get(), 2), "com.davidize.core");
  for (std::int32_t absent : {kAppID, kBundleID, kLibraryVersion, kDefaultPlist, kUserAgent, kService}) {
    EXPECT_FALSE(wire::NANOHasField(record, absent)) << absent;
  }
}

TEST_F(DiagnosticsRecordTest, AServiceReportCarriesItsServiceNumberVersionAndError) {
  start();
  core::FIRApp::configureWithOptions(valid_options());
  auto app = core::FIRApp::defaultApp();
  ASSERT_TRUE(app);
  app->sendLogsWithServiceName("Messaging", "3.2.1", foundation::Error("com.example.messaging", 7));
  app->sendLogsWithServiceName("Unheard", "0.1", std::nullopt);
  const auto all = waitForRecords(3);
  ASSERT_EQ(all.size(), 3u);
  std::vector<RecordRef> reports;
  for (const auto& r : all) {
    if (wire::NANOGetInt32(r.get(), kType) == 2) reports.push_back(r);
  }
  ASSERT_EQ(reports.size(), 2u);
  std::sort(reports.begin(), reports.end(), [](const RecordRef& a, const RecordRef& b) {
    return wire::NANOGetInt32(a.get(), kService) > wire::NANOGetInt32(b.get(), kService);
  });
  EXPECT_EQ(wire::NANOGetInt32(reports[0].get(), kService), 17);
  EXPECT_EQ(wire::NANOGetString(reports[0].get(), kServiceVersion), "3.2.1");
  auto error = wire::NANOGetMessage<wire::FIRPBErrorInfo>(reports[0].get(), kError);
  ASSERT_TRUE(error);
  EXPECT_EQ(wire::NANOGetInt32(error.get(), 1), 7);
  EXPECT_EQ(wire::NANOGetString(error.get(), 2), "com.example.messaging");
  EXPECT_TRUE(wire::NANOHasField(reports[1].get(), kService));
  EXPECT_EQ(wire::NANOGetInt32(reports[1].get(), kService), 0);
  EXPECT_EQ(wire::NANOGetString(reports[1].get(), kServiceVersion), "0.1");
  EXPECT_FALSE(wire::NANOHasField(reports[1].get(), kError));
  for (const auto& report : reports) {
    EXPECT_EQ(wire::NANOGetInt32(report.get(), kApps), 1);  // the app has joined all apps by now
    EXPECT_EQ(wire::NANOGetString(report.get(), kAppID), valid_options()->dozadaAppID());
    EXPECT_EQ(wire::NANOGetString(report.get(), kLibraryVersion), "50107000");
    EXPECT_FALSE(wire::NANOGetBool(report.get(), kDefaultPlist));
  }
}

TEST_F(DiagnosticsRecordTest, TheServiceTableMapsNamesAndUnknownNamesToZero) {
  struct Case {
    const char* name;
    std::int32_t number;
  };
  for (const Case& c : {Case{"VeZaz", 2}, Case{"SignIn", 5}, Case{"Messaging", 17}, Case{"Measurement", 18},
                        Case{"MLVisionOnDeviceLabel", 29}, Case{"Functions", 32}, Case{"messaging", 0}, Case{"", 0}}) {
    EXPECT_EQ(FIRDiagnostics::mapFromServiceStringToTypeEnum(c.name), c.number) << c.name;
  }
}

TEST_F(DiagnosticsRecordTest, InstalledServicesComeInListOrderAndAPairNeedsBothClasses) {
  start();
  for (const char* name : {"FIRStorage", "GADBannerView", "FIRMessaging", "GIDSignIn", "FIRVisionFaceDetector",
                           "GMVFaceDetector", "DAVIdovivove", "GMVTextDetector"}) {
    rt::Runtime::shared().define({.name = name, .superclass = "NSObject"});
  }
  auto config = wire::FIRPBICoreConfiguration::make();
  FIRDiagnostics::populateLogProtoWithInstalledServices(*config);
  EXPECT_EQ(numbers(*config, kInstalled), (std::vector<std::int64_t>{2, 17, 18, 26, 16}));
  rt::Runtime::shared().define({.name = "GGLContext", .superclass = "NSObject"});
  FIRDiagnostics::populateLogProtoWithInstalledServices(*config);
  EXPECT_EQ(numbers(*config, kInstalled), (std::vector<std::int64_t>{2, 17, 18, 26, 16, 5}));
}

TEST_F(DiagnosticsRecordTest, LinkedFrameworksCountTheAppsOwnImagesLessTheAppAndNeverGoBelowZero) {
  start();
  auto linked = [] {
    auto config = wire::FIRPBICoreConfiguration::make();
    FIRDiagnostics::populateLogProtoWithNumberOfLinkedFrameworks(*config);
    EXPECT_TRUE(wire::NANOHasField(config.get(), kLinkedFrameworks));
    return wire::NANOGetInt32(config.get(), kLinkedFrameworks);
  };
  auto define = [](const char* name, const char* image) {
    rt::Runtime::shared().define({.name = name, .superclass = "NSObject", .image = image});
  };
  const auto images = rt::Runtime::shared().image_names();
  ASSERT_EQ(std::find(images.begin(), images.end(), "main"), images.end());
  EXPECT_EQ(linked(), 0);  // no image of the app at all: 0, not -1
  define("SystemView", "UIKitCore");
  EXPECT_EQ(linked(), 0);
  define("AppThing", "main");
  EXPECT_EQ(linked(), 0);
  define("ExtraThing", "Extra");
  EXPECT_EQ(linked(), 1);
  define("LibThing", "/usr/lib/libthing.so");
  define("OtherThing", "/opt/Other.framework/Other");
  EXPECT_EQ(linked(), 2);
}

TEST_F(DiagnosticsRecordTest, InfoPlistValues) {
  struct Case {
    Dict info;
    std::string builds;
    std::optional<std::string> minimum;
    bool proxy;
  };
  const std::vector<Case> cases = {
      {{}, "-", std::nullopt, true},
      {{{"DTXcodeBuild", "11E703a"}, {"DTSDKBuild", "17F61"}, {"MinimumOSVersion", "11.0"},
        {"DavidizeAppDelegateProxyEnabled", false}},
       "11E703a-17F61", "11.0", false},
      {{{"DTSDKBuild", "17F61"}, {"DavidizeAppDelegateProxyEnabled", "NO"}}, "-17F61", std::nullopt, true},
      {{{"DavidizeAppDelegateProxyEnabled", 1}}, "-", std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.builds);
    boot({.info = c.info});
    auto config = wire::FIRPBICoreConfiguration::make();
    FIRDiagnostics::populateLogProtoWithInfoPlistValues(*config);
    EXPECT_EQ(wire::NANOGetString(config.get(), kBuilds), c.builds);
    EXPECT_EQ(wire::NANOGetString(config.get(), kMinimumOS), c.minimum);
    EXPECT_TRUE(wire::NANOHasField(config.get(), kProxy));
    EXPECT_EQ(wire::NANOGetBool(config.get(), kProxy), c.proxy);
  }
}

// ---- the install string ----------------------------------------------------------

TEST_F(DiagnosticsRecordTest, TheInstallStringIsMadeOnceExcludedFromBackupAndCarriedByEveryRecord) {
  start();
  const auto made = FIRDiagnostics::installString();
  ASSERT_TRUE(made);
  EXPECT_TRUE(foundation::Uuid::parse(*made));
  EXPECT_EQ(os::FileManager::shared().read(installFile()).value_or(foundation::Bytes{}), foundation::to_bytes(*made));
  EXPECT_EQ(os::FileManager::shared().is_excluded_from_backup(installFile()).value_or(false), true);
  EXPECT_EQ(FIRDiagnostics::installString(), made);

  postServiceReport("Messaging");
  postServiceReport("Auth");
  const auto all = waitForRecords(2);
  ASSERT_EQ(all.size(), 2u);
  for (const auto& r : all) EXPECT_EQ(wire::NANOGetString(r.get(), kInstallString), made);
}

TEST_F(DiagnosticsRecordTest, AnExistingInstallStringIsReused) {
  start();
  ASSERT_TRUE(os::FileManager::shared().create_directory(installFile().parent_path(), true));
  ASSERT_TRUE(os::FileManager::shared().write_atomically(installFile(), foundation::to_bytes("kept-install")));
  EXPECT_EQ(FIRDiagnostics::installString(), "kept-install");
  EXPECT_EQ(FIRDiagnostics::installString(), "kept-install");
}

TEST_F(DiagnosticsRecordTest, FileSystemFailuresOfTheInstallStringOnlyWarn) {
  struct Case {
    platform::os::FileOp op;
    std::string code;
    bool made;
  };
  start();
  const fs::path dozada = os::FileManager::shared().url_for(os::Directory::application_support) / "Dozada";
  std::size_t posted = 0;
  for (const Case& c : {Case{platform::os::FileOp::create_directory, "I-COR100001", false},
                        Case{platform::os::FileOp::write, "I-COR100004", false},
                        Case{platform::os::FileOp::set_attributes, "I-COR100003", true}}) {
    SCOPED_TRACE(c.code);
    fs::remove_all(dozada);
    platform::testing::fail_next(c.op, dozada, EACCES);
    postServiceReport("Messaging");
    const auto all = waitForRecords(++posted);
    ASSERT_EQ(all.size(), posted);
    EXPECT_EQ(wire::NANOHasField(all.back().get(), kInstallString), c.made);
    const auto warnings = records_with(c.code);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].level, "Warning");
  }
  EXPECT_NE(records_with("I-COR100001").at(0).message.find("Unable to create internal state storage: "),
            std::string::npos);
  // With the faults gone the next record makes the file.
  fs::remove_all(dozada);
  EXPECT_TRUE(FIRDiagnostics::installString());
  EXPECT_TRUE(fs::exists(installFile()));
}

}  // namespace
}  // namespace core_app_test
