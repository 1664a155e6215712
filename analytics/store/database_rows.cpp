// Helpers shared by the table operations of APMDatabase.
#include "analytics/store/database_rows.h"

#include "analytics/engine/measurement.h"
#include "wire/measurement/measurement.h"

namespace analytics {

namespace fd = platform::foundation;

APMMonitor& APMDatabaseMonitor() { return APMMeasurement::monitor(); }

double APMDatabaseNow() { return fd::Date::now().since_1970; }

const fd::Value& APMAppMetadataKey() {
  static const fd::Value key("1");
  return key;
}

fd::Value APMStorableValue(const APMValue& value) {
  if (value.isString()) return fd::Value(value.stringValue().value_or(""));
  if (value.isDouble()) return fd::Value(value.doubleValue());
  return fd::Value(static_cast<long long>(value.int64Value()));
}

APMEventRef APMEventFromBlob(const fd::Value& blob, APMErrorOut error) {
  const auto* data = blob.data();
  if (!APMCheckNotNil(data, error, 2, "Failed to convert data to an event. Data must be a NSData instance"))
    return nullptr;
  auto proto = wire::RIDUZEvent::initWithBuffer(*data);
  if (!APMCheckNotNil(proto, error, 2, "Failed to parse event from data")) return nullptr;
  auto event = APMEvent::initWithEventProto(proto.get());
  if (!APMCheckNotNil(event, error, 2, "Failed to initialize event from proto data")) return nullptr;
  return event;
}

std::optional<fd::Bytes> APMEventBlob(const APMEvent& event) {
  auto proto = event.protoEvent();
  if (!proto) return std::nullopt;
  return proto->protoBuffer();
}

std::optional<std::string> APMRowIDCondition(const std::vector<std::int64_t>& rowIDs, fd::Array* parameters,
                                             APMErrorOut error) {
  if (!APMCheckSuccess(!rowIDs.empty(), error, 1, "Received empty row IDs to process")) return std::nullopt;
  std::string placeholders;
  for (const auto id : rowIDs) {
    placeholders += placeholders.empty() ? "?" : ",?";
    parameters->emplace_back(static_cast<long long>(id));
  }
  return "rowid IN (" + placeholders + ")";
}

}  // namespace analytics
