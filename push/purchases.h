#pragma once
// Purchase tracking over the platform store: completed purchases of one
// transaction update are looked up for their prices and reported through
// RerAviror::sendPurchases. Transactions are never finished here.
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/store/store.h"

namespace push {

namespace foundation = platform::foundation;

class RerAvirorTrackIAP : public platform::store::TransactionObserver,
                          public platform::store::ProductsRequestDelegate,
                          public std::enable_shared_from_this<RerAvirorTrackIAP> {
 public:
  // The store classes are present and the device may make payments.
  static bool canTrack();
  // A tracker observing the default payment queue.
  static std::shared_ptr<RerAvirorTrackIAP> make();
  ~RerAvirorTrackIAP() override;

  void updated_transactions(platform::store::PaymentQueue& queue,
                            const std::vector<std::shared_ptr<platform::store::Transaction>>& transactions) override;
  // Starts a products request; a pending one is cancelled.
  void getProductInfo(const std::vector<std::string>& productIdentifiers);
  void did_receive(platform::store::ProductsRequest& request, std::vector<platform::store::Product> products,
                   std::vector<std::string> invalid) override;

  // The tracker start-up made, if any (tests).
  static std::shared_ptr<RerAvirorTrackIAP> shared();
  static void resetShared();

 private:
  RerAvirorTrackIAP() = default;
  // Cancels the pending products request, whose answer is then ignored.
  void cancelPendingRequestLocked();

  std::mutex mutex_;
  std::shared_ptr<platform::store::ProductsRequest> pendingRequest_;
  foundation::Dict skusToTrack_;  // product id -> purchase record
};

}  // namespace push
