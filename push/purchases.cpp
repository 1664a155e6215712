#include "push/purchases.h"

#include "platform/runtime/runtime.h"
#include "push/reraviror.h"

namespace push {

namespace store = platform::store;

namespace {

// Never destroyed: a tracker released at exit would reach the payment queue
// after the platform's statics are gone.
struct TrackerSlot {
  std::mutex mutex;
  std::shared_ptr<RerAvirorTrackIAP> tracker;
};

TrackerSlot& slot() {
  static TrackerSlot* s = new TrackerSlot();
  return *s;
}

bool classPresent(std::string_view name) { return platform::rt::Runtime::shared().find(name) != nullptr; }

}  // namespace

bool RerAvirorTrackIAP::canTrack() { return classPresent("SKPaymentQueue") && store::PaymentQueue::can_make_payments(); }

std::shared_ptr<RerAvirorTrackIAP> RerAvirorTrackIAP::make() {
  std::shared_ptr<RerAvirorTrackIAP> tracker(new RerAvirorTrackIAP());
  store::PaymentQueue::default_queue().add_observer(tracker);
  return tracker;
}

RerAvirorTrackIAP::~RerAvirorTrackIAP() {
  if (classPresent("SKPaymentQueue")) store::PaymentQueue::default_queue().remove_observer(this);
  std::lock_guard lock(mutex_);
  cancelPendingRequestLocked();
}

void RerAvirorTrackIAP::cancelPendingRequestLocked() {
  if (!pendingRequest_) return;
  pendingRequest_->set_delegate({});
  pendingRequest_->cancel();
  pendingRequest_.reset();
}

void RerAvirorTrackIAP::updated_transactions(store::PaymentQueue&,
                                             const std::vector<std::shared_ptr<store::Transaction>>& transactions) {
  std::vector<std::string> identifiers;
  {
    std::lock_guard lock(mutex_);
    // Dropped with the records it would answer for, so a late answer can
    // never be matched against this update's records.
    cancelPendingRequestLocked();
    skusToTrack_ = foundation::Dict{};
    for (const auto& transaction : transactions) {
      if (!transaction || transaction->state != store::TransactionState::purchased) continue;
      const auto& payment = transaction->payment;
      if (foundation::Value* record = skusToTrack_.find(payment.product_identifier)) {
        foundation::Dict* fields = record->dict();
        const auto count = static_cast<std::int32_t>(fields->get("count").as_int().value_or(0));
        fields->set("count", static_cast<std::int32_t>(static_cast<std::uint32_t>(count) +
                                                       static_cast<std::uint32_t>(payment.quantity)));
      } else {
        skusToTrack_.set(payment.product_identifier, foundation::Dict{{"count", payment.quantity}});
      }
    }
    identifiers = skusToTrack_.keys();
  }
  if (!identifiers.empty()) getProductInfo(identifiers);
}

void RerAvirorTrackIAP::getProductInfo(const std::vector<std::string>& productIdentifiers) {
  if (!classPresent("SKProductsRequest")) return;
  auto request = std::make_shared<store::ProductsRequest>(
      std::set<std::string>(productIdentifiers.begin(), productIdentifiers.end()));
  {
    std::lock_guard lock(mutex_);
    // The request it replaces would answer for records that are gone.
    cancelPendingRequestLocked();
    pendingRequest_ = request;
  }
  request->set_delegate(weak_from_this());
  request->start();
}

void RerAvirorTrackIAP::did_receive(store::ProductsRequest& request, std::vector<store::Product> products,
                                    std::vector<std::string>) {
  foundation::Array purchases;
  {
    std::lock_guard lock(mutex_);
    if (&request != pendingRequest_.get()) return;  // a late answer of a replaced request
    pendingRequest_.reset();
    for (const auto& product : products) {
      foundation::Value* found = skusToTrack_.find(product.identifier);
      if (!found || !found->dict()) continue;
      foundation::Dict record = *found->dict();
      record.set("sku", product.identifier);
      record.set("amount", product.price.value);
      record.set("iso", product.currency_code);
      if (record.get("count").as_int() == 1) record.erase("count");
      purchases.emplace_back(std::move(record));
    }
  }
  if (!purchases.empty()) RerAviror::sendPurchases(purchases);
}

std::shared_ptr<RerAvirorTrackIAP> RerAvirorTrackIAP::shared() {
  std::lock_guard lock(slot().mutex);
  return slot().tracker;
}

void RerAvirorTrackIAP::resetShared() {
  std::shared_ptr<RerAvirorTrackIAP> released;
  std::lock_guard lock(slot().mutex);
  released.swap(slot().tracker);
}

void RerAviror::startPurchaseTracker() {
  std::lock_guard lock(slot().mutex);
  if (slot().tracker || !RerAvirorTrackIAP::canTrack()) return;
  slot().tracker = RerAvirorTrackIAP::make();
}

}  // namespace push
