// Purchase events: exact prices in millionths, the parameters and their
// classification from a receipt fixture and the dates store, and the road
// from store.json and the payment queue to stored "_iap" / "_iapx" events.
#include "analytics/purchases/transaction_reporter.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "analytics/support/user_defaults.h"
#include "platform/dispatch/run_loop.h"
#include "platform/store/store.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/purchase_support.h"
#include "tests/analytics/receipt_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace store = platform::store;
using analytics::APMInAppPurchaseEventParameters;
using analytics::APMPriceInMicros;
using analytics_test::MonitorRecorder;
using namespace analytics_test::receipt_fixture;

std::shared_ptr<store::Transaction> iapTransaction(const std::string& product, int quantity,
                                                   std::optional<std::string> identifier,
                                                   std::optional<std::string> original = std::nullopt,
                                                   std::optional<double> date = std::nullopt) {
  auto transaction = std::make_shared<store::Transaction>();
  transaction->state = store::TransactionState::purchased;
  transaction->payment = store::Payment{product, quantity};
  transaction->identifier = std::move(identifier);
  if (original) {
    transaction->original = std::make_shared<store::Transaction>();
    transaction->original->identifier = original;
  }
  if (date) transaction->date = fd::Date{*date};
  return transaction;
}

store::Product iapProduct(const std::string& id, const std::string& price, const std::string& currency = "EUR",
                          std::optional<std::string> introductory = std::nullopt) {
  store::Product product{id, "Title of " + id, store::Price{price, 0}, "de_DE", currency, std::nullopt};
  if (introductory) product.introductory_price = store::ProductDiscount{store::Price{*introductory, 0}};
  return product;
}

// A receipt record of fields; an expiration date makes it a subscription.
Bytes iapRecord(const std::string& product, const std::string& transaction, const std::string& original,
                bool expires, bool freeTrial = false, bool introductory = false, int type = 0) {
  std::vector<Bytes> fields{productField(product), transactionField(transaction),
                            field(0xA9, 0x0C, textBytes(original))};
  if (expires) fields.push_back(field(0xAC, 0x16, textBytes("2030-01-01T00:00:00Z")));
  if (freeTrial) fields.push_back(field(0xB1, 0x02, {0x01}));
  if (introductory) fields.push_back(field(0xB7, 0x02, {0x01}));
  if (type) fields.push_back(field(0xAB, 0x02, {static_cast<std::uint8_t>(type)}));
  return record(fields);
}

fd::Dict iapParameters(const std::optional<fd::Dict>& parameters) { return parameters.value_or(fd::Dict{}); }

TEST(PurchasePrices, MillionthsComeExactlyFromTheDecimalText) {
  const struct {
    const char* text;
    std::int64_t quantity;
    std::optional<std::int64_t> micros;
  } cases[] = {
      {"0.99", 1, 990000},
      {"0.99", 2, 1980000},
      {"2.01", 1, 2010000},  // as a double, 2.01 × 1e6 truncates to 2009999
      {"2.01", 3, 6030000},
      {"4.990", 1, 4990000},
      {"19.9999999", 1, 19999999},  // truncated toward zero
      {"0.0000005", 3, 1},
      {"-1.5", 1, -1500000},
      {"1e3", 1, 1000000000},
      {"9223372036854.775807", 1, std::numeric_limits<std::int64_t>::max()},
      {"9223372036854.775808", 1, std::nullopt},
      {"92233720368547758070", 1, std::nullopt},
      {"5", 2147483647, 10737418235000000},
      {"4611686018427.387904", 2, std::nullopt},
      {"abc", 1, std::nullopt},
      {"", 1, std::nullopt},
      {"1,5", 1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMPriceInMicros(c.text, c.quantity), c.micros) << c.text << " x " << c.quantity;
  }
}

class PurchaseParametersTest : public analytics_test::AnalyticsDeviceTest {
 protected:
  void SetUp() override { boot(); }
  void TearDown() override { platform::dispatch::wait_until_idle(); }
  MonitorRecorder monitor_;
};

TEST_F(PurchaseParametersTest, BaseParametersAndWhatGivesNoEvent) {
  const auto coins = iapProduct("org.example.coins", "0.99");
  const auto parameters = APMInAppPurchaseEventParameters(&coins, iapTransaction("org.example.coins", 2, "1"), {});
  ASSERT_TRUE(parameters);
  EXPECT_EQ(*parameters, (fd::Dict{{"product_id", fd::Value("org.example.coins")},
                                   {"price", fd::Value(std::int64_t{990000})},
                                   {"value", fd::Value(std::int64_t{1980000})},
                                   {"quantity", fd::Value(std::int64_t{2})},
                                   {"currency", fd::Value("EUR")},
                                   {"product_name", fd::Value("Title of org.example.coins")}}));

  const auto noPrice = iapProduct("org.example.free", "");
  const auto tooDear = iapProduct("org.example.dear", "99999999999999999");
  const auto noCurrency = iapProduct("org.example.nocur", "1.00", "");
  const auto huge = iapProduct("org.example.huge", "9000000000000");
  const auto noID = iapProduct("", "1.00");
  const struct {
    const char* label;
    const store::Product* product;
    std::shared_ptr<store::Transaction> transaction;
    std::int64_t code;
  } cases[] = {
      {"no product", nullptr, iapTransaction("x", 1, "1"), 40000},
      {"empty product identifier", &noID, iapTransaction("x", 1, "1"), 40001},
      {"no transaction", &coins, nullptr, 40002},
      {"no price", &noPrice, iapTransaction("org.example.free", 1, "1"), 0},
      {"a price that does not fit", &tooDear, iapTransaction("org.example.dear", 1, "1"), 0},
      {"a value that does not fit", &huge, iapTransaction("org.example.huge", 2, "1"), 0},
      {"no currency", &noCurrency, iapTransaction("org.example.nocur", 1, "1"), 0},
      {"quantity 0 has no value", &coins, iapTransaction("org.example.coins", 0, "1"), 0},
  };
  for (const auto& c : cases) {
    monitor_.clear();
    EXPECT_FALSE(APMInAppPurchaseEventParameters(c.product, c.transaction, {})) << c.label;
    if (c.code) {
      const auto codes = monitor_.codes();
      EXPECT_NE(std::find(codes.begin(), codes.end(), c.code), codes.end()) << c.label;
    }
  }
}

TEST_F(PurchaseParametersTest, TheReceiptClassifiesPurchases) {
  platform::store::register_runtime_classes();  // "SKProductDiscount" for introductory prices
  const Bytes data = receipt("1", {iapRecord("org.example.pro", "1000", "1000", false),
                                   iapRecord("org.example.sub", "2000", "2000", false, false, false, 2),
                                   iapRecord("org.example.trial", "3000", "3000", true, true),
                                   iapRecord("org.example.intro", "4000", "4000", true, false, true),
                                   iapRecord("org.example.renew", "5000", "5000", true, false, true),
                                   iapRecord("org.example.renew", "5001", "5000", true)});
  const auto pro = iapProduct("org.example.pro", "4.99");
  const auto sub = iapProduct("org.example.sub", "1.99");
  const auto trial = iapProduct("org.example.trial", "4.99");
  const auto intro = iapProduct("org.example.intro", "4.99", "EUR", "0.49");
  const auto renew = iapProduct("org.example.renew", "2.99");
  const auto none = iapProduct("org.example.none", "0.99");

  // A non-consumable bought again: another transaction than its original.
  auto p = iapParameters(APMInAppPurchaseEventParameters(&pro, iapTransaction("org.example.pro", 1, "1001", "1000"), data));
  EXPECT_EQ(p.get("invalid"), fd::Value(1));
  EXPECT_EQ(p.get("price"), fd::Value(std::int64_t{4990000}));
  // Its first purchase with purchase type 2 counts as a subscription.
  p = iapParameters(APMInAppPurchaseEventParameters(&sub, iapTransaction("org.example.sub", 1, "2000"), data));
  EXPECT_EQ(p.get("subscription"), fd::Value(1));
  EXPECT_FALSE(p.contains("invalid"));
  // The first free trial: price replaced by 0.
  p = iapParameters(APMInAppPurchaseEventParameters(&trial, iapTransaction("org.example.trial", 2, "3000"), data));
  EXPECT_EQ(p.get("subscription"), fd::Value(1));
  EXPECT_EQ(p.get("free_trial"), fd::Value(1));
  EXPECT_EQ(p.get("price_is_discounted"), fd::Value(1));
  EXPECT_EQ(p.get("price"), fd::Value(0));
  EXPECT_EQ(p.get("value"), fd::Value(0));
  EXPECT_EQ(p.get("original_price"), fd::Value(std::int64_t{4990000}));
  // An introductory offer: the introductory price, exactly.
  p = iapParameters(APMInAppPurchaseEventParameters(&intro, iapTransaction("org.example.intro", 3, "4000"), data));
  EXPECT_EQ(p.get("price_is_discounted"), fd::Value(1));
  EXPECT_EQ(p.get("price"), fd::Value(std::int64_t{490000}));
  EXPECT_EQ(p.get("value"), fd::Value(std::int64_t{1470000}));
  EXPECT_EQ(p.get("original_price"), fd::Value(std::int64_t{4990000}));
  // An introductory record followed by a full-price one: a renewing subscription.
  p = iapParameters(
      APMInAppPurchaseEventParameters(&renew, iapTransaction("org.example.renew", 1, "5002", "5000", 1000.0), data));
  EXPECT_EQ(p.get("subscription"), fd::Value(1));
  EXPECT_FALSE(p.contains("price_is_discounted"));
  // No record of the product: reported as a consumable.
  monitor_.clear();
  p = iapParameters(APMInAppPurchaseEventParameters(&none, iapTransaction("org.example.none", 1, "6000"), data));
  EXPECT_FALSE(p.contains("subscription"));
  const auto codes = monitor_.codes();
  EXPECT_NE(std::find(codes.begin(), codes.end(), 40004), codes.end());
  // Without a receipt nothing is classified.
  p = iapParameters(APMInAppPurchaseEventParameters(&pro, iapTransaction("org.example.pro", 1, "1001", "1000"), {}));
  EXPECT_FALSE(p.contains("invalid"));
}

TEST_F(PurchaseParametersTest, StoredRenewalDatesMoveForwardOnlyAndTheSameDateIsARepurchase) {
  const Bytes data = receipt("1", {iapRecord("org.example.renew", "5000", "5000", true)});
  const auto renew = iapProduct("org.example.renew", "2.99");
  const auto classify = [&](double date) {
    return iapParameters(
        APMInAppPurchaseEventParameters(&renew, iapTransaction("org.example.renew", 1, "50", "5000", date), data));
  };
  const auto storedDate = [] {
    const auto value = analytics::APMPurchaseDatesDefaults().objectForKey("org.example.renew");
    return value && value->date() ? value->date()->since_1970 : 0.0;
  };
  EXPECT_EQ(classify(2000).get("subscription"), fd::Value(1));  // from the receipt; stored
  EXPECT_EQ(storedDate(), 2000);
  EXPECT_EQ(classify(3000).get("subscription"), fd::Value(1));  // later: moves forward
  EXPECT_EQ(storedDate(), 3000);
  EXPECT_EQ(classify(2500).get("subscription"), fd::Value(1));  // earlier: stays
  EXPECT_EQ(storedDate(), 3000);
  const auto again = classify(3000);                           // the same date again
  EXPECT_EQ(again.get("invalid"), fd::Value(1));
  EXPECT_FALSE(again.contains("subscription"));
  // Saved at once: a store of the same suite reads it from disk.
  analytics::APMUserDefaults reread("com.dozada.ruv.measurement.dates");
  const auto kept = reread.objectForKey("org.example.renew");
  ASSERT_TRUE(kept && kept->date());
  EXPECT_EQ(kept->date()->since_1970, 3000);
}

TEST_F(PurchaseParametersTest, FingerprintsAreTheLowerHexMD5OfPurchasedIdentifiers) {
  const struct {
    const char* label;
    std::optional<std::string> identifier;
    store::TransactionState state;
    std::optional<std::string> fingerprint;
    std::int64_t code;
  } cases[] = {
      {"purchased", "1000000001", store::TransactionState::purchased, "40433343a063d26054a3169b42b5957f", 0},
      {"restored", "1000000001", store::TransactionState::restored, std::nullopt, 0},
      {"no identifier", std::nullopt, store::TransactionState::purchased, std::nullopt, 21015},
      {"empty", "", store::TransactionState::purchased, std::nullopt, 21016},
      {"zeros and hyphens", "0000-000-0", store::TransactionState::purchased, std::nullopt, 21017},
  };
  for (const auto& c : cases) {
    monitor_.clear();
    auto transaction = iapTransaction("p", 1, c.identifier);
    transaction->state = c.state;
    EXPECT_EQ(analytics::APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction), c.fingerprint)
        << c.label;
    const auto codes = monitor_.codes();
    EXPECT_EQ(codes, c.code ? std::vector<std::int64_t>{c.code} : std::vector<std::int64_t>{}) << c.label;
  }
  EXPECT_FALSE(analytics::APMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
}

// The road from the payment queue: products from store.json, the receipt in
// the bundle, events stored by the engine.
class PurchaseRoadTest : public analytics_test::PurchaseEngineTest {
 protected:
  void SetUp() override {
    boot();
    platform::store::register_runtime_classes();
    std::ofstream(device().device() / "store.json") << R"({"products": [
      {"id": "org.example.coins", "title": "Coins", "price": "0.99", "currency_code": "EUR"},
      {"id": "org.example.gems", "title": "Gems", "price": "2.01", "currency_code": "USD"},
      {"id": "org.example.pro", "title": "Pro", "price": "4.99", "currency_code": "EUR"}]})";
    engine_ = startEngine(false);
    ASSERT_TRUE(engine_);
  }
  void writeReceipt(const Bytes& data) {
    std::filesystem::create_directories(device().bundle() / "StoreKit");
    std::ofstream(device().bundle() / "StoreKit" / "sandboxReceipt", std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  std::size_t purchaseCount() {
    std::size_t count = 0;
    for (const auto& name : analytics_test::storedNames(*engine_)) count += name == "_iap" || name == "_iapx";
    return count;
  }
  std::shared_ptr<analytics::APMMeasurement> engine_;
};

TEST_F(PurchaseRoadTest, DeliveredPurchasesBecomeEventsOncePerTransaction) {
  writeReceipt(receipt("1", {iapRecord("org.example.pro", "1000", "1000", false)}));
  auto& queue = store::PaymentQueue::default_queue();
  auto coins = iapTransaction("org.example.coins", 2, "7001");
  queue.deliver({iapTransaction("org.example.unknown", 1, "7000"), coins, iapTransaction("org.example.gems", 1, "7002"),
                 iapTransaction("org.example.pro", 1, "7003", "1000")});
  ASSERT_TRUE(analytics_test::eventually([&] { return purchaseCount() >= 3; }));

  const auto iap = analytics_test::storedEventsNamed(*engine_, "_iap");
  ASSERT_EQ(iap.size(), 2u);
  const auto& first = iap[0].parameter("product_id") == fd::Value("org.example.coins") ? iap[0] : iap[1];
  const auto& second = &first == &iap[0] ? iap[1] : iap[0];
  EXPECT_EQ(first.origin, "auto");
  EXPECT_EQ(first.parameter("price"), fd::Value(std::int64_t{990000}));
  EXPECT_EQ(first.parameter("value"), fd::Value(std::int64_t{1980000}));
  EXPECT_EQ(first.parameter("quantity"), fd::Value(std::int64_t{2}));
  EXPECT_EQ(first.parameter("currency"), fd::Value("EUR"));
  EXPECT_EQ(first.parameter("product_name"), fd::Value("Coins"));
  EXPECT_EQ(second.parameter("product_id"), fd::Value("org.example.gems"));
  EXPECT_EQ(second.parameter("price"), fd::Value(std::int64_t{2010000}));

  // The non-consumable bought again under a sandbox receipt.
  const auto iapx = analytics_test::storedEventsNamed(*engine_, "_iapx");
  ASSERT_EQ(iapx.size(), 1u);
  EXPECT_EQ(iapx[0].parameter("product_id"), fd::Value("org.example.pro"));
  EXPECT_EQ(iapx[0].parameter("sandbox"), fd::Value(1));
  EXPECT_TRUE(iapx[0].parameter("invalid").is_null());

  // The same transaction again is a duplicate; a new one is reported.
  queue.deliver({coins});
  queue.deliver({iapTransaction("org.example.coins", 1, "7004")});
  ASSERT_TRUE(analytics_test::eventually([&] { return purchaseCount() >= 4; }));
  analytics_test::drainWorker(*engine_);
  EXPECT_EQ(analytics_test::storedEventsNamed(*engine_, "_iap").size(), 3u);
  // The lifetime value of the euro purchases: 1980000 + 990000.
  const auto ltv = analytics_test::storedUserAttribute(*engine_, "_ltv_EUR");
  ASSERT_TRUE(ltv);
  EXPECT_EQ(ltv->value()->int64Value(), 2970000);
}

TEST_F(PurchaseRoadTest, TwoPurchaseCommandsGiveTwoIdentifiersAndTwoEvents) {
  ASSERT_TRUE(store::system::purchase("org.example.coins"));
  ASSERT_TRUE(analytics_test::eventually([&] {
    platform::dispatch::RunLoop::main().run_pending();
    return purchaseCount() >= 1;
  }));
  ASSERT_TRUE(store::system::purchase("org.example.coins"));
  ASSERT_TRUE(analytics_test::eventually([&] {
    platform::dispatch::RunLoop::main().run_pending();
    return purchaseCount() >= 2;
  }));
  EXPECT_EQ(analytics_test::storedEventsNamed(*engine_, "_iap").size(), 2u);
}

}  // namespace
