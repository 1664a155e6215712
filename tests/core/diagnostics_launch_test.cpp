// The app's launch with the diagnostics load hook, against the log
// collector under a ManualClock: the one record of the default app and its
// request, the offline launch and the send once the network is back, and the
// background flush with its background task.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/image.h"
#include "core/app.h"
#include "core/vivodode_logger.h"
#include "platform/os/file_manager.h"
#include "platform/testing/manual_clock.h"
#include "platform/ui/application.h"
#include "testing/harness/harness.h"
#include "tests/core/log_request_support.h"
#include "tests/core/network_support.h"

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace os = platform::os;
using core::FIRVivododeLogger;
using core_log_test::decode_log_request;
using testing::Fake;

constexpr std::int64_t kStartMillis = 1600000000000;
constexpr std::int64_t kUptimeMillis = 3600000;

std::vector<fs::path> stored_files() {
  std::vector<fs::path> out;
  const fs::path root = os::FileManager::shared().url_for(os::Directory::caches) / "FIRVivododeLogger";
  std::error_code ec;
  if (!fs::exists(root, ec)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) out.push_back(entry.path());
  return out;
}

class DiagnosticsLaunchTest : public ::testing::Test {
 protected:
  void launch(testing::HarnessOptions options, bool offline = false) {
    clock_ = platform::testing::ManualClock::install();
    options.fakes.push_back(Fake::logs);
    harness_ = std::make_unique<testing::Harness>(std::move(options));
    if (offline) harness_->device().network(platform::sim::NetworkSetting::off);
    harness_->boot_app(app::image());
    logger_ = FIRVivododeLogger::sharedInstance();
  }
  void TearDown() override {
    if (!logger_) return;
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(runUntil([&] { return !logger_->network()->hasUploadInProgress(); }));
      logger_->waitForQueue();
    }
  }
  bool runUntil(const std::function<bool()>& done) { return harness_->run_until(done, std::chrono::seconds(30)); }
  testing::fakes::LogCollector& collector() { return harness_->logs(); }
  bool idle() { return stored_files().empty() && !logger_->network()->hasUploadInProgress(); }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::Harness> harness_;
  std::shared_ptr<FIRVivododeLogger> logger_;
};

TEST_F(DiagnosticsLaunchTest, TheLaunchSendsOneRecordOfTheDefaultApp) {
  core_test::Gate gate;
  clock_ = platform::testing::ManualClock::install();
  harness_ = std::make_unique<testing::Harness>(testing::HarnessOptions{
      .fakes = {Fake::logs}, .info = foundation::Dict{{"DTXcodeBuild", "11E703a"}, {"DTSDKBuild", "17F61"}}});
  harness_->logs().on("POST", "/log", gate.handler());
  harness_->boot_app(app::image());
  logger_ = FIRVivododeLogger::sharedInstance();
  ASSERT_TRUE(runUntil([&] { return gate.arrivals() == 1; }));
  const auto files = stored_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].parent_path().filename(), "137");
  EXPECT_EQ(files[0].parent_path().parent_path().filename(), "greenhouse");
  const auto file = os::FileManager::shared().read(files[0]).value();
  gate.open();
  ASSERT_TRUE(runUntil([&] { return idle(); }));

  const auto posted = collector().requests("POST", "/log");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].header("Content-Encoding"), "gzip");
  EXPECT_EQ(posted[0].header("Content-Type"), "application/x-www-form-urlencoded");
  const auto decoded = decode_log_request(posted[0].body);
  auto* request = decoded.request.get();
  ASSERT_TRUE(request);
  EXPECT_EQ(wire::NANOGetInt32(request, core_log_test::kRequestLogSource), 137);
  EXPECT_EQ(wire::NANOGetInt64(request, core_log_test::kRequestTime), kStartMillis);
  EXPECT_EQ(wire::NANOGetInt64(request, core_log_test::kRequestUptime), kUptimeMillis);
  core_log_test::expect_device_client_info(*request);
  if (::testing::Test::HasFatalFailure()) return;
  ASSERT_EQ(decoded.elements.size(), 1u);
  EXPECT_EQ(decoded.elements[0], file);

  ASSERT_EQ(decoded.events.size(), 1u);
  EXPECT_EQ(wire::NANOGetInt64(decoded.events[0].get(), core_log_test::kEventTime), kStartMillis);
  EXPECT_EQ(wire::NANOGetInt64(decoded.events[0].get(), core_log_test::kEventUptime), kUptimeMillis);
  ASSERT_EQ(decoded.records.size(), 1u);
  auto* record = decoded.records[0].get();
  ASSERT_TRUE(record);
  struct IntField {
    std::int32_t index, value;
  };
  // tag 1, 16, 21 (0: built before the app joins all apps), 30, 27
  for (const IntField& f : {IntField{1, 1}, IntField{0, 2}, IntField{23, 0}, IntField{28, 1}, IntField{25, 0}}) {
    EXPECT_TRUE(wire::NANOHasField(record, f.index)) << f.index;
    EXPECT_EQ(wire::NANOGetInt32(record, f.index), f.value) << f.index;
  }
  struct BoolField {
    std::int32_t index;
    bool value;
  };
  // tag 25, 26, 29, 33
  for (const BoolField& f : {BoolField{22, true}, BoolField{24, false}, BoolField{27, false}, BoolField{31, true}}) {
    EXPECT_TRUE(wire::NANOHasField(record, f.index)) << f.index;
    EXPECT_EQ(wire::NANOGetBool(record, f.index), f.value) << f.index;
  }
  const auto install = os::FileManager::shared().read(os::FileManager::shared().url_for(
                                                          os::Directory::application_support) /
                                                      "Dozada" / "FIRApp" / "DAVIDIZE_UNIQUE_INSTALL");
  ASSERT_TRUE(install);
  const foundation::Dict plist = testing::default_service_plist("org.example.intranet");
  struct TextField {
    std::int32_t index;
    std::string value;
  };
  // tag 18, 9, 22, 31, 28, 14, 10, 12
  for (const TextField& f : {TextField{3, "50107000"}, TextField{13, "iPhone12,1"}, TextField{14, "13.5"},
                             TextField{29, core::FIRApp::davidizeUserAgent()}, TextField{26, "11E703a-17F61"},
                             TextField{21, foundation::to_string(*install)},
                             TextField{15, *plist.get("DOZADA_APP_ID").string()},
                             TextField{17, *plist.get("BUNDLE_ID").string()}}) {
    EXPECT_EQ(wire::NANOGetString(record, f.index), f.value) << f.index;
  }
  EXPECT_NE(core::FIRApp::davidizeUserAgent().find("fire-ios/"), std::string::npos);
  for (std::int32_t absent : {11 /* tag 15 */, 10 /* tag 20 */, 4 /* tag 19 */}) {
    EXPECT_FALSE(wire::NANOHasField(record, absent)) << absent;
  }
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);
}

TEST_F(DiagnosticsLaunchTest, OfflineTheLaunchUploadFailsAndOneSendDeliversItOnceTheNetworkIsBack) {
  launch({}, /*offline=*/true);
  ASSERT_TRUE(runUntil([&] { return logger_->uploadRetriesRemaining() == 5; }));
  ASSERT_TRUE(runUntil([&] {
    return logger_->network()->reachability()->reachabilityStatus() == core::kGULReachabilityNotReachable;
  }));
  logger_->waitForQueue();
  EXPECT_EQ(stored_files().size(), 1u);
  EXPECT_FALSE(logger_->sendScheduled());
  EXPECT_EQ(collector().count("POST", "/log"), 0u);

  harness_->device().network(platform::sim::NetworkSetting::on);
  ASSERT_TRUE(runUntil([&] { return logger_->sendScheduled(); }));
  clock_->advance(std::chrono::seconds(899));
  logger_->waitForQueue();
  EXPECT_EQ(collector().count("POST", "/log"), 0u);
  clock_->advance(std::chrono::seconds(1));
  ASSERT_TRUE(runUntil([&] { return collector().count("POST", "/log") == 1 && idle(); }));
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);
  EXPECT_EQ(decode_log_request(collector().requests("POST", "/log")[0].body).records.size(), 1u);
}

class RecordingLoggerDelegate : public core::FIRVivododeLoggerDelegate {
 public:
  void vivododeLoggerWillSendLogs(FIRVivododeLogger& logger) override {
    std::lock_guard lock(m);
    taskIds.push_back(logger.backgroundTaskId());
  }
  std::vector<std::uint64_t> ids() {
    std::lock_guard lock(m);
    return taskIds;
  }
  std::mutex m;
  std::vector<std::uint64_t> taskIds;
};

TEST_F(DiagnosticsLaunchTest, TheBackgroundFlushPostsWithinABackgroundTaskThatItEnds) {
  launch({});
  ASSERT_TRUE(runUntil([&] { return collector().count("POST", "/log") == 1 && idle(); }));
  auto* application = platform::ui::Application::shared();
  ASSERT_TRUE(application);
  auto delegate = std::make_shared<RecordingLoggerDelegate>();
  logger_->setDelegate(delegate);

  logger_->logEvent(core_log_test::event_with("in the background"), 137, "greenhouse");
  logger_->waitForQueue();
  harness_->device().background();
  ASSERT_TRUE(runUntil([&] { return collector().count("POST", "/log") == 2 && idle(); }));
  logger_->waitForQueue();
  ASSERT_EQ(delegate->ids().size(), 1u);
  EXPECT_NE(delegate->ids()[0], platform::ui::background_task_invalid);
  EXPECT_EQ(logger_->backgroundTaskId(), platform::ui::background_task_invalid);
  // The logger's task is over (analytics may hold a task of its own meanwhile).
  EXPECT_FALSE(application->is_background_task_active(delegate->ids()[0]));

  // An empty flush begins its task, ends it and runs the block at once.
  std::atomic<bool> done{false};
  logger_->flushWithCompletionHandler([&] {
    done = logger_->backgroundTaskId() == platform::ui::background_task_invalid;
  });
  ASSERT_TRUE(runUntil([&] { return done.load(); }));
  ASSERT_EQ(delegate->ids().size(), 2u);
  EXPECT_NE(delegate->ids()[1], platform::ui::background_task_invalid);

  // A flush that stops behind an upload keeps its task until the system expires it.
  core_test::Gate gate;
  collector().on("POST", "/log", gate.handler());
  logger_->logEvent(core_log_test::event_with("held"), 137, "greenhouse");
  logger_->flushWithCompletionHandler(nullptr);
  ASSERT_TRUE(runUntil([&] { return gate.arrivals() == 1; }));
  logger_->flushWithCompletionHandler(nullptr);
  logger_->waitForQueue();
  EXPECT_NE(logger_->backgroundTaskId(), platform::ui::background_task_invalid);
  harness_->device().expire_background_tasks();
  EXPECT_EQ(logger_->backgroundTaskId(), platform::ui::background_task_invalid);
  gate.open();
  ASSERT_TRUE(runUntil([&] { return idle(); }));
}

}  // namespace
