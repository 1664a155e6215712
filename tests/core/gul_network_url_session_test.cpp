// The URL-session fetcher: background uploads from temporary files and their
// sweep, the completion rules, redirects, trust, the write fallback, session
// failures and background relaunch.
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/gul_network.h"
#include "core/gul_network_url_session.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/url.h"
#include "platform/net/session.h"
#include "platform/os/file_manager.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"
#include "testing/harness/harness.h"
#include "tests/core/fixture.h"
#include "tests/core/network_support.h"

namespace {

using namespace core;
namespace foundation = platform::foundation;
namespace net = platform::net;
namespace os = platform::os;
using core_test::Outcome;
using core_test::RecordingNetworkLogger;
using platform::dispatch::RunLoop;
using testing::Fake;
using testing::Harness;
using testing::fakes::FakeService;

foundation::Url session_url(const std::string& text) { return *foundation::Url::parse(text); }

std::filesystem::path temporaryDirectory() {
  return os::FileManager::shared().url_for(os::Directory::application_support) / "GUL" / "Network" /
         "GULNetworkTemporaryDirectory";
}

// A file in the temporary folder made `age` seconds before now.
std::filesystem::path fileOfAge(const std::string& name, double age) {
  auto& files = os::FileManager::shared();
  EXPECT_TRUE(files.create_directory(temporaryDirectory(), true));
  const auto path = temporaryDirectory() / name;
  EXPECT_TRUE(files.write_atomically(path, foundation::to_bytes("old")));
  const foundation::Date when{foundation::Date::now().since_1970 - age};
  EXPECT_TRUE(files.set_attributes(path, {.creation = when, .modification = when, .protection = std::nullopt}));
  return path;
}

// Answers with headers promising 100 bytes, then drops the connection after 3.
void cutAfterHeaders(const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
  res.status = 200;
  res.set_content_provider(100, "application/octet-stream", [](std::size_t, std::size_t, ::testing::fakes::DataSink& sink) {
    sink.write("abc", 3);
    return false;
  });
}

class GULNetworkURLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    selfSigned_ = std::make_unique<FakeService>(
        "self-signed", std::vector<std::string>{"selfsigned.example.net"},
        testing::fakes::ServiceOptions{.authority = &authority_, .certificate = testing::fakes::Certificate::self_signed});
    harness_ = std::make_unique<Harness>(
        testing::HarnessOptions{.fakes = {Fake::analytics}, .profile = {{"hosts", selfSigned_->host_map()}}});
    network_ = GULNetwork::init();
    ASSERT_TRUE(network_);
    logger_ = std::make_shared<RecordingNetworkLogger>();
    network_->setLoggerDelegate(logger_);
  }
  void TearDown() override { GULNetworkURLSession::setSessionFactory(nullptr); }
  testing::fakes::AnalyticsCollector& collector() { return harness_->analytics(); }
  bool runUntil(const std::function<bool()>& done) { return harness_->run_until(done, std::chrono::seconds(30)); }

  Outcome outcome_;
  testing::fakes::TlsAuthority authority_;
  std::unique_ptr<FakeService> selfSigned_;
  std::unique_ptr<Harness> harness_;
  core_test::Gate gate_;
  std::shared_ptr<GULNetwork> network_;
  std::shared_ptr<RecordingNetworkLogger> logger_;
};

TEST_F(GULNetworkURLSessionTest, BackgroundPostUploadsFromATemporaryFileThenRemovesIt) {
  collector().on("POST", "/upload", gate_.handler());
  auto id = network_->postURL(session_url(collector().url("/upload")), foundation::to_bytes("payload"), std::nullopt, true,
                              outcome_.handler());
  ASSERT_TRUE(id);
  ASSERT_TRUE(runUntil([&] { return gate_.arrivals() == 1; }));
  const auto upload = temporaryDirectory() / ("GULUpload_temp_" + *id);
  auto& files = os::FileManager::shared();
  ASSERT_TRUE(files.exists(upload));
  EXPECT_EQ(files.is_excluded_from_backup(upload).value_or(false), true);
  EXPECT_EQ(files.is_excluded_from_backup(temporaryDirectory()).value_or(false), true);
  auto fetcher = GULNetworkURLSession::sessionFromFetcherMapForSessionID(*id);
  ASSERT_TRUE(fetcher);
  EXPECT_EQ(fetcher->URLSession()->configuration().identifier, *id);

  // Made while the upload runs: the completion sweeps the stale one.
  const auto stale = fileOfAge("stale", 7200);
  const auto fresh = fileOfAge("fresh", 10);
  gate_.open();
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  EXPECT_FALSE(outcome_.error);
  EXPECT_EQ(outcome_.data, std::nullopt);  // uploads collect no body
  EXPECT_EQ(collector().requests("POST", "/upload").at(0).body, "payload");
  EXPECT_FALSE(files.exists(upload));
  EXPECT_FALSE(files.exists(stale));
  EXPECT_TRUE(files.exists(fresh));
  EXPECT_TRUE(runUntil([&] { return GULNetworkURLSession::sessionFromFetcherMapForSessionID(*id) == nullptr; }));
}

TEST_F(GULNetworkURLSessionTest, ResponseThenCutErrsOnlyForDownloads) {
  collector().on("POST", "/cut", cutAfterHeaders);
  collector().on("GET", "/cut", cutAfterHeaders);
  Outcome post, get;
  ASSERT_TRUE(network_->postURL(session_url(collector().url("/cut")), foundation::to_bytes("x"), std::nullopt, false,
                                post.handler()));
  ASSERT_TRUE(network_->getURL(session_url(collector().url("/cut")), {}, std::nullopt, false, get.handler()));
  ASSERT_TRUE(runUntil([&] { return post.count() == 1 && get.count() == 1; }));
  // A response means the server took the upload's body.
  EXPECT_EQ(post.status(), 200);
  EXPECT_FALSE(post.error);
  // The cut download is no success.
  ASSERT_TRUE(get.error);
  EXPECT_EQ(get.error->domain, foundation::url_error::domain);
  EXPECT_EQ(get.data, std::nullopt);
  EXPECT_TRUE(logger_->has(901017));
  EXPECT_TRUE(logger_->has(900000));  // "Uploading data. Host"
  EXPECT_TRUE(logger_->has(900001));  // "Downloading data. Host"
}

TEST_F(GULNetworkURLSessionTest, TaskWithNeitherResponseNorErrorCompletesWithCodeFive) {
  collector().on("POST", "/upload", gate_.handler());
  auto id = network_->postURL(session_url(collector().url("/upload")), foundation::to_bytes("x"), std::nullopt, false,
                              outcome_.handler());
  ASSERT_TRUE(id);
  ASSERT_TRUE(runUntil([&] { return gate_.arrivals() == 1; }));
  auto fetcher = GULNetworkURLSession::sessionFromFetcherMapForSessionID(*id);
  ASSERT_TRUE(fetcher);
  // The fetcher hears of a task that ended without a response and without an error.
  auto other = net::Session::make(net::Configuration::default_config());
  auto idle = other->upload_task(net::Request(session_url(collector().url("/never"))), foundation::to_bytes("x"));
  fetcher->did_complete(*fetcher->URLSession(), *idle, std::nullopt);
  fetcher.reset();
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  ASSERT_TRUE(outcome_.error);
  EXPECT_EQ(outcome_.error->domain, "com.gul.network.ErrorDomain");
  EXPECT_EQ(outcome_.error->code, 5);
  EXPECT_EQ(outcome_.error->user_info.get("Context"), foundation::Value("Network Error: Empty network response"));
  // The handler was taken: the real completion later calls nothing.
  gate_.open();
  ASSERT_TRUE(runUntil([&] { return GULNetworkURLSession::sessionFromFetcherMapForSessionID(*id) == nullptr; }));
  RunLoop::main().run_pending();
  EXPECT_EQ(outcome_.count(), 1);
}

TEST_F(GULNetworkURLSessionTest, RedirectsAnsweredThreeHundredToThreeOhSevenAreRefused) {
  collector().on("POST", "/redirect/(\\d+)", [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
    res.status = std::stoi(req.matches[1]);
    res.set_header("Location", "/target");
  });
  collector().on("GET", "/target", FakeService::empty(200));
  collector().on("POST", "/target", FakeService::empty(201));
  struct Case {
    int status;
    int final_status;  // what the handler sees
  };
  for (const auto& c : {Case{300, 300}, Case{301, 301}, Case{302, 302}, Case{307, 307}, Case{303, 200},
                        Case{308, 201}}) {
    SCOPED_TRACE(c.status);
    collector().clear_requests();
    Outcome outcome;
    ASSERT_TRUE(network_->postURL(session_url(collector().url("/redirect/" + std::to_string(c.status))),
                                  foundation::to_bytes("x"), std::nullopt, false, outcome.handler()));
    ASSERT_TRUE(runUntil([&] { return outcome.count() == 1; }));
    EXPECT_EQ(outcome.status(), c.final_status);
    EXPECT_FALSE(outcome.error);
    const bool followed = c.final_status != c.status;
    EXPECT_EQ(collector().count("GET", "/target") + collector().count("POST", "/target"), followed ? 1u : 0u);
  }
}

TEST_F(GULNetworkURLSessionTest, UntrustedServerGetsACancelledChallenge) {
  selfSigned_->on("POST", "/upload", FakeService::empty(200));
  ASSERT_TRUE(network_->postURL(session_url(selfSigned_->url("/upload")), foundation::to_bytes("x"), std::nullopt, false,
                                outcome_.handler()));
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  ASSERT_TRUE(outcome_.error);
  EXPECT_EQ(outcome_.error->domain, foundation::url_error::domain);
  EXPECT_EQ(outcome_.error->code, foundation::url_error::cancelled);
  EXPECT_EQ(selfSigned_->count(), 0u);
  const auto codes = logger_->codes();
  EXPECT_NE(std::find(codes.begin(), codes.end(), 901006), codes.end());
  EXPECT_NE(std::find(codes.begin(), codes.end(), 901007), codes.end());

  // The trusted collector passes the same evaluation.
  Outcome trusted;
  collector().on("POST", "/upload", FakeService::empty(200));
  ASSERT_TRUE(network_->postURL(session_url(collector().url("/upload")), foundation::to_bytes("x"), std::nullopt, false,
                                trusted.handler()));
  ASSERT_TRUE(runUntil([&] { return trusted.count() == 1; }));
  EXPECT_FALSE(trusted.error);
}

TEST_F(GULNetworkURLSessionTest, FailedTemporaryWriteStillUploadsFromMemory) {
  collector().on("POST", "/upload", FakeService::empty(200));
  std::vector<std::optional<std::string>> identifiers;
  GULNetworkURLSession::setSessionFactory([&](net::Configuration config, std::shared_ptr<net::SessionDelegate> d,
                                              std::shared_ptr<platform::dispatch::OperationQueue> q) {
    identifiers.push_back(config.identifier);
    return net::Session::make(std::move(config), std::move(d), std::move(q));
  });
  platform::testing::fail_next(platform::testing::FileOp::write, temporaryDirectory(), ENOSPC);
  auto id = network_->postURL(session_url(collector().url("/upload")), foundation::to_bytes("kept in memory"), std::nullopt,
                              true, outcome_.handler());
  ASSERT_TRUE(id);
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  EXPECT_FALSE(outcome_.error);
  EXPECT_EQ(collector().requests("POST", "/upload").at(0).body, "kept in memory");
  EXPECT_EQ(identifiers, std::vector<std::optional<std::string>>{std::nullopt});  // a default session
  EXPECT_FALSE(os::FileManager::shared().exists(temporaryDirectory() / ("GULUpload_temp_" + *id)));
  EXPECT_TRUE(logger_->has(901000));
}

TEST_F(GULNetworkURLSessionTest, RelaunchHandlerIsCalledOnceOnMainWhenTheSessionsEventsAreDone) {
  collector().on("POST", "/upload", gate_.handler());
  auto id = network_->postURL(session_url(collector().url("/upload")), foundation::to_bytes("x"), std::nullopt, true,
                              outcome_.handler());
  ASSERT_TRUE(id);
  ASSERT_TRUE(runUntil([&] { return gate_.arrivals() == 1; }));

  int calls = 0;
  std::thread::id thread;
  GULNetwork::handleEventsForBackgroundURLSessionID(*id, [&] {
    ++calls;
    thread = std::this_thread::get_id();
  });
  ASSERT_TRUE(net::deliver_background_events(*id));
  RunLoop::main().run_pending();
  EXPECT_EQ(calls, 0);  // the upload still runs
  gate_.open();
  ASSERT_TRUE(runUntil([&] { return calls == 1; }));
  EXPECT_EQ(thread, std::this_thread::get_id());
  EXPECT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  RunLoop::main().run_pending();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(logger_->has(901003));
  EXPECT_EQ(GULNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary().count(), 0u);
}

TEST_F(GULNetworkURLSessionTest, RelaunchStoresHandlersOnlyForOurPrefix) {
  auto& handlers = GULNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary();
  GULNetwork::handleEventsForBackgroundURLSessionID("com.example.other-upload", [] {});
  EXPECT_EQ(handlers.count(), 0u);

  // An ID nobody knows gets a new fetcher under that ID, which keeps the handler.
  const std::string unknown = "com.gul.network.background-upload-UNKNOWN";
  int first = 0, second = 0;
  GULNetwork::handleEventsForBackgroundURLSessionID(unknown, [&] { ++first; });
  EXPECT_EQ(handlers.count(), 1u);
  auto fetcher = GULNetworkURLSession::fetcherWithSessionIdentifier(unknown);
  ASSERT_TRUE(fetcher);
  EXPECT_EQ(fetcher->sessionID(), unknown);
  EXPECT_EQ(fetcher->URLSession(), nullptr);

  // A second handler for the ID replaces the first, with a warning.
  auto logged = GULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  logged->addSystemCompletionHandler([&] { ++second; }, unknown);
  logged->addSystemCompletionHandler(nullptr, unknown);
  logged->addSystemCompletionHandler([] {}, "");
  EXPECT_EQ(logger_->codes(), (std::vector<std::int64_t>{901011, 901009, 901010}));
  EXPECT_EQ(logger_->lines().at(0).level, 4);
  logged->callSystemCompletionHandler(unknown);
  logged->callSystemCompletionHandler(unknown);
  RunLoop::main().run_pending();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(handlers.count(), 0u);
}

TEST_F(GULNetworkURLSessionTest, UnreadableDownloadGivesNoDataAndALine) {
  collector().on("GET", "/config", FakeService::json(200, {{"k", "v"}}));
  platform::testing::fail_next(platform::testing::FileOp::read,
                               os::FileManager::shared().url_for(os::Directory::temporary), EIO);
  ASSERT_TRUE(network_->getURL(session_url(collector().url("/config")), {}, std::nullopt, false, outcome_.handler()));
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  EXPECT_EQ(outcome_.status(), 200);
  EXPECT_EQ(outcome_.data, std::nullopt);
  EXPECT_TRUE(logger_->has(901002));
}

TEST_F(GULNetworkURLSessionTest, FetcherMapReplacementDiscardsTheOldEntry) {
  auto first = GULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  auto second = GULNetworkURLSession::initWithNetworkLoggerDelegate({});
  GULNetworkURLSession::setSessionInFetcherMap(first, "com.gul.network.background-upload-X");
  GULNetworkURLSession::setSessionInFetcherMap(second, "com.gul.network.background-upload-X");
  const auto lines = logger_->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].code, 901019);
  EXPECT_EQ(lines[0].level, 6);
  EXPECT_EQ(lines[0].message, "Discarding session: com.gul.network.background-upload-X");
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID("com.gul.network.background-upload-X"), second);
  GULNetworkURLSession::setSessionInFetcherMap(nullptr, "com.gul.network.background-upload-X");
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID("com.gul.network.background-upload-X"), nullptr);
  // The map holds its fetchers weakly.
  GULNetworkURLSession::setSessionInFetcherMap(first, "com.gul.network.background-upload-Y");
  first.reset();
  EXPECT_EQ(GULNetworkURLSession::sessionFromFetcherMapForSessionID("com.gul.network.background-upload-Y"), nullptr);
}

// ---- the temporary folder's sweep, on a manual clock -------------------------------

class GULNetworkTemporaryFilesTest : public core_test::CoreDeviceTest {
 protected:
  void SetUp() override {
    clock_ = platform::testing::ManualClock::install();
    boot();
    logger_ = std::make_shared<RecordingNetworkLogger>();
  }
  void TearDown() override { GULNetworkURLSession::setSessionFactory(nullptr); }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::shared_ptr<RecordingNetworkLogger> logger_;
};

TEST_F(GULNetworkTemporaryFilesTest, PostStartSweepsFilesOlderThanAnHour) {
  const auto old = fileOfAge("GULUpload_temp_old", 3601);
  const auto recent = fileOfAge("GULUpload_temp_recent", 3599);
  // The session fails, after the sweep: error 2 and nothing left behind.
  GULNetworkURLSession::setSessionFactory(
      [](net::Configuration, std::shared_ptr<net::SessionDelegate>,
         std::shared_ptr<platform::dispatch::OperationQueue>) -> std::shared_ptr<net::Session> { return nullptr; });
  auto fetcher = GULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  fetcher->setBackgroundNetworkEnabled(true);
  std::optional<std::int64_t> code;
  int calls = 0;
  net::Request request(session_url("https://analytics.example.net/a"));
  request.body = foundation::to_bytes("x");
  EXPECT_EQ(fetcher->sessionIDFromAsyncPOSTRequest(
                request, [&](std::shared_ptr<const net::Response>, std::optional<foundation::Bytes>,
                             const std::string&, std::optional<foundation::Error> error) {
                  ++calls;
                  if (error) code = error->code;
                }),
            std::nullopt);
  RunLoop::main().run_pending();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(code, 2);
  auto& files = os::FileManager::shared();
  EXPECT_FALSE(files.exists(old));
  EXPECT_TRUE(files.exists(recent));
  EXPECT_FALSE(files.exists(fetcher->uploadingFileURL()));
  EXPECT_EQ(fetcher->uploadingFileURL(), temporaryDirectory() / ("GULUpload_temp_" + fetcher->sessionID()));

  // Two seconds later the other one has expired too.
  clock_->advance(std::chrono::seconds(2));
  fetcher->maybeRemoveTempFilesAtURL(temporaryDirectory(), 3600);
  EXPECT_FALSE(files.exists(recent));
  // A missing folder is no error worth a line.
  fetcher->maybeRemoveTempFilesAtURL(temporaryDirectory() / "missing", 3600);
  EXPECT_FALSE(logger_->has(901012));
}

}  // namespace
