#pragma once
// Store purchases as automatic events: the transaction fingerprint, the
// purchase parameters with their classification from the store receipt, and
// the reporter that logs one "_iap" or "_iapx" per purchase.
//
// Threads: the reporter takes transactions on any thread and reports on the
// default-priority global queue (or the queue of a products request's
// answer). The parameter and price helpers are pure but for the dates store,
// which is safe from any thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/purchases/receipt.h"
#include "platform/foundation/value.h"

namespace platform::store {
class PaymentQueue;
struct Product;
struct Transaction;
}  // namespace platform::store

namespace analytics {

class APMUserDefaults;

// price × quantity × 1,000,000 from the store's decimal text, truncated
// toward zero and computed exactly; nullopt for text that is not a decimal
// number or a result that does not fit a signed 64-bit integer.
std::optional<std::int64_t> APMPriceInMicros(std::string_view decimalText, std::int64_t quantity);

// The preferences suite "com.dozada.ruv.measurement.dates": the latest
// subscription transaction date seen per product. Made once per process.
APMUserDefaults& APMPurchaseDatesDefaults();

// The event parameters of one purchase, or nullopt (40000-40002, or a
// result without "price", "value", "currency" and "product_id").
std::optional<platform::foundation::Dict> APMInAppPurchaseEventParameters(
    const platform::store::Product* product, const std::shared_ptr<platform::store::Transaction>& transaction,
    std::optional<APMReceiptBytes> receipt);

class APMInAppPurchaseTransactionReporter {
 public:
  using Transactions = std::vector<std::shared_ptr<platform::store::Transaction>>;

  static APMInAppPurchaseTransactionReporter& sharedInstance();

  // Keeps purchased transactions with a product identifier, asks the product
  // cache for unknown products first, then reports them asynchronously.
  void paymentQueueUpdatedFilteredTransactions(platform::store::PaymentQueue& queue, const Transactions& transactions);
  // Reads the receipt once and logs one event per transaction that has parameters.
  void reportTransactionsFromArray(const Transactions& transactions);

  // The lower-case hex MD5 of a purchased transaction's identifier; nullopt
  // without one or for one made only of "0" and "-" (21014-21017).
  static std::optional<std::string> transactionFingerprint(const std::shared_ptr<platform::store::Transaction>& transaction);
};

}  // namespace analytics
