// Search-ad attribution with a fake "ADClient" in a runtime scope and a
// manual clock: the attributed first launch, a not-attributed answer, the
// placeholder answer retried a day later, the delay after an earlier lookup,
// the lookup limit and an absent client.
#include "analytics/purchases/search_ad_reporter.h"

#include <algorithm>
#include <string>
#include <vector>

#include "analytics/config/persisted_config.h"
#include "analytics/selectors.h"
#include "platform/runtime/runtime.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/purchase_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace rt = platform::rt;
using analytics::APMSearchAdReporter;
using analytics_test::MonitorRecorder;

// What the fake client answers to an attribution-details request.
struct SearchAdAnswers {
  std::optional<fd::Dict> details;
  int requests = 0;
};

class SearchAdFakeClient : public rt::Object {
 public:
  using rt::Object::Object;
  std::shared_ptr<SearchAdAnswers> answers;
};

fd::Dict searchAdDetails(const char* attributed, const char* campaign, const char* keyword, const char* campaignID) {
  return fd::Dict{{"Version3.1", fd::Value(fd::Dict{{"iad-attribution", fd::Value(attributed)},
                                                    {"iad-campaign-name", fd::Value(campaign)},
                                                    {"iad-keyword", fd::Value(keyword)},
                                                    {"iad-campaign-id", fd::Value(campaignID)}})}};
}


class SearchAdTest : public analytics_test::PurchaseEngineTest {
 protected:
  void SetUp() override {
    clock_ = platform::testing::ManualClock::install(1700000000.0);
    scope_.emplace();
    boot();
  }
  void TearDown() override {
    analytics_test::PurchaseEngineTest::TearDown();
    reporter_.reset();
    engine_.reset();
  }
  void registerClient() {
    rt::ClassBuilder<SearchAdFakeClient>("ADClient", "NSObject")
        .method(analytics::sel::adClientRequestAttributionDetails,
                [](SearchAdFakeClient& client, analytics::sel::APMAttributionDetailsHandler handler) {
                  ++client.answers->requests;
                  if (client.answers->details) handler(client.answers->details, std::nullopt);
                })
        .class_method(analytics::sel::adClientSharedClient,
                      [answers = answers_](rt::Class& cls) -> rt::Id {
                        auto client = std::make_shared<SearchAdFakeClient>(cls);
                        client->answers = answers;
                        return client;
                      })
        .define();
  }
  // A reporter of its own over the engine's configuration.
  std::shared_ptr<APMSearchAdReporter> makeReporter() {
    auto reporter = APMSearchAdReporter::initWithWorkerQueue(engine_->scheduler()->workerQueue(),
                                                             engine_->persistedConfig());
    if (reporter) reporter->setSearchAdReporterEnabled(true);
    return reporter;
  }
  void runWorker() {
    clock_->advance(platform::dispatch::Duration(0));
    analytics_test::drainWorker(*engine_);
  }
  void runDueLookup() {
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:9", [&] { reporter_->start(); });
    runWorker();
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::optional<rt::Runtime::Scope> scope_;
  std::shared_ptr<SearchAdAnswers> answers_ = std::make_shared<SearchAdAnswers>();
  std::shared_ptr<analytics::APMMeasurement> engine_;
  std::shared_ptr<APMSearchAdReporter> reporter_;
};

TEST_F(SearchAdTest, AnAttributedFirstLaunchLogsOneCampaignEventAndNeverAsksAgain) {
  answers_->details = searchAdDetails("true", "Spring", "shoes", "42");
  registerClient();
  engine_ = startEngine();  // the engine's own reporter, made at component start
  ASSERT_TRUE(engine_);
  runWorker();
  ASSERT_TRUE(analytics_test::eventually([&] { return !analytics_test::storedEventsNamed(*engine_, "_cmp").empty(); }));
  const auto campaigns = analytics_test::storedEventsNamed(*engine_, "_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  const auto firstOpen = engine_->persistedConfig()->firstOpenTimestampMilliseconds();
  ASSERT_GE(firstOpen, 2);
  EXPECT_EQ(campaigns[0].origin, "auto");
  EXPECT_EQ(campaigns[0].parameter("source"), fd::Value("Apple"));
  EXPECT_EQ(campaigns[0].parameter("medium"), fd::Value("search"));
  EXPECT_EQ(campaigns[0].parameter("campaign"), fd::Value("Spring"));
  EXPECT_EQ(campaigns[0].parameter("term"), fd::Value("shoes"));
  EXPECT_EQ(campaigns[0].parameter("click_timestamp"), fd::Value(firstOpen - 1));
  EXPECT_EQ(answers_->requests, 1);

  // A day later nothing is asked; a new start (the next launch) makes no reporter.
  clock_->advance(platform::dispatch::Duration(2 * 86400));
  analytics_test::drainWorker(*engine_);
  EXPECT_EQ(answers_->requests, 1);
  MonitorRecorder monitor;
  EXPECT_EQ(makeReporter(), nullptr);
  EXPECT_EQ(analytics_test::monitorCount(monitor, 32002), 1);
  // A second answer cannot log again.
  auto late = APMSearchAdReporter::initWithWorkerQueue(engine_->scheduler()->workerQueue(), nullptr);
  EXPECT_EQ(late, nullptr);
  EXPECT_EQ(analytics_test::monitorCount(monitor, 32001), 1);
}

TEST_F(SearchAdTest, ANotAttributedAnswerIsStoredAndNothingIsLogged) {
  answers_->details = searchAdDetails("false", "", "", "");
  registerClient();
  engine_ = startEngine(false);
  ASSERT_TRUE(engine_);
  reporter_ = makeReporter();
  ASSERT_TRUE(reporter_);
  runDueLookup();
  EXPECT_EQ(answers_->requests, 1);
  EXPECT_EQ(engine_->persistedConfig()->searchAdCampaignValue(), fd::Value(0));
  EXPECT_FALSE(reporter_->scheduledTimestamp());
  analytics_test::drainEntry();
  analytics_test::drainWorker(*engine_);
  EXPECT_TRUE(analytics_test::storedEventsNamed(*engine_, "_cmp").empty());
  EXPECT_EQ(makeReporter(), nullptr);
}

TEST_F(SearchAdTest, ThePlaceholderAnswerIsRetriedADayLater) {
  answers_->details = searchAdDetails("true", "CampaignName", "Keyword", "1234567890");
  registerClient();
  engine_ = startEngine(false);
  ASSERT_TRUE(engine_);
  reporter_ = makeReporter();
  ASSERT_TRUE(reporter_);
  MonitorRecorder monitor;
  const double now = clock_->now_since_1970();
  runDueLookup();
  EXPECT_EQ(answers_->requests, 1);
  EXPECT_EQ(analytics_test::monitorCount(monitor, 32012), 1);
  EXPECT_FALSE(engine_->persistedConfig()->searchAdCampaignValue());
  ASSERT_TRUE(reporter_->scheduledTimestamp());
  EXPECT_NEAR(*reporter_->scheduledTimestamp(), now + 86400, 1);
  clock_->advance(platform::dispatch::Duration(86399));
  EXPECT_EQ(answers_->requests, 1);
  answers_->details = searchAdDetails("true", "Spring", "shoes", "42");
  clock_->advance(platform::dispatch::Duration(2));
  analytics_test::drainWorker(*engine_);
  EXPECT_EQ(answers_->requests, 2);
  EXPECT_EQ(engine_->persistedConfig()->searchAdRetryCount(), 2);
  EXPECT_EQ(engine_->persistedConfig()->searchAdCampaignValue(), fd::Value(1));
}

TEST_F(SearchAdTest, AnEarlierLookupDelaysTheNextAndTenLookupsEndIt) {
  registerClient();  // answers nothing
  engine_ = startEngine(false);
  ASSERT_TRUE(engine_);
  auto* config = engine_->persistedConfig();
  const double now = clock_->now_since_1970();
  config->setLastSearchAdLookUpTimestamp(now - 3 * 3600);
  reporter_ = makeReporter();
  ASSERT_TRUE(reporter_);
  engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:10", [&] { reporter_->start(); });
  ASSERT_TRUE(reporter_->scheduledTimestamp());
  EXPECT_NEAR(*reporter_->scheduledTimestamp(), now + 21 * 3600, 1);
  EXPECT_EQ(answers_->requests, 0);

  // Unanswered lookups, one a day, until ten were started.
  for (int day = 0; day < 12; ++day) clock_->advance(platform::dispatch::Duration(86400));
  analytics_test::drainWorker(*engine_);
  EXPECT_EQ(answers_->requests, 10);
  EXPECT_EQ(config->searchAdRetryCount(), 10);
  EXPECT_FALSE(reporter_->scheduledTimestamp());
  EXPECT_EQ(makeReporter(), nullptr);
}

TEST_F(SearchAdTest, WithoutAClientTheReporterStopsAtTheStart) {
  MonitorRecorder monitor;
  engine_ = startEngine();
  ASSERT_TRUE(engine_);
  EXPECT_EQ(analytics_test::monitorCount(monitor, 32003), 1);
  EXPECT_EQ(engine_->persistedConfig()->searchAdRetryCount(), 0);
}

}  // namespace
