// The network client against a loopback HTTPS fake: the POST's body and
// headers, the GET's headers, the requests in flight, handler queues, early
// failures, a client gone mid-request, reachability, and the network log.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/deployment.h"
#include "core/gul_network.h"
#include "core/logger.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/url.h"
#include "platform/net/session.h"
#include "platform/sim/device.h"
#include "platform/testing/capture.h"
#include "testing/harness/harness.h"
#include "tests/core/fixture.h"
#include "tests/core/network_support.h"

namespace {

using namespace core;
namespace foundation = platform::foundation;
namespace net = platform::net;
using core_test::Outcome;
using core_test::RecordingNetworkLogger;
using platform::dispatch::Queue;
using testing::Fake;
using testing::Harness;

foundation::Url url(const std::string& text) { return *foundation::Url::parse(text); }

class GULNetworkClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness_ = std::make_unique<Harness>(testing::HarnessOptions{.fakes = {Fake::analytics}});
    network_ = GULNetwork::init();
    ASSERT_TRUE(network_);
  }
  void TearDown() override { GULNetworkURLSession::setSessionFactory(nullptr); }
  testing::fakes::AnalyticsCollector& collector() { return harness_->analytics(); }
  bool runUntil(const std::function<bool()>& done) { return harness_->run_until(done, std::chrono::seconds(30)); }

  Outcome outcome_, second_;
  std::unique_ptr<Harness> harness_;
  core_test::Gate gate_;
  std::shared_ptr<GULNetwork> network_;
};

TEST_F(GULNetworkClientTest, PostSendsTheCompressedPayloadWithExactHeaders) {
  collector().on("POST", "/upload", testing::fakes::FakeService::empty(204));
  struct Case {
    std::string payload;
    bool background;
  };
  const std::string big(5000, 'x');
  for (const auto& c : {Case{"measurement batch", false}, Case{big + "tail", true}, Case{"", false}}) {
    SCOPED_TRACE(c.payload.size());
    collector().clear_requests();
    Outcome outcome;
    auto id = network_->postURL(url(collector().url("/upload")), foundation::to_bytes(c.payload), std::nullopt,
                                c.background, outcome.handler());
    ASSERT_TRUE(id);
    EXPECT_TRUE(id->starts_with("com.gul.network.background-upload-"));
    ASSERT_TRUE(runUntil([&] { return outcome.count() == 1; }));
    EXPECT_EQ(outcome.status(), 204);
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.thread, std::this_thread::get_id());  // main, when no queue is given

    const auto requests = collector().requests("POST", "/upload");
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.raw_body.size()));
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.header("Content-Encoding"), "gzip");
    EXPECT_EQ(r.header_values("Content-Encoding").size(), 1u);
    if (c.payload.empty()) {
      EXPECT_EQ(r.raw_body, "");
      EXPECT_EQ(r.header("Content-Length"), "0");
    } else {
      EXPECT_TRUE(r.body_decoded);
      EXPECT_EQ(r.body, c.payload);
      EXPECT_LT(r.raw_body.size(), c.payload.size() + 30);
    }
  }
  EXPECT_TRUE(runUntil([&] { return !network_->hasUploadInProgress(); }));
}

TEST_F(GULNetworkClientTest, RequestsCarryTheTimeoutWithZeroCountingAsSixty) {
  std::vector<double> timeouts;
  GULNetworkURLSession::setSessionFactory([&](net::Configuration config, std::shared_ptr<net::SessionDelegate> d,
                                              std::shared_ptr<platform::dispatch::OperationQueue> q) {
    timeouts.push_back(config.timeout_for_request);
    EXPECT_EQ(config.timeout_for_resource, config.timeout_for_request);
    EXPECT_EQ(config.request_cache_policy, net::CachePolicy::reload_ignoring_local);
    return net::Session::make(std::move(config), std::move(d), std::move(q));
  });
  EXPECT_EQ(network_->timeoutInterval(), 60.0);
  network_->setTimeoutInterval(0);
  ASSERT_TRUE(network_->postURL(url(collector().url("/upload")), foundation::to_bytes("x"), std::nullopt, false,
                                outcome_.handler()));
  network_->setTimeoutInterval(12.5);
  ASSERT_TRUE(network_->getURL(url(collector().url("/config")), {}, std::nullopt, false, second_.handler()));
  EXPECT_EQ(timeouts, (std::vector<double>{60.0, 12.5}));
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1 && second_.count() == 1; }));
  EXPECT_EQ(second_.status(), 404);  // an HTTP error status is no error here
  EXPECT_FALSE(second_.error);
}

TEST_F(GULNetworkClientTest, GetCarriesExactlyTheCallersHeadersAndCountsAsInProgress) {
  collector().on("GET", "/config/app/1", gate_.handler(testing::fakes::FakeService::json(200, {{"k", "v"}})));
  const net::Headers headers{{"If-Modified-Since", "Sun, 13 Sep 2020 12:26:40 GMT"}, {"X-Probe", "a, b"}};
  auto id = network_->getURL(url(collector().url("/config/app/1")), headers, std::nullopt, false,
                             outcome_.handler());
  ASSERT_TRUE(id);
  ASSERT_TRUE(runUntil([&] { return gate_.arrivals() == 1; }));
  EXPECT_TRUE(network_->hasUploadInProgress());
  gate_.open();
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  EXPECT_FALSE(network_->hasUploadInProgress());
  EXPECT_EQ(outcome_.status(), 200);
  ASSERT_TRUE(outcome_.data);
  EXPECT_EQ(foundation::to_string(*outcome_.data), R"({"k":"v"})");

  const auto r = collector().requests("GET", "/config/app/1").at(0);
  EXPECT_EQ(r.header("If-Modified-Since"), "Sun, 13 Sep 2020 12:26:40 GMT");
  EXPECT_EQ(r.header("X-Probe"), "a, b");
  for (const char* name : {"Content-Type", "Content-Encoding", "Content-Length"}) {
    EXPECT_FALSE(r.has_header(name)) << name;
  }
  EXPECT_EQ(r.raw_body, "");
}

TEST_F(GULNetworkClientTest, HandlerRunsOnTheGivenQueue) {
  collector().on("POST", "/upload", testing::fakes::FakeService::empty(200));
  auto queue = Queue::serial("org.example.caller");
  ASSERT_TRUE(network_->postURL(url(collector().url("/upload")), foundation::to_bytes("x"), queue, false,
                                outcome_.handler()));
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1; }));
  std::lock_guard lk(outcome_.m);
  EXPECT_EQ(outcome_.queue_label, "org.example.caller");
  EXPECT_NE(outcome_.thread, std::this_thread::get_id());
}

TEST_F(GULNetworkClientTest, EmptyURLFailsOnceAndLater) {
  for (bool post : {true, false}) {
    SCOPED_TRACE(post ? "POST" : "GET");
    Outcome outcome;
    auto id = post ? network_->postURL(foundation::Url(), foundation::to_bytes("x"), std::nullopt, false,
                                       outcome.handler())
                   : network_->getURL(foundation::Url(), {}, std::nullopt, false, outcome.handler());
    EXPECT_EQ(id, std::nullopt);
    EXPECT_EQ(outcome.count(), 0);  // never from inside the call
    ASSERT_TRUE(runUntil([&] { return outcome.count() == 1; }));
    platform::dispatch::RunLoop::main().run_pending();
    EXPECT_EQ(outcome.count(), 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain, "com.gul.network.ErrorDomain");
    EXPECT_EQ(outcome.error->code, 1);
    EXPECT_EQ(outcome.error->user_info.get("Context"), foundation::Value("Failed to create network request"));
    EXPECT_EQ(outcome.response, nullptr);
  }
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(GULNetworkClientTest, FailedSessionGivesOneErrorAndNoID) {
  GULNetworkURLSession::setSessionFactory(
      [](net::Configuration, std::shared_ptr<net::SessionDelegate>,
         std::shared_ptr<platform::dispatch::OperationQueue>) -> std::shared_ptr<net::Session> { return nullptr; });
  auto logger = std::make_shared<RecordingNetworkLogger>();
  network_->setLoggerDelegate(logger);
  EXPECT_EQ(network_->postURL(url(collector().url("/upload")), foundation::to_bytes("x"), std::nullopt, true,
                              outcome_.handler()),
            std::nullopt);
  EXPECT_EQ(network_->getURL(url(collector().url("/config")), {}, std::nullopt, false, second_.handler()),
            std::nullopt);
  ASSERT_TRUE(runUntil([&] { return outcome_.count() == 1 && second_.count() == 1; }));
  platform::dispatch::RunLoop::main().run_pending();
  for (Outcome* o : {&outcome_, &second_}) {
    EXPECT_EQ(o->count(), 1);
    ASSERT_TRUE(o->error);
    EXPECT_EQ(o->error->code, 2);
    EXPECT_EQ(o->error->user_info.get("Context"), foundation::Value("Cannot create network session"));
  }
  EXPECT_FALSE(network_->hasUploadInProgress());
  const auto codes = logger->codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 901017), 2);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 900002), 0);  // no second failure
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 900000), 0);  // nothing is uploading
  EXPECT_EQ(collector().count(), 0u);
}

TEST_F(GULNetworkClientTest, ReleasedClientNeverCallsItsHandler) {
  collector().on("GET", "/held", gate_.handler());
  auto id = network_->getURL(url(collector().url("/held")), {}, std::nullopt, false, outcome_.handler());
  ASSERT_TRUE(id);
  ASSERT_TRUE(runUntil([&] { return gate_.arrivals() == 1; }));
  network_.reset();
  gate_.open();
  // The fetcher lives until its session lets go of it, after its completion.
  ASSERT_TRUE(runUntil([&] { return GULNetworkURLSession::sessionFromFetcherMapForSessionID(*id) == nullptr; }));
  platform::dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(outcome_.count(), 0);
}

class StatusCounter : public GULNetworkReachabilityDelegate {
 public:
  void reachabilityDidChange() override {
    ++calls;
    onMain = onMain && std::this_thread::get_id() == mainThread;
  }
  int calls = 0;
  bool onMain = true;
  std::thread::id mainThread = std::this_thread::get_id();
};

TEST_F(GULNetworkClientTest, ReachabilityOfTheCollectionHostDrivesTheConnectedFlag) {
  EXPECT_EQ(network_->reachability()->host(), kAnalyticsCollectionHost);
  auto delegate = std::make_shared<StatusCounter>();
  network_->setReachabilityDelegate(delegate);
  // The first report follows the start unprompted.
  ASSERT_TRUE(runUntil([&] { return delegate->calls == 1; }));
  EXPECT_TRUE(network_->isNetworkConnected());
  EXPECT_EQ(network_->reachability()->reachabilityStatus(), kGULReachabilityViaWifi);

  struct Step {
    platform::sim::NetworkSetting setting;
    GULReachabilityStatus status;
    bool connected;
  };
  using platform::sim::NetworkSetting;
  int calls = 1;
  for (const auto& step : {Step{NetworkSetting::off, kGULReachabilityNotReachable, false},
                           Step{NetworkSetting::on, kGULReachabilityViaWifi, true},
                           Step{NetworkSetting::wwan, kGULReachabilityViaCellular, true}}) {
    harness_->device().network(step.setting);
    ++calls;
    ASSERT_TRUE(runUntil([&] { return delegate->calls == calls; }));
    EXPECT_EQ(network_->reachability()->reachabilityStatus(), step.status);
    EXPECT_EQ(network_->isNetworkConnected(), step.connected);
  }
  EXPECT_TRUE(delegate->onMain);
  EXPECT_EQ(GULNetwork::initWithReachabilityHost(""), nullptr);
}

// ---- the network log, without a fake ------------------------------------------

class GULNetworkLogTest : public core_test::CoreDeviceTest {
 protected:
  void SetUp() override {
    boot();
    network_ = GULNetwork::initWithReachabilityHost("analytics.example.net");
    ASSERT_TRUE(network_);
  }
  std::vector<std::string> coreLogMessages() {
    GULLoggerWaitForQueue();
    std::vector<std::string> out;
    for (const auto& r : core_test::system_log_records()) out.push_back(r.message);
    return out;
  }

  platform::testing::CaptureSinks capture_;
  std::shared_ptr<GULNetwork> network_;
};

TEST_F(GULNetworkLogTest, PrintedTextAndLevels) {
  GULSetLoggerLevel(GULLoggerLevelDebug);
  const foundation::Value url("https://analytics.example.net/a");
  struct Case {
    const char* what;
    bool debug;
    std::function<void()> log;
    std::optional<std::string> printed;
  };
  const std::vector<Case> cases = {
      {"debug level, debug mode off", false,
       [&] { network_->GULNetwork_logWithLevel(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeNetwork000,
                                               "Uploading data. Host", url); },
       std::nullopt},
      {"debug level, debug mode on", true,
       [&] { network_->GULNetwork_logWithLevel(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeNetwork000,
                                               "Uploading data. Host", url); },
       "<Dozada/Utilities/Network/DEBUG> Uploading data. Host: https://analytics.example.net/a"},
      {"contexts with a null placeholder", false,
       [&] { network_->GULNetwork_logWithLevel(kGULNetworkLogLevelWarning, kGULNetworkMessageCodeNetwork002,
                                               "Failed to create network request. Code, error",
                                               std::vector<foundation::Value>{foundation::Value(1), foundation::Value()}); },
       "<Dozada/Utilities/Network/WARNING> Failed to create network request. Code, error: 1, (nil)"},
      {"nil message, no context", false,
       [&] { network_->GULNetwork_logWithLevel(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession001,
                                               std::nullopt); },
       "<Dozada/Utilities/Network/ERROR> (Message was nil)"},
      {"empty message, nil context", false,
       [&] { network_->GULNetwork_logWithLevel(kGULNetworkLogLevelInfo, kGULNetworkMessageCodeURLSession019,
                                               std::string(), foundation::Value()); },
       "<Dozada/Utilities/Network/INFO> (Message was empty)"},
      {"unnamed level 5 only in debug mode", false,
       [&] { network_->GULNetwork_logWithLevel(static_cast<GULNetworkLogLevel>(5), kGULNetworkMessageCodeNetwork000,
                                               "notice"); },
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    network_->setIsDebugModeEnabled(c.debug);
    capture_.clear();
    c.log();
    const auto lines = capture_.log_lines();
    if (!c.printed) {
      EXPECT_TRUE(lines.empty());
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], *c.printed);
  }
  // The same text reached the core logger under the client's service and code.
  const auto messages = coreLogMessages();
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      " - [GULNetwork][I-NET900002] <Dozada/Utilities/Network/WARNING> Failed to create network "
                      "request. Code, error: 1, (nil)"),
            messages.end());
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      " - [GULNetwork][I-NET901019] <Dozada/Utilities/Network/INFO> (Message was empty)"),
            messages.end());
}

TEST_F(GULNetworkLogTest, LoggerDelegateTakesEveryFormAndPartialOnesAreRefused) {
  auto full = std::make_shared<RecordingNetworkLogger>();
  network_->setLoggerDelegate(full);
  network_->GULNetwork_logWithLevel(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession017, "a",
                                    std::vector<foundation::Value>{foundation::Value(1)});
  network_->GULNetwork_logWithLevel(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession003, "b",
                                    foundation::Value("id"));
  network_->GULNetwork_logWithLevel(kGULNetworkLogLevelInfo, kGULNetworkMessageCodeURLSession019, "c");
  const auto lines = full->lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].form, 0);
  EXPECT_EQ(lines[0].code, 901017);
  EXPECT_EQ(lines[1].form, 1);
  EXPECT_EQ(lines[1].level, 7);  // whatever the level and debug mode
  EXPECT_EQ(lines[2].form, 2);
  EXPECT_EQ(lines[2].message, "c");
  EXPECT_TRUE(capture_.log_lines().empty());

  const std::string refusal =
      " - [GULNetwork][I-NET900002] Cannot set the network logger delegate: delegate does not conform to the network "
      "logger protocol.";
  auto partial = std::make_shared<RecordingNetworkLogger>(false);
  network_->setLoggerDelegate(partial);
  network_->setLoggerDelegate(std::weak_ptr<GULNetworkLoggerDelegate>());
  const auto messages = coreLogMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), refusal), 2);
  EXPECT_EQ(network_->loggerDelegate(), full);
}

}  // namespace
