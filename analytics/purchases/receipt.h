#pragma once
// The store receipt reader: fixed byte patterns of receipt attributes scanned
// in the raw DER bytes (short-form lengths only), the original application
// version test and the in-app purchase record of one product. Callable from
// any thread; the version answer is computed once per process.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

using APMReceiptBytes = std::span<const std::uint8_t>;

// The wildcard byte of a pattern: matches any byte and captures it.
inline constexpr std::uint8_t kAPMReceiptWildcard = 255;

// The bytes that follow the pattern at `offset`, as many as the last captured
// byte says (a view into `data`); nullopt without a match, without a
// wildcard, for a length of 0 or when fewer bytes follow.
std::optional<APMReceiptBytes> APMReceiptMatchPattern(APMReceiptBytes pattern, APMReceiptBytes data,
                                                      std::int64_t offset);
// The OCTET STRING of a type-17 attribute (one in-app purchase) starting at
// `offset`, or nullopt.
std::optional<APMReceiptBytes> APMReceiptInAppPurchaseStartsAt(APMReceiptBytes data, std::int64_t offset);

// One in-app purchase record of the receipt.
class APMInAppPurchaseItem {
 public:
  const std::string& productID() const { return productID_; }
  const std::optional<std::string>& transactionID() const { return transactionID_; }
  const std::optional<std::string>& originalTransactionID() const { return originalTransactionID_; }
  const std::optional<std::int64_t>& purchaseType() const { return purchaseType_; }
  const std::optional<std::string>& subscriptionExpirationDateIA5String() const {
    return subscriptionExpirationDateIA5String_;
  }
  bool isFreeTrial() const { return freeTrial_; }
  bool isIntroductoryOffer() const { return introductoryOffer_; }

 private:
  friend std::shared_ptr<APMInAppPurchaseItem> APMInAppPurchaseItemFromReceipt(APMReceiptBytes data,
                                                                               std::string_view productID);
  std::string productID_;
  std::optional<std::string> transactionID_;
  std::optional<std::string> originalTransactionID_;
  std::optional<std::int64_t> purchaseType_;
  std::optional<std::string> subscriptionExpirationDateIA5String_;
  bool freeTrial_ = false;
  bool introductoryOffer_ = false;
};

// The record that `data` starts with (a type-17 attribute) when its product
// identifier is `productID`; the walk stops at the next record. nullptr otherwise.
std::shared_ptr<APMInAppPurchaseItem> APMInAppPurchaseItemFromReceipt(APMReceiptBytes data, std::string_view productID);
// The record at `offset` of the whole receipt when its product identifier is
// non-empty and equals `productID`.
std::shared_ptr<APMInAppPurchaseItem> APMInAppPurchaseItemAtOffset(APMReceiptBytes receipt, std::int64_t offset,
                                                                   std::string_view productID);

// Whether the receipt's original application version equals the bundle's
// "CFBundleVersion" (true on a simulator and for a sandbox receipt). Computed
// at the first call and kept for the process.
bool APMReceiptVersionMatchesBundle();
// The computation itself, without the once-only guard.
bool APMComputeReceiptVersionMatchesBundle();
// The version test over receipt bytes already read.
bool APMReceiptVersionMatchesVersion(APMReceiptBytes receipt, std::string_view bundleVersion);

}  // namespace analytics
