// The engine's seams: with every slot emptied a deep link, a payment update,
// a resign and the automatic events change nothing beyond first open; with
// recording doubles each seam sees the calls the engine and the entry make.
// Each test saves the slots and puts them back, whatever was installed.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/engine_seams.h"
#include "analytics/selectors.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/notification.h"
#include "platform/runtime/runtime.h"
#include "platform/store/store.h"
#include "platform/ui/application.h"
#include "tests/analytics/engine_intake_support.h"

namespace {

namespace fd = platform::foundation;
namespace rt = platform::rt;
using analytics::APMAnalytics;
using analytics::APMMeasurement;
using analytics_test::MonitorRecorder;
using Transactions = analytics::APMPurchasesSeam::Transactions;

// Saves every slot on construction and puts it back on destruction.
class SeamSlotsGuard {
 public:
  SeamSlotsGuard()
      : upload_(analytics::APMUploadSeamInstalled()), sessions_(analytics::APMSessionsSeamInstalled()),
        screens_(analytics::APMScreensSeamInstalled()), campaigns_(analytics::APMCampaignsSeamInstalled()),
        conditional_(analytics::APMConditionalPropertiesSeamInstalled()),
        lifetime_(analytics::APMLifetimeValueSeamInstalled()), purchases_(analytics::APMPurchasesSeamInstalled()),
        searchAds_(analytics::APMSearchAdsSeamInstalled()) {}
  ~SeamSlotsGuard() {
    analytics::APMInstallUploadSeam(upload_);
    analytics::APMInstallSessionsSeam(sessions_);
    analytics::APMInstallScreensSeam(screens_);
    analytics::APMInstallCampaignsSeam(campaigns_);
    analytics::APMInstallConditionalPropertiesSeam(conditional_);
    analytics::APMInstallLifetimeValueSeam(lifetime_);
    analytics::APMInstallPurchasesSeam(purchases_);
    analytics::APMInstallSearchAdsSeam(searchAds_);
  }
  SeamSlotsGuard(const SeamSlotsGuard&) = delete;
  SeamSlotsGuard& operator=(const SeamSlotsGuard&) = delete;

  static void emptyAll() {
    analytics::APMInstallUploadSeam(nullptr);
    analytics::APMInstallSessionsSeam(nullptr);
    analytics::APMInstallScreensSeam(nullptr);
    analytics::APMInstallCampaignsSeam(nullptr);
    analytics::APMInstallConditionalPropertiesSeam(nullptr);
    analytics::APMInstallLifetimeValueSeam(nullptr);
    analytics::APMInstallPurchasesSeam(nullptr);
    analytics::APMInstallSearchAdsSeam(nullptr);
  }

 private:
  std::shared_ptr<analytics::APMUploadSeam> upload_;
  std::shared_ptr<analytics::APMSessionsSeam> sessions_;
  std::shared_ptr<analytics::APMScreensSeam> screens_;
  std::shared_ptr<analytics::APMCampaignsSeam> campaigns_;
  std::shared_ptr<analytics::APMConditionalPropertiesSeam> conditional_;
  std::shared_ptr<analytics::APMLifetimeValueSeam> lifetime_;
  std::shared_ptr<analytics::APMPurchasesSeam> purchases_;
  std::shared_ptr<analytics::APMSearchAdsSeam> searchAds_;
};

// The names of the calls the doubles saw, in order, from any thread.
class SeamCallLog {
 public:
  void add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::ptrdiff_t count(const std::string& call) const {
    const auto all = calls();
    return std::count(all.begin(), all.end(), call);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

class RecordingUpload : public analytics::APMUploadSeam {
 public:
  explicit RecordingUpload(SeamCallLog& log) : log_(log) {}
  bool hasDataToUpload(APMMeasurement&) override { return false; }
  double nextUploadingTime(APMMeasurement&) override { return 0; }
  void uploadData(APMMeasurement&) override { log_.add("uploadData"); }
  void swapBackgroundTaskWithNewTaskID(APMMeasurement&, std::uint64_t) override {}
  void terminateBackgroundTask(APMMeasurement&) override {}
  void observeApplicationState(APMMeasurement&) override { log_.add("observeApplicationState"); }
  void handleAppDidFinishLaunching(const fd::Dict&) override { log_.add("handleAppDidFinishLaunching"); }
  void logNetworkMessage(std::int64_t, std::int64_t code, const std::optional<std::string>&,
                         const std::vector<fd::Value>&) override {
    log_.add("logNetworkMessage " + std::to_string(code));
  }

 private:
  SeamCallLog& log_;
};

class RecordingSessionReporter : public analytics::APMSessionReporting {
 public:
  explicit RecordingSessionReporter(SeamCallLog& log) : log_(log) {}
  bool isSessionExpired() override {
    log_.add("isSessionExpired");
    return false;
  }
  bool extendSession() override { return true; }
  void updatePropertiesForNewSessionStart() override {}
  analytics::APMUserAttributeRef sessionIDPropertyWithTimestamp(double) override { return nullptr; }
  analytics::APMUserAttributeRef sessionNumberProperty() override { return nullptr; }
  void setReportingEnabled(bool) override {}
  void setMinimumSessionInterval(double seconds) override {
    log_.add("setMinimumSessionInterval " + std::to_string(static_cast<int>(seconds)));
  }
  void setTimeoutSessionInterval(double) override {}

 private:
  SeamCallLog& log_;
};

class RecordingSessions : public analytics::APMSessionsSeam {
 public:
  explicit RecordingSessions(SeamCallLog& log) : log_(log) {}
  std::shared_ptr<analytics::APMSessionReporting> makeSessionReporter(analytics::APMPersistedConfig*) override {
    log_.add("makeSessionReporter");
    return std::make_shared<RecordingSessionReporter>(log_);
  }
  analytics::APMEventRef createSessionStartEvent(std::optional<std::int64_t>, double) override { return nullptr; }

 private:
  SeamCallLog& log_;
};

class RecordingScreens : public analytics::APMScreensSeam {
 public:
  explicit RecordingScreens(SeamCallLog& log) : log_(log) {}
  fd::Dict screenParameters() override { return {}; }
  void setScreenName(const std::optional<std::string>& name, const std::optional<std::string>&) override {
    log_.add("setScreenName " + name.value_or("-"));
  }

 private:
  SeamCallLog& log_;
};

class RecordingCampaigns : public analytics::APMCampaignsSeam {
 public:
  explicit RecordingCampaigns(SeamCallLog& log) : log_(log) {}
  void handleNonFirstOpenEventURL(APMMeasurement&, const fd::Url& url, double) override {
    log_.add("handleNonFirstOpenEventURL " + url.absolute_string());
  }
  std::optional<fd::Url> deepLinkFromUserActivity(const std::shared_ptr<platform::ui::UserActivity>& activity) override {
    log_.add("deepLinkFromUserActivity");
    return activity ? activity->webpage_url : std::nullopt;
  }
  void reportStoredCampaignEventOnWorkerQueue(APMMeasurement&, std::optional<double> clickTime) override {
    log_.add(clickTime ? "reportStoredCampaignEvent at first open" : "reportStoredCampaignEvent");
  }

 private:
  SeamCallLog& log_;
};

// Produces "_cond_effect" after every "cond_trigger".
class RecordingConditional : public analytics::APMConditionalPropertiesSeam {
 public:
  explicit RecordingConditional(SeamCallLog& log) : log_(log) {}
  std::optional<std::vector<analytics::APMEventRef>> processEventOnWorkerQueue(
      APMMeasurement&, const analytics::APMEventRef& event) override {
    log_.add("processEvent " + event->name());
    if (event->name() != "cond_trigger") return std::vector<analytics::APMEventRef>{};
    return std::vector<analytics::APMEventRef>{
        analytics::APMEvent::initWithOrigin("auto", false, "_cond_effect", event->timestamp(), 0, {})};
  }

 private:
  SeamCallLog& log_;
};

// "purchase_item" is a purchase whose lifetime value cannot be recorded.
class RecordingLifetime : public analytics::APMLifetimeValueSeam {
 public:
  explicit RecordingLifetime(SeamCallLog& log) : log_(log) {}
  bool isPurchaseEvent(const analytics::APMEvent& event) override { return event.name() == "purchase_item"; }
  bool recordLifetimeValueToDatabase(analytics::APMDatabase&, const analytics::APMEvent& event) override {
    log_.add("recordLifetimeValue " + event.name());
    return false;
  }

 private:
  SeamCallLog& log_;
};

// Keeps only purchased transactions.
class RecordingPurchases : public analytics::APMPurchasesSeam {
 public:
  explicit RecordingPurchases(SeamCallLog& log) : log_(log) {}
  void filterPurchaseTransactions(APMMeasurement&, const Transactions& transactions,
                                  std::function<void(Transactions)> callback) override {
    log_.add("filterPurchaseTransactions " + std::to_string(transactions.size()));
    Transactions kept;
    for (const auto& t : transactions) {
      if (t->state == platform::store::TransactionState::purchased) kept.push_back(t);
    }
    callback(kept);
  }
  void paymentQueueUpdatedFilteredTransactions(platform::store::PaymentQueue&, const Transactions& filtered) override {
    log_.add("updatedFilteredTransactions " + std::to_string(filtered.size()));
  }

 private:
  SeamCallLog& log_;
};

class RecordingSearchAdReporter : public analytics::APMSearchAdReporting {
 public:
  explicit RecordingSearchAdReporter(SeamCallLog& log) : log_(log) {}
  void setSearchAdReporterEnabled(bool) override {}
  void start() override { log_.add("searchAdReporter start"); }

 private:
  SeamCallLog& log_;
};

class RecordingSearchAds : public analytics::APMSearchAdsSeam {
 public:
  explicit RecordingSearchAds(SeamCallLog& log) : log_(log) {}
  std::shared_ptr<analytics::APMSearchAdReporting> makeSearchAdReporter(const platform::dispatch::Queue&,
                                                                        analytics::APMPersistedConfig*) override {
    log_.add("makeSearchAdReporter");
    return std::make_shared<RecordingSearchAdReporter>(log_);
  }

 private:
  SeamCallLog& log_;
};

Transactions seamTransactions() {
  auto purchased = std::make_shared<platform::store::Transaction>();
  purchased->state = platform::store::TransactionState::purchased;
  purchased->identifier = "t-1";
  auto failed = std::make_shared<platform::store::Transaction>();
  failed->state = platform::store::TransactionState::failed;
  return {purchased, failed};
}

class AnalyticsSeamsTest : public analytics_test::StartedEngineTest {
 protected:
  // Runs the main run loop until `done` (a hang check).
  static bool pumpMainUntil(const std::function<bool()>& done) {
    return platform::dispatch::RunLoop::main().run_until(done, analytics_test::kEngineHang);
  }
  SeamSlotsGuard slots_;
  SeamCallLog log_;
};

TEST_F(AnalyticsSeamsTest, WithNothingInstalledOnlyFirstOpenHappens) {
  SeamSlotsGuard::emptyAll();
  startEngine();
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e"}));
  EXPECT_EQ(engine_->sessionReporter(), nullptr);
  std::atomic<int> toldListener{0};
  APMAnalytics::setOpenURLListener([&](const fd::Url&) { ++toldListener; });
  MonitorRecorder monitor;

  // A deep link and a universal link.
  APMAnalytics::handleOpenURL(*fd::Url::parse("https://intranet.example.org/promo?utm_source=mail"));
  auto activity = std::make_shared<platform::ui::UserActivity>("NSUserActivityTypeBrowsingWeb");
  activity->webpage_url = *fd::Url::parse("https://intranet.example.org/promo?utm_campaign=spring");
  APMAnalytics::handleUserActivity(activity);
  // A payment update.
  APMAnalytics::paymentQueueUpdatedTransactions(platform::store::PaymentQueue::default_queue(), seamTransactions());
  // Resigning active, then an event that starts no session.
  fd::NotificationCenter::default_center().post(std::string(platform::ui::notification_name::will_resign_active));
  handle("app", "after_resign");
  settle();

  EXPECT_EQ(toldListener.load(), 1);
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e", "after_resign"}));
  EXPECT_FALSE(engine_->alarm().scheduledTimestamp());
  EXPECT_EQ(engine_->sessionReporter(), nullptr);
  // The network client gets no logger: nothing bridges its messages.
  engine_->GULNetwork_logWithLevel(core::kGULNetworkLogLevelError,
                                   core::kGULNetworkMessageCodeNetwork000, "message");
  const auto codes = monitor.codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 23062), 0);
}

TEST_F(AnalyticsSeamsTest, EachDoubleSeesItsCalls) {
  analytics::APMInstallUploadSeam(std::make_shared<RecordingUpload>(log_));
  analytics::APMInstallSessionsSeam(std::make_shared<RecordingSessions>(log_));
  analytics::APMInstallScreensSeam(std::make_shared<RecordingScreens>(log_));
  analytics::APMInstallCampaignsSeam(std::make_shared<RecordingCampaigns>(log_));
  analytics::APMInstallConditionalPropertiesSeam(std::make_shared<RecordingConditional>(log_));
  analytics::APMInstallLifetimeValueSeam(std::make_shared<RecordingLifetime>(log_));
  analytics::APMInstallPurchasesSeam(std::make_shared<RecordingPurchases>(log_));
  analytics::APMInstallSearchAdsSeam(std::make_shared<RecordingSearchAds>(log_));
  startEngine();

  // Component start.
  EXPECT_EQ(log_.count("makeSessionReporter"), 1);
  EXPECT_EQ(log_.count("observeApplicationState"), 1);
  EXPECT_EQ(log_.count("reportStoredCampaignEvent"), 1);
  EXPECT_EQ(log_.count("reportStoredCampaignEvent at first open"), 1);
  EXPECT_EQ(log_.count("processEvent _f"), 1);
  EXPECT_EQ(log_.count("processEvent _e"), 1);
  ASSERT_TRUE(engine_->sessionReporter());

  // Intake: conditional properties add their events, a purchase whose value
  // cannot be recorded is lost, the reporter is asked about expiry.
  MonitorRecorder monitor;
  handle("app", "cond_trigger");
  handle("app", "purchase_item");
  settle();
  const auto names = storedNames();
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[names.size() - 2], "cond_trigger");
  EXPECT_EQ(names.back(), "_cond_effect");
  EXPECT_EQ(log_.count("recordLifetimeValue purchase_item"), 1);
  const auto codes = monitor.codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 23053), 1);
  EXPECT_GE(log_.count("isSessionExpired"), 2);

  // The entry's links and payments.
  APMAnalytics::handleOpenURL(*fd::Url::parse("https://intranet.example.org/promo?utm_source=mail"));
  auto activity = std::make_shared<platform::ui::UserActivity>("NSUserActivityTypeBrowsingWeb");
  activity->webpage_url = *fd::Url::parse("https://intranet.example.org/spring");
  APMAnalytics::handleUserActivity(activity);
  APMAnalytics::paymentQueueUpdatedTransactions(platform::store::PaymentQueue::default_queue(), seamTransactions());
  ASSERT_TRUE(analytics_test::drainEntry());
  EXPECT_EQ(log_.count("handleNonFirstOpenEventURL https://intranet.example.org/promo?utm_source=mail"), 1);
  EXPECT_EQ(log_.count("deepLinkFromUserActivity"), 1);
  EXPECT_EQ(log_.count("handleNonFirstOpenEventURL https://intranet.example.org/spring"), 1);
  EXPECT_EQ(log_.count("filterPurchaseTransactions 2"), 1);
  EXPECT_EQ(log_.count("updatedFilteredTransactions 1"), 1);

  // Screens on main, session settings on the worker, the network log bridge.
  APMAnalytics::setScreenName("Home", "HomeController");
  EXPECT_EQ(log_.count("setScreenName Home"), 1);
  engine_->setMinimumSessionInterval(42);
  settle();
  EXPECT_EQ(log_.count("setMinimumSessionInterval 42"), 1);
  engine_->GULNetwork_logWithLevel(core::kGULNetworkLogLevelError,
                                   core::kGULNetworkMessageCodeNetwork000, "message");
  EXPECT_EQ(log_.count("logNetworkMessage " + std::to_string(static_cast<std::int64_t>(
                                                  core::kGULNetworkMessageCodeNetwork000))),
            1);

  // The wipe of a reset makes a new session reporter.
  engine_->resetAnalyticsData();
  settle();
  EXPECT_EQ(log_.count("makeSessionReporter"), 2);
}

TEST_F(AnalyticsSeamsTest, TheSearchAdReporterIsMadeAndStartedAtComponentStart) {
  analytics::APMInstallSearchAdsSeam(std::make_shared<RecordingSearchAds>(log_));
  startEngine();
  ASSERT_TRUE(engine_->instanceRemoteConfig()->isSearchAdReporterEnabled());  // on by default
  EXPECT_EQ(log_.count("makeSearchAdReporter"), 1);
  EXPECT_EQ(log_.count("searchAdReporter start"), 1);
}

TEST_F(AnalyticsSeamsTest, TheInterceptorClassIsFoundByNameOnMain) {
  static std::atomic<int> asked{0};
  rt::Runtime::shared().define(
      {.name = std::string(analytics::kAPMAppDelegateInterceptorClassName),
       .superclass = "NSObject",
       .class_methods = {{analytics::sel::interceptorSharedInstance.id,
                          rt::Imp::make(analytics::sel::interceptorSharedInstance, [](rt::Class&) -> rt::Id {
                            ++asked;
                            return nullptr;
                          })}}});
  startEngine();
  EXPECT_TRUE(pumpMainUntil([] { return asked.load() == 1; }));
}

TEST_F(AnalyticsSeamsTest, TheLaunchNotificationReachesTheUploadSeam) {
  analytics::APMInstallUploadSeam(std::make_shared<RecordingUpload>(log_));
  startEngine();
  APMMeasurement::load();
  fd::NotificationCenter::default_center().post(std::string(platform::ui::notification_name::did_finish_launching));
  EXPECT_TRUE(pumpMainUntil([&] { return log_.count("handleAppDidFinishLaunching") >= 1; }));
}

}  // namespace
