// Lifetime value through the engine's intake: amounts in millionths per
// currency, eviction of the currency set longest ago, sums out of range,
// and the purchase dedupe ahead of the reporter.
#include "analytics/purchases/lifetime_value.h"

#include <algorithm>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include "analytics/facade/davidovivove.h"
#include "analytics/model/event.h"
#include "analytics/purchases/transaction_reporter.h"
#include "platform/store/store.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/purchase_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace store = platform::store;
using analytics::APMEvent;
using analytics_test::MonitorRecorder;


class LifetimeValueTest : public analytics_test::PurchaseEngineTest {
 protected:
  void SetUp() override {
    clock_ = platform::testing::ManualClock::install(1700000000.0);
    boot();
    engine_ = startEngine(false);
    ASSERT_TRUE(engine_);
  }
  void purchase(const std::string& name, const std::string& currency, fd::Value value) {
    engine_->logEvent(APMEvent::initWithOrigin(name == "_iap" ? "auto" : "app", name != "_iap", name,
                                               clock_->now_since_1970(), 0,
                                               fd::Dict{{"currency", fd::Value(currency)}, {"value", value}}));
    analytics_test::drainWorker(*engine_);
  }
  std::optional<std::int64_t> lifetime(const std::string& currency) {
    const auto attribute = analytics_test::storedUserAttribute(*engine_, "_ltv_" + currency);
    if (!attribute) return std::nullopt;
    EXPECT_EQ(attribute->origin(), "auto");
    return attribute->value()->int64Value();
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::shared_ptr<analytics::APMMeasurement> engine_;
};

TEST_F(LifetimeValueTest, PurchaseAmountsAddUpPerCurrencyInMillionths) {
  purchase("ecommerce_purchase", "usd", fd::Value(2.5));
  EXPECT_EQ(lifetime("USD"), 2500000);
  purchase("ecommerce_purchase", "USD", fd::Value(-0.0000025));  // rounds half away from zero: -3
  EXPECT_EQ(lifetime("USD"), 2499997);
  purchase("_iap", "EUR", fd::Value(std::int64_t{990000}));
  purchase("_iap", "EUR", fd::Value(std::int64_t{990000}));
  EXPECT_EQ(lifetime("EUR"), 1980000);
  // Other events and invalid currencies or values leave the sums alone.
  MonitorRecorder monitor;
  purchase("spend", "EUR", fd::Value(std::int64_t{5}));
  purchase("_iap", "EURO", fd::Value(std::int64_t{5}));
  purchase("_iap", "EUR", fd::Value("lots"));
  EXPECT_EQ(lifetime("EUR"), 1980000);
  EXPECT_EQ(analytics_test::monitorCount(monitor, 22000), 1);
  EXPECT_EQ(analytics_test::monitorCount(monitor, 22001), 1);
  EXPECT_FALSE(lifetime("EURO"));
}

TEST_F(LifetimeValueTest, AFifthCurrencyEvictsTheOneSetLongestAgo) {
  for (const char* currency : {"AAA", "BBB", "CCC", "DDD"}) {
    purchase("_iap", currency, fd::Value(std::int64_t{1}));
    clock_->advance(platform::dispatch::Duration(10));
  }
  purchase("_iap", "AAA", fd::Value(std::int64_t{1}));  // now set most recently
  clock_->advance(platform::dispatch::Duration(10));
  purchase("_iap", "EEE", fd::Value(std::int64_t{7}));
  EXPECT_EQ(lifetime("AAA"), 2);
  EXPECT_FALSE(lifetime("BBB"));
  EXPECT_EQ(lifetime("CCC"), 1);
  EXPECT_EQ(lifetime("DDD"), 1);
  EXPECT_EQ(lifetime("EEE"), 7);
}

TEST_F(LifetimeValueTest, ASumOutOfRangeChangesNothingAndStoresNoEvent) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  purchase("_iap", "EUR", fd::Value(kMax - 10));
  const auto storedBefore = analytics_test::storedEventsNamed(*engine_, "_iap").size();
  MonitorRecorder monitor;
  purchase("_iap", "EUR", fd::Value(std::int64_t{11}));
  EXPECT_EQ(analytics_test::monitorCount(monitor, 22002), 1);
  EXPECT_EQ(lifetime("EUR"), kMax - 10);
  EXPECT_EQ(analytics_test::storedEventsNamed(*engine_, "_iap").size(), storedBefore);
  // An amount that does not fit in millionths is refused the same way.
  purchase("ecommerce_purchase", "USD", fd::Value(1e13));
  EXPECT_EQ(analytics_test::monitorCount(monitor, 22002), 2);
  EXPECT_FALSE(lifetime("USD"));
  EXPECT_TRUE(analytics_test::storedEventsNamed(*engine_, "ecommerce_purchase").empty());
  // What still fits is added.
  purchase("_iap", "EUR", fd::Value(std::int64_t{10}));
  EXPECT_EQ(lifetime("EUR"), kMax);
}

TEST_F(LifetimeValueTest, TheFacadeRegistrationFillsTheFourSeams) {
  analytics::APMInstallConditionalPropertiesSeam(nullptr);
  analytics::APMInstallLifetimeValueSeam(nullptr);
  analytics::APMInstallPurchasesSeam(nullptr);
  analytics::APMInstallSearchAdsSeam(nullptr);
  purchase("_iap", "GBP", fd::Value(std::int64_t{5}));
  EXPECT_FALSE(lifetime("GBP"));  // nothing installed: no lifetime value
  analytics::register_runtime_classes();
  EXPECT_TRUE(analytics::APMConditionalPropertiesSeamInstalled());
  EXPECT_TRUE(analytics::APMPurchasesSeamInstalled());
  EXPECT_TRUE(analytics::APMSearchAdsSeamInstalled());
  ASSERT_TRUE(analytics::APMLifetimeValueSeamInstalled());
  purchase("_iap", "GBP", fd::Value(std::int64_t{5}));
  EXPECT_EQ(lifetime("GBP"), 5);
}

TEST(LifetimeValueRounding, MillionthsRoundHalfAwayFromZeroWithinRange) {
  EXPECT_EQ(analytics::APMMicrosRoundedFromDouble(2.5), 2500000);
  EXPECT_EQ(analytics::APMMicrosRoundedFromDouble(0.0000005), 1);
  EXPECT_EQ(analytics::APMMicrosRoundedFromDouble(-0.0000005), -1);
  EXPECT_EQ(analytics::APMMicrosRoundedFromDouble(9.2e12), 9200000000000000000);
  EXPECT_FALSE(analytics::APMMicrosRoundedFromDouble(9.3e12));
  EXPECT_FALSE(analytics::APMMicrosRoundedFromDouble(-9.3e12));
  EXPECT_FALSE(analytics::APMMicrosRoundedFromDouble(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(analytics::APMMicrosRoundedFromDouble(std::numeric_limits<double>::quiet_NaN()));
}

// ---- dedupe ahead of the reporter ---------------------------------------------------

std::shared_ptr<store::Transaction> dedupeTransaction(store::TransactionState state, std::string identifier) {
  auto transaction = std::make_shared<store::Transaction>();
  transaction->state = state;
  transaction->payment = store::Payment{"org.example.coins", 1};
  transaction->identifier = std::move(identifier);
  return transaction;
}

class PurchaseDedupeTest : public LifetimeValueTest {
 protected:
  using Transactions = analytics::APMPurchasesSeam::Transactions;
  Transactions filter(const Transactions& input) {
    auto seam = analytics::APMPurchasesSeamInstalled();
    EXPECT_TRUE(seam);
    std::promise<Transactions> kept;
    seam->filterPurchaseTransactions(*engine_, input, [&kept](Transactions result) { kept.set_value(result); });
    auto future = kept.get_future();
    EXPECT_EQ(future.wait_for(analytics_test::kEngineHang), std::future_status::ready);
    return future.get();
  }
};

TEST_F(PurchaseDedupeTest, OnlyNewPurchasesPassWhileDedupeIsOn) {
  const auto restored = dedupeTransaction(store::TransactionState::restored, "100");
  const auto failed = dedupeTransaction(store::TransactionState::failed, "101");
  const auto bought = dedupeTransaction(store::TransactionState::purchased, "102");
  const auto zeros = dedupeTransaction(store::TransactionState::purchased, "000-00");
  MonitorRecorder monitor;
  EXPECT_EQ(filter({restored, failed, bought, zeros}), (Transactions{bought, zeros}));
  EXPECT_EQ(analytics_test::monitorCount(monitor, 23139), 1);
  // The same purchase a second time is a duplicate; the unfingerprinted one passes again.
  EXPECT_EQ(filter({bought, zeros}), (Transactions{zeros}));
  EXPECT_EQ(analytics_test::monitorCount(monitor, 23141), 1);
  EXPECT_EQ(analytics_test::monitorCount(monitor, 23139), 2);
  // Its fingerprint is kept in the database.
  const auto fingerprint = analytics::APMInAppPurchaseTransactionReporter::transactionFingerprint(bought);
  ASSERT_TRUE(fingerprint);
  std::optional<bool> isNew;
  engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:8", [&] {
    isNew = engine_->database()->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, nullptr);
  });
  EXPECT_EQ(isNew, false);
}

TEST_F(PurchaseDedupeTest, WithDedupeOffEveryTransactionPasses) {
  ASSERT_TRUE(analytics_test::applySettings(*engine_, {{"measurement.upload.dedupe_purchases_enabled", "0"}}));
  const Transactions input{dedupeTransaction(store::TransactionState::restored, "100"),
                           dedupeTransaction(store::TransactionState::failed, "101"),
                           dedupeTransaction(store::TransactionState::purchased, "102")};
  EXPECT_EQ(filter(input), input);
  EXPECT_EQ(filter(input), input);
}

}  // namespace
