#pragma once
// Store products for purchase reporting: one-shot products requests over the
// platform store (APMProductsRequest) and the process-wide product cache
// (APMInAppPurchaseProductCache).
//
// Threads: requests may start on any thread; store answers arrive on a
// platform thread and are moved to the request's queue. The cache's products
// and invalid identifiers are touched only on its serial queue
// "com.dozada.ruv.measurement.iap-cache" (look-ups wait for it); the caller's
// handler runs asynchronously on the caller's queue.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/store/store.h"

namespace analytics {

using APMProductsByIdentifier = std::map<std::string, platform::store::Product>;
// Products, invalid identifiers, error (empty containers stand for none).
using APMProductsHandler = std::function<void(const APMProductsByIdentifier& products,
                                              const std::set<std::string>& invalidIdentifiers,
                                              const std::optional<platform::foundation::Error>& error)>;

class APMProductsRequest : public platform::store::ProductsRequestDelegate,
                           public std::enable_shared_from_this<APMProductsRequest> {
 public:
  static constexpr std::string_view kInvalidProductIdentifiers = "Invalid product identifiers.";

  // Does nothing without a queue or handler. When no store request can be
  // made (the store is not available), the handler gets error 1 of the
  // analytics domain on the queue; otherwise the request lives until its
  // handler has run.
  static void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                    std::optional<platform::dispatch::Queue> queue,
                                                    APMProductsHandler handler);

  // nullptr when the store's products request class is absent.
  static std::shared_ptr<APMProductsRequest> initWithProductIdentifiers(const std::set<std::string>& identifiers);
  // Keeps the handler and queue, becomes the store request's delegate and starts it.
  void requestWithQueue(std::optional<platform::dispatch::Queue> queue, APMProductsHandler handler);
  // Drops the store request, the handler and the queue.
  void clearInstance();

  // Store delegate callbacks (a platform thread).
  void did_receive(platform::store::ProductsRequest& request, std::vector<platform::store::Product> products,
                   std::vector<std::string> invalid) override;
  void did_fail(platform::store::ProductsRequest& request, platform::foundation::Error error) override;

  struct Token {};
  APMProductsRequest(Token, std::shared_ptr<platform::store::ProductsRequest> request)
      : productsRequest_(std::move(request)) {}

 private:
  // Runs the handler on the queue while this request exists, then clears it.
  void answer(APMProductsByIdentifier products, std::set<std::string> invalid,
              std::optional<platform::foundation::Error> error);

  std::mutex mutex_;
  std::shared_ptr<platform::store::ProductsRequest> productsRequest_;  // guarded by mutex_
  APMProductsHandler completionHandler_;                                // guarded by mutex_
  std::optional<platform::dispatch::Queue> queue_;                      // guarded by mutex_
};

class APMInAppPurchaseProductCache : public std::enable_shared_from_this<APMInAppPurchaseProductCache> {
 public:
  static constexpr std::string_view kQueueLabel = "com.dozada.ruv.measurement.iap-cache";
  // Entries (valid products and invalid identifiers together) above which an
  // answer replaces the cache instead of adding to it.
  static constexpr std::size_t kMaxEntries = 100;

  // The process-wide cache, never destroyed.
  static std::shared_ptr<APMInAppPurchaseProductCache> sharedInstance();
  // A cache of its own.
  static std::shared_ptr<APMInAppPurchaseProductCache> init();

  std::optional<platform::store::Product> cachedProductForProductIdentifier(std::string_view identifier) const;
  // Does nothing without a queue or handler. Requests the products, merges
  // the answer into the cache and then runs the handler on `queue`.
  void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                             std::optional<platform::dispatch::Queue> queue,
                                             APMProductsHandler handler);

  // Snapshots read on the cache's queue.
  APMProductsByIdentifier validProducts() const;
  std::set<std::string> invalidProductIdentifiers() const;

  struct Token {};
  explicit APMInAppPurchaseProductCache(Token);

 private:
  void mergeAnswer(const APMProductsByIdentifier& products, const std::set<std::string>& invalid);

  platform::dispatch::Queue lockQueue_;
  APMProductsByIdentifier validProducts_;          // on lockQueue_ only
  std::set<std::string> invalidProductIdentifiers_;  // on lockQueue_ only
};

}  // namespace analytics
