// The store receipt reader: byte patterns, the original application version
// and the in-app purchase records.
#include "analytics/purchases/receipt.h"

#include <array>
#include <mutex>

#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "platform/os/bundle.h"
#include "platform/os/file_manager.h"

namespace analytics {

namespace fd = platform::foundation;
namespace os = platform::os;

namespace {

constexpr std::uint8_t W = kAPMReceiptWildcard;

APMMonitor& receiptMonitor() { return APMMeasurement::monitor(); }

// SEQUENCE { INTEGER 19, INTEGER version, OCTET STRING value }.
constexpr std::array<std::uint8_t, 10> kVersionPattern = {0x30, W, 0x02, 0x01, 0x13, 0x02, 0x01, W, 0x04, W};
// INTEGER 17, INTEGER version, the OCTET STRING tag.
constexpr std::array<std::uint8_t, 7> kInAppPurchasePattern = {0x02, 0x01, 0x11, 0x02, 0x01, W, 0x04};

// INTEGER 0x06XY (two bytes), INTEGER version, OCTET STRING holding one
// element of tag `tag`, whose short-form length the last wildcard captures.
constexpr std::array<std::uint8_t, 11> fieldPattern(std::uint8_t type, std::uint8_t tag) {
  return {0x02, 0x02, 0x06, type, 0x02, 0x01, W, 0x04, W, tag, W};
}

enum Field { kProductID, kTransactionID, kOriginalTransactionID, kExpirationDate, kFreeTrial, kIntroductoryOffer,
             kPurchaseType, kFieldCount };

// In the order they are tried.
constexpr std::array<std::array<std::uint8_t, 11>, kFieldCount> kFieldPatterns = {
    fieldPattern(0xA6, 0x0C),   // 1702 product identifier
    fieldPattern(0xA7, 0x0C),   // 1703 transaction identifier
    fieldPattern(0xA9, 0x0C),   // 1705 original transaction identifier
    fieldPattern(0xAC, 0x16),   // 1708 subscription expiration date
    fieldPattern(0xB1, 0x02),   // 1713 free trial
    fieldPattern(0xB7, 0x02),   // 1719 introductory offer
    fieldPattern(0xAB, 0x02),   // 1707 purchase type
};

std::string text(APMReceiptBytes bytes) { return std::string(bytes.begin(), bytes.end()); }

// A one-byte flag: 1 is YES, 0 is NO, anything else NO after its message.
bool flag(APMReceiptBytes value, std::int64_t valueCode, std::string_view valueMessage, std::int64_t lengthCode,
          std::string_view lengthMessage) {
  if (value.size() != 1) {
    receiptMonitor().logWithLevel(5, lengthCode, lengthMessage, fd::Value(static_cast<std::int64_t>(value.size())));
    return false;
  }
  if (value[0] > 1) receiptMonitor().logWithLevel(5, valueCode, valueMessage, fd::Value(static_cast<std::int64_t>(value[0])));
  return value[0] == 1;
}

}  // namespace

std::optional<APMReceiptBytes> APMReceiptMatchPattern(APMReceiptBytes pattern, APMReceiptBytes data,
                                                      std::int64_t offset) {
  if (offset < 0 || data.empty() || pattern.empty()) return std::nullopt;
  const auto start = static_cast<std::uint64_t>(offset);
  if (start >= data.size() || pattern.size() >= data.size() - start) return std::nullopt;
  std::optional<std::uint8_t> captured;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::uint8_t byte = data[start + i];
    if (pattern[i] == kAPMReceiptWildcard) {
      captured = byte;
    } else if (pattern[i] != byte) {
      return std::nullopt;
    }
  }
  if (!captured || *captured == 0) return std::nullopt;
  const std::size_t length = *captured;
  if (length >= 128) receiptMonitor().logWithLevel(5, 39027, "Data is longer than 127");
  const std::size_t valueStart = start + pattern.size();
  if (data.size() - valueStart < length) return std::nullopt;
  return data.subspan(valueStart, length);
}

std::optional<APMReceiptBytes> APMReceiptInAppPurchaseStartsAt(APMReceiptBytes data, std::int64_t offset) {
  return APMReceiptMatchPattern(kInAppPurchasePattern, data, offset);
}

std::shared_ptr<APMInAppPurchaseItem> APMInAppPurchaseItemFromReceipt(APMReceiptBytes data,
                                                                      std::string_view productID) {
  constexpr std::string_view kNoProductID = "Subdata does not contain PI";
  if (data.empty()) {
    receiptMonitor().logWithLevel(5, 39024, kNoProductID);
    return nullptr;
  }
  if (!APMReceiptInAppPurchaseStartsAt(data, 0)) return nullptr;
  std::array<std::optional<APMReceiptBytes>, kFieldCount> fields;
  for (std::size_t offset = 0; offset < data.size(); ++offset) {
    const auto at = static_cast<std::int64_t>(offset);
    if (offset >= 1 && APMReceiptInAppPurchaseStartsAt(data, at)) break;   // the next record
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      if (fields[field]) continue;
      fields[field] = APMReceiptMatchPattern(kFieldPatterns[field], data, at);
      if (field == kProductID && fields[field] && text(*fields[field]) != productID) return nullptr;
    }
  }
  if (!fields[kProductID]) {
    receiptMonitor().logWithLevel(5, 39024, kNoProductID);
    return nullptr;
  }
  auto item = std::make_shared<APMInAppPurchaseItem>();
  item->productID_ = std::string(productID);
  if (fields[kExpirationDate]) item->subscriptionExpirationDateIA5String_ = text(*fields[kExpirationDate]);
  if (fields[kOriginalTransactionID]) item->originalTransactionID_ = text(*fields[kOriginalTransactionID]);
  if (fields[kTransactionID]) item->transactionID_ = text(*fields[kTransactionID]);
  if (const auto& type = fields[kPurchaseType]) {
    if (type->size() == 1) {
      item->purchaseType_ = (*type)[0];
    } else {
      receiptMonitor().logWithLevel(5, 39030, "Subdata PT unexpected length", fd::Value(static_cast<std::int64_t>(type->size())));
    }
  }
  if (fields[kFreeTrial]) {
    item->freeTrial_ = flag(*fields[kFreeTrial], 39025, "Subdata FT unexpected value", 39026,
                            "Subdata FT unexpected length");
  }
  if (fields[kIntroductoryOffer]) {
    item->introductoryOffer_ = flag(*fields[kIntroductoryOffer], 39028, "Subdata IO unexpected value", 39029,
                                    "Subdata IO unexpected length");
  }
  return item;
}

std::shared_ptr<APMInAppPurchaseItem> APMInAppPurchaseItemAtOffset(APMReceiptBytes receipt, std::int64_t offset,
                                                                   std::string_view productID) {
  if (offset < 0 || static_cast<std::uint64_t>(offset) > receipt.size()) return nullptr;
  auto item = APMInAppPurchaseItemFromReceipt(receipt.subspan(static_cast<std::size_t>(offset)), productID);
  if (!item || item->productID().empty() || item->productID() != productID) return nullptr;
  return item;
}

bool APMReceiptVersionMatchesVersion(APMReceiptBytes receipt, std::string_view bundleVersion) {
  std::optional<APMReceiptBytes> value;
  for (std::size_t offset = 0; offset < receipt.size() && !value; ++offset) {
    value = APMReceiptMatchPattern(kVersionPattern, receipt, static_cast<std::int64_t>(offset));
  }
  const auto length = static_cast<std::int64_t>(value ? value->size() : 0);
  if (length <= 2) {
    receiptMonitor().logWithLevel(5, 39006, "V data is too short. Length", fd::Value(length));
    return false;
  }
  // UTF8String tag and its short-form length.
  if ((*value)[0] != 12) {
    receiptMonitor().logWithLevel(5, 39007, "V data byte 0 is wrong. Value", fd::Value(static_cast<std::int64_t>((*value)[0])));
  }
  if ((*value)[1] != length - 2) {
    receiptMonitor().logWithLevel(5, 39008, "V data byte 1 is wrong. Value, expected",
                           fd::Value(static_cast<std::int64_t>((*value)[1])), fd::Value(length - 2));
  }
  return text(value->subspan(2)) == bundleVersion;
}

bool APMComputeReceiptVersionMatchesBundle() {
  if (APMAEU::isNOD() || APMAEU::isASRS()) return true;
  const auto url = APMAEU::appStoreRURL();
  auto bytes = url ? os::FileManager::shared().read(url->file_path())
                   : fd::Expected<fd::Bytes>(fd::Error(std::string(fd::cocoa_error::domain), 260, {}));
  if (!bytes) {
    // A missing file has no data; anything else there (a folder) is not data.
    if (bytes.error().code == 260) {
      receiptMonitor().logWithLevel(5, 39002, "Version data is nil");
    } else {
      receiptMonitor().logWithLevel(5, 39003, "Version data is not data");
    }
    return false;
  }
  if (bytes->empty()) {
    receiptMonitor().logWithLevel(5, 39004, "Version data is empty");
    return false;
  }
  const fd::Value& version = os::Bundle::main().object_for_info_key("CFBundleVersion");
  const std::string* bundleVersion = version.string();
  const bool matches = APMReceiptVersionMatchesVersion(*bytes, bundleVersion != nullptr ? *bundleVersion : "");
  return matches && bundleVersion != nullptr;
}

bool APMReceiptVersionMatchesBundle() {
  static std::once_flag once;
  static bool matches = false;
  std::call_once(once, [] { matches = APMComputeReceiptVersionMatchesBundle(); });
  return matches;
}

}  // namespace analytics
