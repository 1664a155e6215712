#include "platform/store/store.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/foundation/json.h"
#include "platform/os/file_manager.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/runtime/runtime.h"
#include "platform/store/testing_reset.h"

namespace platform::store {
namespace {

foundation::Error store_error(std::int64_t code, std::string reason) {
  return foundation::Error(std::string(foundation::cocoa_error::domain), code,
                           foundation::Dict{{"NSDebugDescription", std::move(reason)}});
}

std::optional<Price> price_of(const foundation::Value& v) {
  const std::string* text = v.string();
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text->c_str(), &end);
  if (end != text->c_str() + text->size()) return std::nullopt;
  return Price{*text, value};
}

std::string text_of(const foundation::Dict& d, std::string_view key) {
  const std::string* s = d.get(key).string();
  return s ? *s : std::string();
}

}  // namespace

foundation::Expected<std::vector<Product>> parse_catalogue(std::string_view text) {
  auto parsed = foundation::json::parse(text);
  if (!parsed) return parsed.error();
  const foundation::Dict* root = parsed->dict();
  const foundation::Array* list = root ? root->get("products").array() : nullptr;
  if (!list) return store_error(foundation::cocoa_error::file_read_corrupt_file, "store.json has no products list");
  std::vector<Product> products;
  for (const auto& item : *list) {
    const foundation::Dict* d = item.dict();
    auto price = d ? price_of(d->get("price")) : std::nullopt;
    if (!d || !price || text_of(*d, "id").empty()) {
      return store_error(foundation::cocoa_error::file_read_corrupt_file, "store.json has a malformed product");
    }
    Product product{text_of(*d, "id"), text_of(*d, "title"), *price, text_of(*d, "price_locale"),
                    text_of(*d, "currency_code"), std::nullopt};
    if (d->contains("introductory_price")) {
      auto intro = price_of(d->get("introductory_price"));
      if (!intro) return store_error(foundation::cocoa_error::file_read_corrupt_file, "malformed introductory price");
      product.introductory_price = ProductDiscount{*intro};
    }
    products.push_back(std::move(product));
  }
  return products;
}

namespace {

// The products of store.json, or the reason it cannot be read.
foundation::Expected<std::vector<Product>> read_catalogue() {
  const auto file = os::device_directory() / "store.json";
  auto bytes = os::FileManager::shared().read(file);
  if (!bytes) return store_error(foundation::cocoa_error::file_read_no_such_file, "no store.json");
  return parse_catalogue(foundation::to_string(*bytes));
}

}  // namespace

// ---- payment queue -------------------------------------------------------------

bool PaymentQueue::can_make_payments() { return os::profile().frameworks.contains("StoreKit"); }

PaymentQueue& PaymentQueue::default_queue() {
  static PaymentQueue queue;
  return queue;
}

void PaymentQueue::add_observer(std::weak_ptr<TransactionObserver> observer) {
  std::lock_guard lock(mutex_);
  observers_.push_back(std::move(observer));
}

void PaymentQueue::remove_observer(const TransactionObserver* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [observer](const auto& weak) {
    auto strong = weak.lock();
    return !strong || strong.get() == observer;
  });
}

void PaymentQueue::finish(const Transaction& transaction) {
  std::lock_guard lock(mutex_);
  std::erase_if(open_, [&](const auto& t) { return t.get() == &transaction; });
}

std::vector<std::shared_ptr<Transaction>> PaymentQueue::transactions() const {
  std::lock_guard lock(mutex_);
  return open_;
}

void PaymentQueue::deliver(const std::vector<std::shared_ptr<Transaction>>& transactions) {
  std::vector<std::shared_ptr<TransactionObserver>> observers;
  {
    std::lock_guard lock(mutex_);
    for (const auto& t : transactions) {
      if (std::find(open_.begin(), open_.end(), t) == open_.end()) open_.push_back(t);
    }
    for (const auto& weak : observers_) {
      if (auto strong = weak.lock()) observers.push_back(std::move(strong));
    }
  }
  for (const auto& observer : observers) observer->updated_transactions(*this, transactions);
}

// ---- products request ------------------------------------------------------------

ProductsRequest::ProductsRequest(std::set<std::string> identifiers) : identifiers_(std::move(identifiers)) {}

void ProductsRequest::set_delegate(std::weak_ptr<ProductsRequestDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void ProductsRequest::start() {
  dispatch::Queue::global().async([self = shared_from_this()] { self->answer(); });
}

void ProductsRequest::cancel() { cancelled_ = true; }

void ProductsRequest::answer() {
  std::shared_ptr<ProductsRequestDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
  }
  if (cancelled_ || !delegate) return;
  auto catalogue = read_catalogue();
  if (!catalogue) {
    delegate->did_fail(*this, catalogue.error());
    return;
  }
  std::vector<Product> found;
  std::vector<std::string> invalid;
  for (const auto& id : identifiers_) {
    auto it = std::find_if(catalogue->begin(), catalogue->end(), [&](const Product& p) { return p.identifier == id; });
    if (it == catalogue->end()) {
      invalid.push_back(id);
    } else {
      found.push_back(*it);
    }
  }
  if (!cancelled_) delegate->did_receive(*this, std::move(found), std::move(invalid));
}

// ---- runtime classes, OS side, reset ---------------------------------------------

void register_runtime_classes() {
  if (!os::profile().frameworks.contains("StoreKit")) return;
  auto& runtime = rt::Runtime::shared();
  for (const char* name : {"SKPaymentQueue", "SKProductsRequest", "SKProductDiscount"}) {
    if (!runtime.find(name)) {
      rt::ClassDefinition definition;
      definition.name = name;
      definition.superclass = "NSObject";
      definition.image = "StoreKit";
      runtime.define(std::move(definition));
    }
  }
}

namespace system {
namespace {

// Transaction identifiers count up from 1000000001 per device: the last one
// given is kept in <device>/store-transaction-counter, so a relaunch never
// repeats an identifier. Without a readable counter the count starts over.
std::string next_transaction_identifier() {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const auto file = os::device_directory() / "store-transaction-counter";
  std::uint64_t last = 1000000000;
  if (auto bytes = os::FileManager::shared().read(file)) {
    const std::string text = foundation::to_string(*bytes);
    char* end = nullptr;
    const unsigned long long stored = std::strtoull(text.c_str(), &end, 10);
    if (end != text.c_str() && stored > last) last = stored;
  }
  const std::string identifier = std::to_string(last + 1);
  (void)os::FileManager::shared().write_atomically(file, foundation::to_bytes(identifier));
  return identifier;
}

}  // namespace

bool purchase(std::string product_identifier, int quantity) {
  if (!PaymentQueue::can_make_payments() || quantity < 1) return false;
  auto transaction = std::make_shared<Transaction>();
  transaction->payment = Payment{std::move(product_identifier), quantity};
  dispatch::Queue::main().async([transaction] {
    PaymentQueue::default_queue().deliver({transaction});
    dispatch::Queue::main().async([transaction] {
      transaction->state = TransactionState::purchased;
      transaction->identifier = next_transaction_identifier();
      transaction->date = foundation::Date::now();
      PaymentQueue::default_queue().deliver({transaction});
    });
  });
  return true;
}

}  // namespace system

void reset_for_testing() {
  auto& queue = PaymentQueue::default_queue();
  std::lock_guard lock(queue.mutex_);
  queue.observers_.clear();
  queue.open_.clear();
}

}  // namespace platform::store
