#include <algorithm>
#include <fstream>
#include <string>

#include "platform/store/store.h"
#include "push/purchases.h"
#include "tests/push/feature_fixture.h"

namespace push_test {
namespace {

using push::RerAviror;
using push::RerAvirorTrackIAP;
namespace store = platform::store;

const json kProducts = {{"products",
                         {{{"id", "org.example.pro"}, {"title", "Pro"}, {"price", "4.99"},
                           {"price_locale", "de_DE"}, {"currency_code", "EUR"}},
                          {{"id", "org.example.gems"}, {"title", "Gems"}, {"price", "0.99"},
                           {"price_locale", "en_US"}, {"currency_code", "USD"}}}}};

std::shared_ptr<store::Transaction> transaction(std::string product, int quantity,
                                                store::TransactionState state = store::TransactionState::purchased) {
  auto t = std::make_shared<store::Transaction>();
  t->state = state;
  t->payment = {std::move(product), quantity};
  return t;
}

class PurchasesTest : public FeatureTest {
 protected:
  void startWithStore(json profile = json::object(), bool launch = true) {
    start({.profile = std::move(profile), .launch = launch});
    std::ofstream(device_->device() / "store.json") << kProducts.dump();
    setPlayer("p1");
    RerAviror::startPurchaseTracker();
  }
  void deliver(const std::vector<std::shared_ptr<store::Transaction>>& transactions) {
    store::PaymentQueue::default_queue().deliver(transactions);
  }
  std::size_t reports() { return count("POST", "players/p1/on_purchase"); }
};

TEST_F(PurchasesTest, PurchasesOfOneUpdateAreAddedUpPerProduct) {
  startWithStore();
  ASSERT_NE(RerAvirorTrackIAP::shared(), nullptr);
  deliver({transaction("org.example.pro", 1), transaction("org.example.gems", 1, store::TransactionState::failed),
           transaction("org.example.pro", 2), transaction("org.example.gems", 1, store::TransactionState::restored)});
  ASSERT_TRUE(runUntil([&] { return reports() == 1; }));
  EXPECT_EQ(body("POST", "players/p1/on_purchase"),
            (json{{"app_id", kAppId},
                  {"purchases", {{{"count", 3}, {"sku", "org.example.pro"}, {"amount", 4.99}, {"iso", "EUR"}}}}}));
  // The tracker leaves the transactions to the application.
  EXPECT_EQ(store::PaymentQueue::default_queue().transactions().size(), 4u);
}

TEST_F(PurchasesTest, QuantityOneHasNoCountAndTheEmailRecordGetsItsOwnReport) {
  startWithStore();
  RerAviror::currentEmailSubscriptionState()->setEmailUserId("e1");
  ASSERT_TRUE(platform::sim::device().purchase("org.example.gems"));
  ASSERT_TRUE(runUntil([&] { return reports() == 1 && count("POST", "players/e1/on_purchase") == 1; }));
  const json expected = {{"sku", "org.example.gems"}, {"amount", 0.99}, {"iso", "USD"}};
  EXPECT_EQ(body("POST", "players/p1/on_purchase")["purchases"], json::array({expected}));
  EXPECT_EQ(body("POST", "players/e1/on_purchase"),
            (json{{"app_id", kAppId}, {"purchases", json::array({expected})}, {"email_auth_hash", nullptr}}));
}

TEST_F(PurchasesTest, UpdatesWithoutCompletedPurchasesSendNothing) {
  startWithStore();
  deliver({transaction("org.example.pro", 1, store::TransactionState::restored),
           transaction("org.example.pro", 1, store::TransactionState::failed),
           transaction("org.example.pro", 1, store::TransactionState::purchasing),
           transaction("org.example.pro", 1, store::TransactionState::deferred),
           transaction("org.example.unknown", 1)});
  settle();
  EXPECT_EQ(fake().count(), 0u);
}

TEST_F(PurchasesTest, OnlyTheLatestProductsRequestIsAnswered) {
  startWithStore();
  auto tracker = RerAvirorTrackIAP::shared();
  ASSERT_NE(tracker, nullptr);
  deliver({transaction("org.example.pro", 1)});
  deliver({transaction("org.example.pro", 2)});
  ASSERT_TRUE(runUntil([&] { return reports() >= 1; }));
  settle();
  // However the answers raced, each update is reported at most once, the
  // second with its own count: [2], or [2, 1 (no "count")].
  std::vector<json> counts;
  for (std::size_t i = 0; i < reports(); ++i) {
    const json purchase = body("POST", "players/p1/on_purchase", i)["purchases"][0];
    EXPECT_EQ(purchase["sku"], "org.example.pro");
    counts.push_back(purchase.contains("count") ? purchase["count"] : json());
  }
  // (Two reports are sent concurrently and may arrive in either order.)
  std::sort(counts.begin(), counts.end());
  EXPECT_TRUE(counts == std::vector<json>{2} || counts == (std::vector<json>{json(), 2})) << json(counts).dump();

  // A late answer of a request that is no longer pending changes nothing.
  const std::size_t before = reports();
  store::ProductsRequest stale({"org.example.pro"});
  store::Product pro{"org.example.pro", "Pro", {"4.99", 4.99}, "de_DE", "EUR", std::nullopt};
  tracker->did_receive(stale, {pro}, {});
  settle();
  EXPECT_EQ(reports(), before);
}

TEST_F(PurchasesTest, OneTrackerOnlyAndNoneWithoutTheStore) {
  startWithStore(json::object(), false);
  auto first = RerAvirorTrackIAP::shared();
  RerAviror::startPurchaseTracker();
  EXPECT_EQ(RerAvirorTrackIAP::shared(), first);
  TearDown();

  startWithStore({{"frameworks", {"UserNotifications", "WebKit"}}}, false);
  EXPECT_FALSE(RerAvirorTrackIAP::canTrack());
  EXPECT_EQ(RerAvirorTrackIAP::shared(), nullptr);
}

}  // namespace
}  // namespace push_test
