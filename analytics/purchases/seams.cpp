// The engine's conditional-property, lifetime-value, purchase and search-ad
// seams, and the purchase dedupe the engine runs before reporting.
#include "analytics/purchases/seams.h"

#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/conditional_properties.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine_seams.h"
#include "analytics/purchases/lifetime_value.h"
#include "analytics/purchases/search_ad_reporter.h"
#include "analytics/purchases/transaction_reporter.h"
#include "analytics/store/database.h"
#include "analytics/support/errors.h"
#include "platform/dispatch/queue.h"
#include "platform/store/store.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

class ConditionalPropertiesSeamImpl : public APMConditionalPropertiesSeam {
 public:
  std::optional<std::vector<APMEventRef>> processEventOnWorkerQueue(APMMeasurement& engine,
                                                                    const APMEventRef& event) override {
    return APMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(engine, event);
  }
};

class LifetimeValueSeamImpl : public APMLifetimeValueSeam {
 public:
  bool isPurchaseEvent(const APMEvent& event) override { return APMLifetimeValueRecorder::isPurchaseEvent(event); }
  bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event) override {
    return APMLifetimeValueRecorder::recordLifetimeValueToDatabase(database, event);
  }
};

class PurchasesSeamImpl : public APMPurchasesSeam {
 public:
  // Only purchases pass; with dedupe on, one whose fingerprint is stored is
  // dropped. The callback runs on the default-priority global queue.
  void filterPurchaseTransactions(APMMeasurement& engine, const Transactions& transactions,
                                  std::function<void(Transactions)> callback) override {
    if (!callback) return;
    std::weak_ptr<APMMeasurement> weakEngine = engine.shared_from_this();
    engine.scheduler()->scheduleOnWorkerQueueBlockID("APMMeasurement:3982", [weakEngine, transactions, callback] {
      auto target = weakEngine.lock();
      Transactions kept = target ? filterOnWorkerQueue(*target, transactions) : Transactions();
      platform::dispatch::Queue::global(platform::dispatch::Qos::default_)
          .async([callback, kept = std::move(kept)] { callback(kept); });
    });
  }

  void paymentQueueUpdatedFilteredTransactions(platform::store::PaymentQueue& queue,
                                               const Transactions& transactions) override {
    APMInAppPurchaseTransactionReporter::sharedInstance().paymentQueueUpdatedFilteredTransactions(queue, transactions);
  }

 private:
  static Transactions filterOnWorkerQueue(APMMeasurement& engine, const Transactions& transactions) {
    if (!engine.instanceRemoteConfig() || !engine.instanceRemoteConfig()->dedupePurchasesEnabled()) {
      return transactions;
    }
    auto& monitor = APMMeasurement::monitor();
    Transactions kept;
    for (const auto& transaction : transactions) {
      if (!transaction || transaction->state != platform::store::TransactionState::purchased) continue;
      const Value productID(transaction->payment.product_identifier);
      const auto fingerprint = APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction);
      if (!fingerprint || fingerprint->empty()) {
        monitor.logWithLevel(1, 23139,
                             "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. "
                             "Product ID",
                             productID);
        kept.push_back(transaction);
        continue;
      }
      std::optional<fd::Error> error;
      const auto inserted =
          engine.database() ? engine.database()->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error)
                            : std::nullopt;
      if (!inserted) {
        monitor.logWithLevel(1, 23140,
                             "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. "
                             "Product ID, error",
                             productID, error ? APMErrorContext(*error) : Value());
        kept.push_back(transaction);
      } else if (*inserted) {
        kept.push_back(transaction);
      } else {
        monitor.logWithLevel(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
      }
    }
    return kept;
  }
};

class SearchAdsSeamImpl : public APMSearchAdsSeam {
 public:
  std::shared_ptr<APMSearchAdReporting> makeSearchAdReporter(const platform::dispatch::Queue& workerQueue,
                                                             APMPersistedConfig* persistedConfig) override {
    return APMSearchAdReporter::initWithWorkerQueue(workerQueue, persistedConfig);
  }
};

}  // namespace

void APMInstallPurchaseAndPropertySeams() {
  APMInstallConditionalPropertiesSeam(std::make_shared<ConditionalPropertiesSeamImpl>());
  APMInstallLifetimeValueSeam(std::make_shared<LifetimeValueSeamImpl>());
  APMInstallPurchasesSeam(std::make_shared<PurchasesSeamImpl>());
  APMInstallSearchAdsSeam(std::make_shared<SearchAdsSeamImpl>());
}

}  // namespace analytics
