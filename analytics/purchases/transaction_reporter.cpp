// Purchase events: exact prices in millionths, the classification of a
// purchase from the receipt and the dates store, the fingerprint, and the
// reporter that turns store transactions into "_iap" / "_iapx".
#include "analytics/purchases/transaction_reporter.h"

#include <set>

#include "analytics/config/remote_config.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/purchases/product_cache.h"
#include "analytics/support/digest.h"
#include "analytics/support/user_defaults.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/text.h"
#include "platform/os/file_manager.h"
#include "platform/runtime/runtime.h"
#include "platform/store/store.h"

namespace analytics {

namespace fd = platform::foundation;
namespace store = platform::store;
using fd::Value;

namespace {

constexpr std::string_view kPurchaseDatesSuite = "com.dozada.ruv.measurement.dates";

// Wide enough for a 19-digit whole part times quantity times 1,000,000.
__extension__ typedef __int128 iapWide;

APMMonitor& iapMonitor() { return APMMeasurement::monitor(); }

std::int64_t iapFlag(const fd::Dict& parameters, std::string_view key) {
  const Value* entry = parameters.find(key);
  return entry ? entry->as_int().value_or(0) : 0;
}

bool iapNonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

// The stored date for the product moves forward only.
void iapStoreDateWhenLater(const std::string& productID, const std::optional<fd::Date>& date) {
  if (!date) return;
  auto& dates = APMPurchaseDatesDefaults();
  const auto stored = dates.objectForKey(productID);
  if (stored && stored->date() && *stored->date() >= *date) return;
  dates.setObject(Value(*date), productID);
  dates.synchronize();
}

fd::Dict iapWith(fd::Dict parameters, std::initializer_list<std::pair<std::string_view, Value>> markers) {
  for (const auto& [key, value] : markers) parameters.set(std::string(key), value);
  return parameters;
}

// The base parameters or a copy with the classification's markers.
fd::Dict iapClassify(const fd::Dict& base, const store::Product& product, const store::Transaction& transaction,
                     std::optional<APMReceiptBytes> receipt, bool introductoryOfferEnabled) {
  const std::string& productID = product.identifier;
  const auto& T = transaction.identifier;
  const std::optional<std::string> O = transaction.original ? transaction.original->identifier : std::nullopt;
  const auto& D = transaction.date;
  const bool differentIDs = iapNonEmpty(T) && iapNonEmpty(O) && *T != *O;
  if (!iapNonEmpty(T)) iapMonitor().logWithLevel(4, 40003, "Transaction ID cannot be nil or empty.");
  if (!receipt || receipt->empty()) return base;

  if (const auto stored = APMPurchaseDatesDefaults().objectForKey(productID); stored && stored->date()) {
    if (D && *stored->date() == *D) {
      iapMonitor().logWithLevel(5, 40013, "Found a repurchase of an auto-renewable subscription or a non-consumable product");
      return iapWith(base, {{"invalid", Value(1)}});
    }
    iapStoreDateWhenLater(productID, D);
    iapMonitor().logWithLevel(
        5, 40014, "Found a transaction in the cache. Transaction will be reported as an auto-renewable subscription");
    return iapWith(base, {{"subscription", Value(1)}});
  }

  const auto size = static_cast<std::int64_t>(receipt->size());
  std::shared_ptr<APMInAppPurchaseItem> X;
  std::int64_t at = 0;
  for (; at < size && !X; ++at) X = APMInAppPurchaseItemAtOffset(*receipt, at, productID);
  if (!X) {
    iapMonitor().logWithLevel(
        2, 40004, "Cannot find any purchase of the product. The transaction will be reported as consumable by default.",
        Value(productID));
    return base;
  }
  if (!X->subscriptionExpirationDateIA5String()) {
    if (differentIDs) {
      iapMonitor().logWithLevel(4, 40005, "Found a restore/repurchase of a non-consumable product");
      return iapWith(base, {{"invalid", Value(1)}});
    }
    if (iapNonEmpty(X->transactionID()) && iapNonEmpty(X->originalTransactionID()) &&
        *X->transactionID() == *X->originalTransactionID()) {
      iapMonitor().logWithLevel(5, 40006,
                                "Found the first original purchase of any product. Transaction will be reported as "
                                "consumable by default");
      return X->purchaseType() == 2 ? iapWith(base, {{"subscription", Value(1)}}) : base;
    }
    iapMonitor().logWithLevel(2, 40007,
                              "The transaction ID and original transaction ID are not the same in the receipt. "
                              "Transaction will be reported as consumable by default");
    return base;
  }
  const bool discounted = X->isFreeTrial() || X->isIntroductoryOffer();
  if (!discounted) {
    iapStoreDateWhenLater(productID, D);
    iapMonitor().logWithLevel(5, 40008, "Transaction will be reported as an auto-renewable subscription");
    return iapWith(base, {{"subscription", Value(1)}});
  }
  bool laterFullPrice = false;
  for (; at < size && !laterFullPrice; ++at) {
    const auto later = APMInAppPurchaseItemAtOffset(*receipt, at, productID);
    laterFullPrice = later && !later->isFreeTrial() && !later->isIntroductoryOffer();
  }
  if (laterFullPrice) {
    iapStoreDateWhenLater(productID, D);
    iapMonitor().logWithLevel(5, 40010, "Transaction will be reported as a renewing auto-renewable subscription");
    return iapWith(base, {{"subscription", Value(1)}});
  }
  fd::Dict result = iapWith(base, {{"subscription", Value(1)}});
  if (X->isFreeTrial()) {
    result.set("free_trial", Value(1));
    if (differentIDs) {
      iapMonitor().logWithLevel(4, 40011, "Found a repurchase of a free-trial auto-renewable subscription");
      result.set("invalid", Value(1));
      return result;
    }
    iapMonitor().logWithLevel(5, 40009,
                              "Transaction will be reported as a free-trial auto-renewable subscription with price 0");
  }
  if (introductoryOfferEnabled && X->isIntroductoryOffer()) {
    result.set("price_is_discounted", Value(1));
    iapMonitor().logWithLevel(5, 40018,
                              "Transaction will be reported as introductory offer of an auto-renewable subscription");
  }
  return result;
}

// The receipt's bytes, or nullopt when there is no receipt to read.
std::optional<fd::Bytes> iapReadReceipt() {
  const auto url = APMAEU::appStoreRURL();
  if (!url) return std::nullopt;
  auto bytes = platform::os::FileManager::shared().read(url->path());
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

}  // namespace

std::optional<std::int64_t> APMPriceInMicros(std::string_view decimalText, std::int64_t quantity) {
  const fd::text::Decimal decimal = fd::text::Decimal::parse(decimalText);
  if (decimal.is_nan()) return std::nullopt;
  // Plain notation: optional "-", digits, optional "." and fraction digits.
  std::string text = decimal.text();
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.erase(0, 1);
  const auto dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  // Beyond 18 fraction digits nothing reaches a millionth of any fitting product.
  if (fraction.size() > 18) fraction.resize(18);
  if (whole.size() > 19) return std::nullopt;
  iapWide wholeValue = 0;
  for (char c : whole) wholeValue = wholeValue * 10 + (c - '0');
  iapWide fractionValue = 0;
  iapWide scale = 1;
  for (char c : fraction) {
    fractionValue = fractionValue * 10 + (c - '0');
    scale *= 10;
  }
  const iapWide factor = static_cast<iapWide>(quantity < 0 ? -quantity : quantity) * 1000000;
  // |price| × factor = whole × factor + fraction × factor / scale, truncated.
  iapWide micros = wholeValue * factor + fractionValue * factor / scale;
  if ((quantity < 0) != negative) micros = -micros;
  if (micros > INT64_MAX || micros < INT64_MIN) return std::nullopt;
  return static_cast<std::int64_t>(micros);
}

APMUserDefaults& APMPurchaseDatesDefaults() {
  static APMUserDefaults* const dates = new APMUserDefaults(kPurchaseDatesSuite);
  return *dates;
}

std::optional<fd::Dict> APMInAppPurchaseEventParameters(const store::Product* product,
                                                        const std::shared_ptr<store::Transaction>& transaction,
                                                        std::optional<APMReceiptBytes> receipt) {
  if (!product) {
    iapMonitor().logWithLevel(1, 40000, "IAP Transaction cannot be created. Product cannot be nil.");
    return std::nullopt;
  }
  if (product->identifier.empty()) {
    iapMonitor().logWithLevel(1, 40001, "IAP Transaction cannot be created. Product ID cannot be empty or nil.");
    return std::nullopt;
  }
  if (!transaction) {
    iapMonitor().logWithLevel(1, 40002, "IAP Transaction cannot be created. Transaction cannot be nil.");
    return std::nullopt;
  }
  const std::int64_t quantity = transaction->payment.quantity;
  fd::Dict base;
  base.set("product_id", Value(product->identifier));
  if (!product->price.decimal_text.empty()) {
    // A price or value that does not fit is left out, and with it the event.
    if (auto price = APMPriceInMicros(product->price.decimal_text, 1)) base.set("price", Value(*price));
    if (quantity != 0) {
      if (auto value = APMPriceInMicros(product->price.decimal_text, quantity)) base.set("value", Value(*value));
      base.set("quantity", Value(quantity));
    }
  }
  if (!product->currency_code.empty()) base.set("currency", Value(product->currency_code));
  if (!product->localized_title.empty()) base.set("product_name", Value(product->localized_title));

  fd::Dict parameters = base;
  const auto config = APMMeasurement::remoteConfig();
  if (config->isIAPSubscriptionNonConsumableReportEnabled()) {
    const bool introductoryOfferEnabled = config->isIAPIntroductoryOfferEnabled();
    parameters = iapClassify(base, *product, *transaction, receipt, introductoryOfferEnabled);
    const Value* oldPrice = parameters.find("price");
    if (iapFlag(parameters, "free_trial") == 1) {
      if (oldPrice) parameters.set("original_price", *oldPrice);
      parameters.set("price_is_discounted", Value(1));
      parameters.set("price", Value(0));
      parameters.set("value", Value(0));
    } else if (iapFlag(parameters, "price_is_discounted") == 1 && introductoryOfferEnabled &&
               platform::rt::Runtime::shared().find("SKProductDiscount") && product->introductory_price &&
               !product->introductory_price->price.decimal_text.empty()) {
      const std::string& introductory = product->introductory_price->price.decimal_text;
      const std::optional<Value> listPrice = oldPrice ? std::optional<Value>(*oldPrice) : std::nullopt;
      parameters.erase("price");
      parameters.erase("value");
      if (listPrice) parameters.set("original_price", *listPrice);
      if (auto price = APMPriceInMicros(introductory, 1)) parameters.set("price", Value(*price));
      if (quantity != 0) {
        if (auto value = APMPriceInMicros(introductory, quantity)) parameters.set("value", Value(*value));
      }
    }
  }
  for (std::string_view key : {"price", "value", "currency", "product_id"}) {
    if (!parameters.contains(key)) return std::nullopt;
  }
  return parameters;
}

// ---- reporter ------------------------------------------------------------------------

APMInAppPurchaseTransactionReporter& APMInAppPurchaseTransactionReporter::sharedInstance() {
  static auto* const shared = new APMInAppPurchaseTransactionReporter();
  return *shared;
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(store::PaymentQueue&,
                                                                                  const Transactions& transactions) {
  const auto cache = APMInAppPurchaseProductCache::sharedInstance();
  Transactions kept;
  std::set<std::string> missing;
  for (const auto& transaction : transactions) {
    if (!transaction || transaction->state != store::TransactionState::purchased) continue;
    const std::string& productID = transaction->payment.product_identifier;
    if (productID.empty()) continue;
    kept.push_back(transaction);
    if (!cache->cachedProductForProductIdentifier(productID)) missing.insert(productID);
  }
  if (kept.empty()) return;
  const auto answerQueue = platform::dispatch::Queue::global(platform::dispatch::Qos::default_);
  if (missing.empty()) {
    answerQueue.async([kept] { sharedInstance().reportTransactionsFromArray(kept); });
    return;
  }
  cache->requestProductsWithProductIdentifiers(
      missing, answerQueue,
      [kept](const APMProductsByIdentifier& products, const std::set<std::string>&,
             const std::optional<fd::Error>& error) {
        if (!error || !products.empty()) {
          sharedInstance().reportTransactionsFromArray(kept);
          return;
        }
        iapMonitor().logWithLevel(1, 21027, "Cannot request product information. Error", APMErrorContext(*error));
      });
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(const Transactions& transactions) {
  const auto receiptBytes = iapReadReceipt();
  std::optional<APMReceiptBytes> receipt;
  if (receiptBytes) receipt = APMReceiptBytes(*receiptBytes);
  const auto cache = APMInAppPurchaseProductCache::sharedInstance();
  for (const auto& transaction : transactions) {
    if (!transaction) continue;
    const auto product = cache->cachedProductForProductIdentifier(transaction->payment.product_identifier);
    auto parameters = APMInAppPurchaseEventParameters(product ? &*product : nullptr, transaction, receipt);
    if (!parameters || parameters->empty()) continue;
    std::string name = "_iap";
    if (iapFlag(*parameters, "invalid") == 1) {
      name = "_iapx";
      parameters->erase("invalid");
      if (APMAEU::isASRS()) parameters->set("sandbox", Value(1));
    }
    APMAnalytics::logInternalEventWithOrigin("auto", name, *parameters);
  }
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const std::shared_ptr<store::Transaction>& transaction) {
  if (!transaction) {
    iapMonitor().logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->state != store::TransactionState::purchased) return std::nullopt;
  const Value code = transaction->error ? Value(transaction->error->code) : Value();
  if (!transaction->identifier) {
    iapMonitor().logWithLevel(2, 21015, "Transaction identifier is nil. Code", code);
    return std::nullopt;
  }
  const std::string& identifier = *transaction->identifier;
  if (identifier.empty()) {
    iapMonitor().logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
    return std::nullopt;
  }
  if (identifier.find_first_not_of("0-") == std::string::npos) {
    iapMonitor().logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
    return std::nullopt;
  }
  return apm_MD5String(identifier);
}

}  // namespace analytics
