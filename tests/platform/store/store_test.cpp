#include <fstream>
#include <future>
#include <thread>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/runtime.h"
#include "platform/store/store.h"
#include "../notify/fixture.h"

namespace platform::store::test {
namespace {

using platform::notify::test::DeviceTest;

struct Answer {
  std::vector<Product> products;
  std::vector<std::string> invalid;
  std::optional<foundation::Error> error;
  std::thread::id thread;
};

class Recorder : public ProductsRequestDelegate {
 public:
  void did_receive(ProductsRequest&, std::vector<Product> products, std::vector<std::string> invalid) override {
    promise.set_value({std::move(products), std::move(invalid), std::nullopt, std::this_thread::get_id()});
  }
  void did_fail(ProductsRequest&, foundation::Error error) override {
    promise.set_value({{}, {}, std::move(error), std::this_thread::get_id()});
  }
  std::promise<Answer> promise;
};

class StoreTest : public DeviceTest {
 protected:
  Answer ask(std::set<std::string> ids) {
    auto delegate = std::make_shared<Recorder>();
    auto request = std::make_shared<ProductsRequest>(std::move(ids));
    request->set_delegate(delegate);
    request->start();
    Answer answer = delegate->promise.get_future().get();
    EXPECT_NE(answer.thread, std::this_thread::get_id());
    return answer;
  }
  void write_store(std::string_view text) { std::ofstream(device_ / "store.json") << text; }
};

TEST_F(StoreTest, ProductsAndInvalidIdsComeFromStoreJson) {
  boot_with(os::DeviceProfile{});
  write_store(R"({"products": [
    {"id": "org.example.pro", "title": "Pro", "price": "4.990", "price_locale": "de_DE", "currency_code": "EUR",
     "introductory_price": "0.99"},
    {"id": "org.example.plain", "title": "Plain", "price": "1", "price_locale": "en_US", "currency_code": "USD"}]})");
  Answer answer = ask({"org.example.pro", "org.example.plain", "org.example.gone"});
  ASSERT_FALSE(answer.error) << answer.error->description();
  EXPECT_EQ(answer.invalid, std::vector<std::string>{"org.example.gone"});
  ASSERT_EQ(answer.products.size(), 2u);
  const Product& plain = answer.products[0];  // identifiers are answered in order
  const Product& pro = answer.products[1];
  EXPECT_EQ(pro.identifier, "org.example.pro");
  EXPECT_EQ(pro.localized_title, "Pro");
  EXPECT_EQ(pro.price.decimal_text, "4.990");  // the text as given
  EXPECT_DOUBLE_EQ(pro.price.value, 4.99);
  EXPECT_EQ(pro.price_locale, "de_DE");
  EXPECT_EQ(pro.currency_code, "EUR");
  ASSERT_TRUE(pro.introductory_price);
  EXPECT_EQ(pro.introductory_price->price.decimal_text, "0.99");
  EXPECT_EQ(plain.currency_code, "USD");
  EXPECT_FALSE(plain.introductory_price);
}

TEST_F(StoreTest, MissingOrMalformedStoreJsonFails) {
  boot_with(os::DeviceProfile{});
  EXPECT_TRUE(ask({"org.example.pro"}).error.has_value());  // no file
  for (const char* text : {"{not json", R"({"items": []})", R"({"products": [{"id": "x", "price": 4.99}]})",
                           R"({"products": [{"id": "x", "price": "4,99"}]})",
                           R"({"products": [{"id": "x", "price": "1", "introductory_price": "cheap"}]})"}) {
    SCOPED_TRACE(text);
    write_store(text);
    Answer answer = ask({"x"});
    EXPECT_TRUE(answer.error.has_value());
    EXPECT_TRUE(answer.products.empty());
  }
}

TEST_F(StoreTest, ACancelledOrAbandonedRequestDoesNotAnswer) {
  boot_with(os::DeviceProfile{});
  write_store(R"({"products": [{"id": "x", "price": "1"}]})");
  auto delegate = std::make_shared<Recorder>();
  auto future = delegate->promise.get_future();
  auto cancelled = std::make_shared<ProductsRequest>(std::set<std::string>{"x"});
  cancelled->set_delegate(delegate);
  cancelled->cancel();
  cancelled->start();
  // A request whose delegate is gone answers nobody; the request itself may be dropped after start.
  auto orphan = std::make_shared<ProductsRequest>(std::set<std::string>{"x"});
  orphan->set_delegate(std::make_shared<Recorder>());
  orphan->start();
  orphan.reset();
  dispatch::wait_until_idle();
  EXPECT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
}

class Observer : public TransactionObserver {
 public:
  void updated_transactions(PaymentQueue&, const std::vector<std::shared_ptr<Transaction>>& ts) override {
    for (const auto& t : ts) seen.push_back({t->state, t->payment.product_identifier, t->payment.quantity});
    last = ts.back();
  }
  struct Seen {
    TransactionState state;
    std::string product;
    int quantity;
  };
  std::vector<Seen> seen;
  std::shared_ptr<Transaction> last;
};

TEST_F(StoreTest, PurchaseDeliversPurchasingThenPurchased) {
  boot_with(os::DeviceProfile{});
  register_runtime_classes();
  EXPECT_TRUE(PaymentQueue::can_make_payments());
  for (const char* name : {"SKPaymentQueue", "SKProductsRequest", "SKProductDiscount"}) {
    EXPECT_NE(rt::Runtime::shared().find(name), nullptr) << name;
  }
  auto observer = std::make_shared<Observer>();
  auto& queue = PaymentQueue::default_queue();
  queue.add_observer(observer);
  EXPECT_FALSE(system::purchase("org.example.pro", 0));
  EXPECT_TRUE(system::purchase("org.example.pro", 2));
  EXPECT_TRUE(observer->seen.empty());  // on the main thread, not inline
  dispatch::RunLoop::main().run_pending();
  dispatch::RunLoop::main().run_pending();
  ASSERT_EQ(observer->seen.size(), 2u);
  EXPECT_EQ(observer->seen[0].state, TransactionState::purchasing);
  EXPECT_EQ(observer->seen[1].state, TransactionState::purchased);
  EXPECT_EQ(observer->seen[1].product, "org.example.pro");
  EXPECT_EQ(observer->seen[1].quantity, 2);
  ASSERT_TRUE(observer->last->identifier);
  ASSERT_TRUE(observer->last->date);

  ASSERT_EQ(queue.transactions().size(), 1u);
  queue.finish(*observer->last);
  EXPECT_TRUE(queue.transactions().empty());

  // Observers are weak; a removed one hears nothing more.
  queue.remove_observer(observer.get());
  system::purchase("org.example.pro");
  dispatch::RunLoop::main().run_pending();
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(observer->seen.size(), 2u);
}

// Identifiers continue from the counter in the device folder, so a later
// launch of the same device never repeats one; an unreadable counter starts over.
TEST_F(StoreTest, TransactionIdentifiersContinueAcrossLaunches) {
  boot_with(os::DeviceProfile{});
  auto observer = std::make_shared<Observer>();
  PaymentQueue::default_queue().add_observer(observer);
  auto buy = [&] {
    EXPECT_TRUE(system::purchase("org.example.pro"));
    dispatch::RunLoop::main().run_pending();
    dispatch::RunLoop::main().run_pending();
    return observer->last && observer->last->identifier ? *observer->last->identifier : std::string();
  };
  EXPECT_EQ(buy(), "1000000001");
  EXPECT_EQ(buy(), "1000000002");
  // What an earlier launch left behind.
  std::ofstream(device_ / "store-transaction-counter", std::ios::trunc) << "1000000041";
  EXPECT_EQ(buy(), "1000000042");
  std::ifstream counter(device_ / "store-transaction-counter");
  std::string kept;
  counter >> kept;
  EXPECT_EQ(kept, "1000000042");
  std::ofstream(device_ / "store-transaction-counter", std::ios::trunc) << "garbage";
  EXPECT_EQ(buy(), "1000000001");
}

TEST_F(StoreTest, AbsentWithoutStoreKit) {
  boot_with_file(R"({"frameworks": ["UserNotifications", "WebKit"]})");
  register_runtime_classes();
  EXPECT_FALSE(PaymentQueue::can_make_payments());
  for (const char* name : {"SKPaymentQueue", "SKProductsRequest", "SKProductDiscount"}) {
    EXPECT_EQ(rt::Runtime::shared().find(name), nullptr) << name;
  }
  auto observer = std::make_shared<Observer>();
  PaymentQueue::default_queue().add_observer(observer);
  EXPECT_FALSE(system::purchase("org.example.pro"));
  dispatch::RunLoop::main().run_pending();
  dispatch::RunLoop::main().run_pending();
  EXPECT_TRUE(observer->seen.empty());
}

}  // namespace
}  // namespace platform::store::test
