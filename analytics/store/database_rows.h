#pragma once
// Helpers shared by the table operations of APMDatabase: the monitor, the
// current time, stored forms of values and events, and the row-ID condition.
// Thread: the engine's worker queue, like the database.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analytics/model/event.h"
#include "analytics/model/value.h"
#include "analytics/monitor/monitor.h"
#include "analytics/support/errors.h"
#include "platform/foundation/value.h"

namespace analytics {

APMMonitor& APMDatabaseMonitor();
// Seconds since 1970 on the process clock.
double APMDatabaseNow();
// The app-metadata row's key, the text "1".
const platform::foundation::Value& APMAppMetadataKey();
// A string as its text, a double as a real, anything else as its int64.
platform::foundation::Value APMStorableValue(const APMValue& value);
// An event message blob back to its event; nullptr with error 2 when the
// value is not data, does not parse or gives no event.
APMEventRef APMEventFromBlob(const platform::foundation::Value& blob, APMErrorOut error);
// The serialized message of an event; nullopt when it does not serialize.
std::optional<platform::foundation::Bytes> APMEventBlob(const APMEvent& event);
// "rowid IN (?,?,...)" for the IDs, which it appends to `parameters`; nullopt
// with error 1 for none.
std::optional<std::string> APMRowIDCondition(const std::vector<std::int64_t>& rowIDs,
                                             platform::foundation::Array* parameters, APMErrorOut error);

}  // namespace analytics
