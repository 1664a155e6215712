// Products requests over the platform store and the process-wide product cache.
#include "analytics/purchases/product_cache.h"

#include <utility>

#include "analytics/support/errors.h"
#include "platform/runtime/runtime.h"

namespace analytics {

namespace fd = platform::foundation;
namespace store = platform::store;
using platform::dispatch::Queue;

// ---- products request -----------------------------------------------------

void APMProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                               std::optional<Queue> queue, APMProductsHandler handler) {
  if (!queue || !handler) return;
  auto request = initWithProductIdentifiers(identifiers);
  if (!request) {
    queue->async([handler] {
      handler({}, {}, apm_errorWithCode(1, kInvalidProductIdentifiers));
    });
    return;
  }
  // The handler holds the request until it has run (clearInstance then drops it).
  request->requestWithQueue(queue, [request, handler](const APMProductsByIdentifier& products,
                                                      const std::set<std::string>& invalid,
                                                      const std::optional<fd::Error>& error) {
    handler(products, invalid, error);
  });
}

std::shared_ptr<APMProductsRequest> APMProductsRequest::initWithProductIdentifiers(
    const std::set<std::string>& identifiers) {
  if (platform::rt::Runtime::shared().find("SKProductsRequest") == nullptr) return nullptr;
  return std::make_shared<APMProductsRequest>(Token{}, std::make_shared<store::ProductsRequest>(identifiers));
}

void APMProductsRequest::requestWithQueue(std::optional<Queue> queue, APMProductsHandler handler) {
  if (!queue || !handler) return;
  std::shared_ptr<store::ProductsRequest> request;
  {
    std::lock_guard lock(mutex_);
    completionHandler_ = std::move(handler);
    queue_ = std::move(queue);
    request = productsRequest_;
  }
  if (!request) return;
  request->set_delegate(weak_from_this());
  request->start();
}

void APMProductsRequest::clearInstance() {
  std::shared_ptr<store::ProductsRequest> request;
  APMProductsHandler handler;
  {
    std::lock_guard lock(mutex_);
    request = std::move(productsRequest_);
    handler = std::move(completionHandler_);
    queue_.reset();
  }
  // Released outside the lock: the handler may hold this request's last reference.
}

void APMProductsRequest::did_receive(store::ProductsRequest&, std::vector<store::Product> products,
                                     std::vector<std::string> invalid) {
  {
    std::lock_guard lock(mutex_);
    if (!completionHandler_ || !queue_) return;
  }
  APMProductsByIdentifier byIdentifier;
  for (auto& product : products) {
    if (product.identifier.empty()) continue;
    std::string identifier = product.identifier;
    byIdentifier.insert_or_assign(std::move(identifier), std::move(product));
  }
  answer(std::move(byIdentifier), std::set<std::string>(invalid.begin(), invalid.end()), std::nullopt);
}

void APMProductsRequest::did_fail(store::ProductsRequest&, fd::Error error) { answer({}, {}, std::move(error)); }

void APMProductsRequest::answer(APMProductsByIdentifier products, std::set<std::string> invalid,
                                std::optional<fd::Error> error) {
  std::optional<Queue> queue;
  {
    std::lock_guard lock(mutex_);
    queue = queue_;
  }
  if (!queue) return;
  std::weak_ptr<APMProductsRequest> weak = weak_from_this();
  queue->async([weak, products = std::move(products), invalid = std::move(invalid), error = std::move(error)] {
    const auto self = weak.lock();
    if (!self) return;
    APMProductsHandler handler;
    {
      std::lock_guard lock(self->mutex_);
      handler = self->completionHandler_;
    }
    if (handler) handler(products, invalid, error);
    self->clearInstance();
  });
}

// ---- product cache --------------------------------------------------------

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache(Token)
    : lockQueue_(Queue::serial(std::string(kQueueLabel))) {}

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::init() {
  return std::make_shared<APMInAppPurchaseProductCache>(Token{});
}

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::sharedInstance() {
  static const auto* instance = new std::shared_ptr<APMInAppPurchaseProductCache>(init());
  return *instance;
}

std::optional<store::Product> APMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    std::string_view identifier) const {
  std::optional<store::Product> product;
  lockQueue_.sync([&] {
    const auto it = validProducts_.find(std::string(identifier));
    if (it != validProducts_.end()) product = it->second;
  });
  return product;
}

APMProductsByIdentifier APMInAppPurchaseProductCache::validProducts() const {
  APMProductsByIdentifier products;
  lockQueue_.sync([&] { products = validProducts_; });
  return products;
}

std::set<std::string> APMInAppPurchaseProductCache::invalidProductIdentifiers() const {
  std::set<std::string> invalid;
  lockQueue_.sync([&] { invalid = invalidProductIdentifiers_; });
  return invalid;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                                         std::optional<Queue> queue,
                                                                         APMProductsHandler handler) {
  if (!queue || !handler) return;
  std::weak_ptr<APMInAppPurchaseProductCache> weak = weak_from_this();
  Queue callerQueue = *queue;
  APMProductsRequest::requestProductsWithProductIdentifiers(
      identifiers, lockQueue_,
      [weak, callerQueue, handler](const APMProductsByIdentifier& products, const std::set<std::string>& invalid,
                                   const std::optional<fd::Error>& error) {
        const auto self = weak.lock();
        if (!self) return;
        self->mergeAnswer(products, invalid);
        callerQueue.async([handler, products, invalid, error] { handler(products, invalid, error); });
      });
}

void APMInAppPurchaseProductCache::mergeAnswer(const APMProductsByIdentifier& products,
                                               const std::set<std::string>& invalid) {
  for (const auto& [identifier, product] : products) validProducts_.insert_or_assign(identifier, product);
  for (const auto& identifier : invalid) validProducts_.erase(identifier);
  invalidProductIdentifiers_.insert(invalid.begin(), invalid.end());
  for (const auto& entry : products) invalidProductIdentifiers_.erase(entry.first);
  if (validProducts_.size() + invalidProductIdentifiers_.size() > kMaxEntries) {
    validProducts_ = products;
    invalidProductIdentifiers_ = invalid;
  }
}

}  // namespace analytics
