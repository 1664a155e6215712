#pragma once
// The store: payment queue, transactions and products requests.
//
// Products come from <device>/store.json:
//   { "products": [ { "id": "org.example.pro", "title": "Pro", "price": "4.99",
//                     "price_locale": "de_DE", "currency_code": "EUR",
//                     "introductory_price": "0.99" } ] }
// "price" and the optional "introductory_price" are decimal text (JSON strings),
// kept as given. A missing or malformed file fails the request.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/expected.h"
#include "platform/foundation/value.h"

namespace platform::store {

struct Price {
  std::string decimal_text;  // as the store gives it
  double value = 0;
};

struct ProductDiscount {
  Price price;
};

struct Product {
  std::string identifier, localized_title;
  Price price;
  std::string price_locale, currency_code;
  std::optional<ProductDiscount> introductory_price;
};

enum class TransactionState { purchasing = 0, purchased = 1, failed = 2, restored = 3, deferred = 4 };

struct Payment {
  std::string product_identifier;
  int quantity = 1;
};

struct Transaction {
  TransactionState state = TransactionState::purchasing;
  Payment payment;
  std::optional<std::string> identifier;
  std::optional<foundation::Date> date;
  std::shared_ptr<Transaction> original;
  std::optional<foundation::Error> error;
};

// The products of a store.json text, in file order, or why it is malformed.
foundation::Expected<std::vector<Product>> parse_catalogue(std::string_view text);

class PaymentQueue;
void reset_for_testing();

class TransactionObserver {
 public:
  virtual ~TransactionObserver() = default;
  virtual void updated_transactions(PaymentQueue& queue, const std::vector<std::shared_ptr<Transaction>>& transactions) = 0;
};

class PaymentQueue {
 public:
  // True when the profile lists StoreKit.
  static bool can_make_payments();
  static PaymentQueue& default_queue();

  void add_observer(std::weak_ptr<TransactionObserver> observer);  // weak
  void remove_observer(const TransactionObserver* observer);
  void finish(const Transaction& transaction);
  // Transactions delivered and not finished yet.
  std::vector<std::shared_ptr<Transaction>> transactions() const;

  // OS side: delivers `transactions` to the observers (on the calling thread).
  void deliver(const std::vector<std::shared_ptr<Transaction>>& transactions);

 private:
  friend void reset_for_testing();
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<TransactionObserver>> observers_;
  std::vector<std::shared_ptr<Transaction>> open_;
};

class ProductsRequest;

class ProductsRequestDelegate {
 public:
  virtual ~ProductsRequestDelegate() = default;
  virtual void did_receive(ProductsRequest& request, std::vector<Product> products, std::vector<std::string> invalid) = 0;
  virtual void did_fail(ProductsRequest& /*request*/, foundation::Error /*error*/) {}
};

// Answers from store.json on a platform thread (not the caller's, not the main one).
class ProductsRequest : public std::enable_shared_from_this<ProductsRequest> {
 public:
  explicit ProductsRequest(std::set<std::string> identifiers);
  void set_delegate(std::weak_ptr<ProductsRequestDelegate> delegate);
  // The request stays alive until it has answered.
  void start();
  void cancel();  // no delegate call after this

 private:
  void answer();

  std::set<std::string> identifiers_;
  std::mutex mutex_;
  std::weak_ptr<ProductsRequestDelegate> delegate_;
  std::atomic<bool> cancelled_{false};
};

// Registers "SKPaymentQueue", "SKProductsRequest" and "SKProductDiscount" when
// the profile lists StoreKit. Registering twice changes nothing.
void register_runtime_classes();

namespace system {
// A purchase on the device: on the main thread the observers get the
// transaction purchasing, then (next turn) purchased. False, and nothing
// delivered, when the profile has no StoreKit or the quantity is below 1.
bool purchase(std::string product_identifier, int quantity = 1);
}  // namespace system

}  // namespace platform::store
