#pragma once
// The per-currency lifetime value of purchases, kept as internal user
// properties "_ltv_" + currency code in millionths of the currency unit.
//
// Thread: the engine's worker queue, inside the intake's write transaction.
#include <cstdint>
#include <optional>

namespace analytics {

class APMDatabase;
class APMEvent;

// value × 1,000,000 rounded half away from zero; nullopt when it does not
// fit a signed 64-bit integer (or is not finite).
std::optional<std::int64_t> APMMicrosRoundedFromDouble(double value);

class APMLifetimeValueRecorder {
 public:
  // The name is "_iap" or "ecommerce_purchase".
  static bool isPurchaseEvent(const APMEvent& event);
  // Adds the purchase's value to the lifetime value of its currency. NO for a
  // database failure or an amount or sum out of range (nothing is changed
  // then); YES for anything else, an invalid currency or value included.
  static bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event);
};

}  // namespace analytics
