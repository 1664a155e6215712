// The store receipt reader: arbitrary bytes through the version attribute scan
// and the purchase-record reader for a fixed product identifier, at offset 0
// and at the first record starts.
#include <cstdint>
#include <span>

#include "analytics/purchases/receipt.h"
#include "fuzz/support.h"
#include "platform/dispatch/queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  const std::span<const std::uint8_t> bytes(data, size);
  (void)analytics::APMReceiptVersionMatchesVersion(bytes, "1.0");
  constexpr std::string_view kProduct = "com.example.pro";
  if (const auto item = analytics::APMInAppPurchaseItemFromReceipt(bytes, kProduct)) {
    fuzz::check(item->productID() == kProduct);
  }
  int starts = 0;
  for (std::size_t offset = 0; offset < size && starts < 32; ++offset) {
    if (!analytics::APMReceiptInAppPurchaseStartsAt(bytes, static_cast<std::int64_t>(offset))) continue;
    ++starts;
    if (const auto item = analytics::APMInAppPurchaseItemAtOffset(bytes, static_cast<std::int64_t>(offset), kProduct)) {
      fuzz::check(item->productID() == kProduct);
    }
  }
  // Messages go through the monitor: let its queued work end before the process may exit.
  platform::dispatch::wait_until_idle();
  return 0;
}
