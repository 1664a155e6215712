// The product cache and products requests on a Harness device whose store
// answers from store.json.
#include "analytics/purchases/product_cache.h"

#include <gtest/gtest.h>


#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

#include "analytics/support/errors.h"
#include "platform/dispatch/queue.h"
#include "testing/fakes/json.h"
#include "testing/harness/harness.h"
#include "tests/analytics/support.h"

namespace {

using namespace analytics;
namespace fd = platform::foundation;
using platform::dispatch::Queue;

// One handler call, with the queue it ran on.
struct Answer {
  APMProductsByIdentifier products;
  std::set<std::string> invalid;
  std::optional<fd::Error> error;
  std::string queueLabel;
};

class AnswerWaiter {
 public:
  APMProductsHandler handler() {
    return [this](const APMProductsByIdentifier& products, const std::set<std::string>& invalid,
                  const std::optional<fd::Error>& error) {
      std::lock_guard lock(mutex_);
      answer_ = Answer{products, invalid, error, Queue::current_label()};
      ready_.notify_all();
    };
  }
  // Hang detector only: an answer normally comes at once.
  std::optional<Answer> wait() {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, std::chrono::seconds(30), [this] { return answer_.has_value(); });
    auto answer = std::move(answer_);
    answer_.reset();
    return answer;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<Answer> answer_;
};

class AudienceProductCacheTest : public ::testing::Test {
 protected:
  void boot(nlohmann::json profile = nlohmann::json::object()) {
    harness_.emplace(testing::HarnessOptions{.profile = std::move(profile)});
  }
  void writeStore(const nlohmann::json& products) {
    std::ofstream(harness_->device_directory() / "store.json") << nlohmann::json{{"products", products}}.dump();
  }
  static nlohmann::json product(const std::string& id, const std::string& price = "0.99") {
    return {{"id", id}, {"title", "Title " + id}, {"price", price}, {"currency_code", "EUR"}};
  }
  void TearDown() override { platform::dispatch::wait_until_idle(); }

  std::optional<testing::Harness> harness_;
  Queue callerQueue_ = Queue::serial("audience-product-cache-test");
  AnswerWaiter waiter_;
};

TEST_F(AudienceProductCacheTest, CachedProductsAreAnsweredWithoutARequest) {
  boot();
  writeStore({product("com.example.pro", "4.99"), product("com.example.basic")});
  auto cache = APMInAppPurchaseProductCache::init();
  EXPECT_EQ(cache->cachedProductForProductIdentifier("com.example.pro"), std::nullopt);
  cache->requestProductsWithProductIdentifiers({"com.example.pro", "com.example.gone"}, callerQueue_,
                                               waiter_.handler());
  const auto answer = waiter_.wait();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->queueLabel, callerQueue_.label());
  EXPECT_FALSE(answer->error);
  ASSERT_EQ(answer->products.size(), 1u);
  EXPECT_EQ(answer->products.at("com.example.pro").price.decimal_text, "4.99");
  EXPECT_EQ(answer->invalid, std::set<std::string>{"com.example.gone"});
  EXPECT_EQ(cache->invalidProductIdentifiers(), std::set<std::string>{"com.example.gone"});

  std::filesystem::remove(harness_->device_directory() / "store.json");
  const auto cached = cache->cachedProductForProductIdentifier("com.example.pro");
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->localized_title, "Title com.example.pro");
  EXPECT_EQ(cached->currency_code, "EUR");
  EXPECT_EQ(cache->cachedProductForProductIdentifier("com.example.basic"), std::nullopt);
}

TEST_F(AudienceProductCacheTest, AnAnswerPastOneHundredEntriesReplacesTheCache) {
  boot();
  nlohmann::json products = nlohmann::json::array();
  std::set<std::string> valid;
  for (int i = 0; i < 60; ++i) {
    products.push_back(product("p" + std::to_string(i)));
    valid.insert("p" + std::to_string(i));
  }
  writeStore(products);
  auto cache = APMInAppPurchaseProductCache::init();
  std::set<std::string> unknown;
  for (int i = 0; i < 40; ++i) unknown.insert("x" + std::to_string(i));
  for (const auto& identifiers : {valid, unknown}) {
    cache->requestProductsWithProductIdentifiers(identifiers, callerQueue_, waiter_.handler());
    ASSERT_TRUE(waiter_.wait());
  }
  EXPECT_EQ(cache->validProducts().size(), 60u);   // 100 entries: kept
  EXPECT_EQ(cache->invalidProductIdentifiers().size(), 40u);

  // An identifier once invalid and now valid moves over; the 101st entry resets.
  cache->requestProductsWithProductIdentifiers({"y"}, callerQueue_, waiter_.handler());
  ASSERT_TRUE(waiter_.wait());
  EXPECT_TRUE(cache->validProducts().empty());
  EXPECT_EQ(cache->invalidProductIdentifiers(), std::set<std::string>{"y"});

  products.push_back(product("y"));
  writeStore(products);
  cache->requestProductsWithProductIdentifiers({"y", "p1"}, callerQueue_, waiter_.handler());
  ASSERT_TRUE(waiter_.wait());
  EXPECT_EQ(cache->validProducts().size(), 2u);
  EXPECT_TRUE(cache->invalidProductIdentifiers().empty());
}

TEST_F(AudienceProductCacheTest, StoreErrorsReachTheCallersQueue) {
  boot();   // no store.json
  auto cache = APMInAppPurchaseProductCache::init();
  cache->requestProductsWithProductIdentifiers({"com.example.pro"}, callerQueue_, waiter_.handler());
  const auto answer = waiter_.wait();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->queueLabel, callerQueue_.label());
  ASSERT_TRUE(answer->error);
  EXPECT_EQ(answer->error->domain, "NSCocoaErrorDomain");
  EXPECT_TRUE(answer->products.empty());
  EXPECT_TRUE(answer->invalid.empty());

  // Without a queue or a handler nothing is asked.
  bool called = false;
  cache->requestProductsWithProductIdentifiers({"a"}, std::nullopt, [&](auto&, auto&, auto&) { called = true; });
  cache->requestProductsWithProductIdentifiers({"a"}, callerQueue_, nullptr);
  platform::dispatch::wait_until_idle();
  EXPECT_FALSE(called);
}

TEST_F(AudienceProductCacheTest, WithoutTheStoreNoRequestCanBeMade) {
  boot({{"frameworks", {"WebKit"}}});
  EXPECT_EQ(APMProductsRequest::initWithProductIdentifiers({"a"}), nullptr);
  APMProductsRequest::requestProductsWithProductIdentifiers({"a"}, callerQueue_, waiter_.handler());
  const auto answer = waiter_.wait();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->queueLabel, callerQueue_.label());
  ASSERT_TRUE(answer->error);
  EXPECT_EQ(answer->error->domain, kAPMErrorDomain);
  EXPECT_EQ(answer->error->code, 1);
  EXPECT_EQ(answer->error->user_info.get("NSLocalizedDescription"), fd::Value("Invalid product identifiers."));
}

TEST_F(AudienceProductCacheTest, TheSharedCacheIsOnePerProcess) {
  EXPECT_TRUE(APMInAppPurchaseProductCache::sharedInstance());
  EXPECT_EQ(APMInAppPurchaseProductCache::sharedInstance(), APMInAppPurchaseProductCache::sharedInstance());
}

}  // namespace
