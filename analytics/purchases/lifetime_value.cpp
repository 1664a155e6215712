// The lifetime-value recorder: per-currency sums of purchase values as
// internal user properties, with the oldest currency evicted at the limit.
#include "analytics/purchases/lifetime_value.h"

#include <cmath>
#include <limits>
#include <string>

#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/event.h"
#include "analytics/model/records.h"
#include "analytics/model/value.h"
#include "analytics/store/database.h"
#include "analytics/support/errors.h"
#include "platform/dispatch/clock.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

constexpr std::string_view kLtvPrefix = "_ltv_";

Value ltvErrorContext(const std::optional<fd::Error>& error) { return error ? APMErrorContext(*error) : Value(); }

std::string ltvUpperCased(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The value truncated toward zero, when it fits a signed 64-bit integer
// (2^63 is exact as a double; everything below it converts safely).
std::optional<std::int64_t> ltvTruncatedToInt64(double value) {
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(value) || value >= kLimit || value < -kLimit) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

}  // namespace

std::optional<std::int64_t> APMMicrosRoundedFromDouble(double value) {
  return ltvTruncatedToInt64(std::round(value * 1000000.0));  // halves away from zero
}

bool APMLifetimeValueRecorder::isPurchaseEvent(const APMEvent& event) {
  return event.name() == "_iap" || event.name() == "ecommerce_purchase";
}

bool APMLifetimeValueRecorder::recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event) {
  if (!isPurchaseEvent(event)) return true;
  auto& monitor = APMMeasurement::monitor();
  const Value* currencyEntry = event.parameters().find("currency");
  const auto currency = currencyEntry ? APMValueFrom(*currencyEntry) : nullptr;
  const auto currencyText = currency ? currency->stringValue() : std::nullopt;
  if (!currencyText || APMCodePointLength(*currencyText) != 3) {
    monitor.logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                         currency ? currency->value() : Value());
    return true;
  }
  const Value* valueEntry = event.parameters().find("value");
  const auto value = valueEntry ? APMValueFrom(*valueEntry) : nullptr;
  if (!value || !(value->isDouble() || value->isInt64())) {
    monitor.logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value");
    return true;
  }
  std::int64_t amount = 0;
  if (event.name() == "ecommerce_purchase") {
    std::optional<std::int64_t> micros;
    if (value->isDouble()) {
      micros = APMMicrosRoundedFromDouble(value->doubleValue());
    } else if (std::int64_t product = 0; !__builtin_mul_overflow(value->int64Value(), std::int64_t{1000000}, &product)) {
      micros = product;
    }
    if (!micros) {
      monitor.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds", value->value());
      return false;
    }
    amount = *micros;
  } else if (event.name() == "_iap") {
    const auto whole = value->isInt64() ? std::optional<std::int64_t>(value->int64Value())
                                        : ltvTruncatedToInt64(value->doubleValue());
    if (!whole) {
      monitor.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds", value->value());
      return false;
    }
    amount = *whole;
  }

  const std::string name = std::string(kLtvPrefix) + ltvUpperCased(*currencyText);
  std::optional<fd::Error> error;
  const auto all = database.allLifetimeValueUserAttributes(&error);
  if (!all) {
    monitor.logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error", ltvErrorContext(error));
    return false;
  }
  APMUserAttributeRef existing;
  for (const auto& attribute : *all) {
    if (attribute->name() == name) existing = attribute;
  }
  std::int64_t total = amount;
  if (existing) {
    const std::int64_t stored = existing->value() ? existing->value()->int64Value() : 0;
    if (__builtin_add_overflow(stored, amount, &total)) {
      monitor.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds", value->value());
      return false;
    }
  } else {
    const auto limit = static_cast<std::size_t>(std::max(0, APMMeasurement::remoteConfig()->maxTrackedCurrencies()));
    if (!all->empty() && all->size() >= limit) {
      const std::string& oldest = all->back()->name();
      error.reset();
      if (!database.deleteUserAttributeWithName(oldest, &error)) {
        monitor.logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error", Value(oldest),
                             ltvErrorContext(error));
        return false;
      }
    }
  }
  auto attribute = APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(total),
                                                    platform::dispatch::Clock::current().now_since_1970());
  error.reset();
  if (!attribute || !database.updateUserAttribute(attribute.get(), &error)) {
    monitor.logWithLevel(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
                         Value(name), ltvErrorContext(error));
    return false;
  }
  monitor.logWithLevel(7, 22006, "Lifetime value has been updated in database", Value(name), Value(total));
  return true;
}

}  // namespace analytics
