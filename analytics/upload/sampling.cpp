// Event sampling: the per-name roll, the daily exemption, the "_ep"/"_eid"
// pairing and the sampling state written back to the aggregates rows.
#include "analytics/upload/sampling.h"

#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "analytics/config/remote_config.h"
#include "analytics/engine/engine_records.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/store/database.h"
#include "platform/security/random.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

namespace mf = measurement_fields;

APMMonitor& samplingMonitor() { return APMMeasurement::monitor(); }

std::mutex& samplingRandomMutex() {
  static std::mutex mutex;
  return mutex;
}
APMSamplingRandomSource& samplingRandomSlot() {
  static APMSamplingRandomSource source;
  return source;
}

std::uint32_t samplingRoll(std::uint32_t upper) {
  APMSamplingRandomSource source;
  {
    std::lock_guard lock(samplingRandomMutex());
    source = samplingRandomSlot();
  }
  return source ? source(upper) : platform::security::random_uniform(upper);
}

using SamplingParams = std::vector<std::shared_ptr<wire::RIDUZEventParam>>;

SamplingParams samplingParamsOf(const wire::RIDUZEvent& event) {
  SamplingParams params;
  const auto items = wire::NANOGetArray(&event, mf::kEventParams, &wire::RIDUZEventParam::type());
  for (const Value& item : items.value_or(fd::Array{})) {
    if (auto param = item.object<wire::RIDUZEventParam>()) params.push_back(std::move(param));
  }
  return params;
}

std::string samplingParamName(const wire::RIDUZEventParam& param) {
  return wire::NANOGetString(&param, mf::kParamName).value_or("");
}

std::shared_ptr<wire::RIDUZEventParam> samplingFindParam(const SamplingParams& params, std::string_view name) {
  for (const auto& param : params) {
    if (samplingParamName(*param) == name) return param;
  }
  return nullptr;
}

// Whether the list already holds `name` (23156).
bool APMParametersContainName(const SamplingParams& params, std::string_view name) {
  if (!samplingFindParam(params, name)) return false;
  samplingMonitor().logWithLevel(4, 23156, "Event parameter already exists. Parameter name", Value(std::string(name)));
  return true;
}

// Appends an integer parameter unless one of that name exists.
void samplingAddIntParam(wire::RIDUZEvent& event, std::string_view name, std::int64_t value, std::int64_t failureCode,
                         std::string_view failureText) {
  const SamplingParams params = samplingParamsOf(event);
  if (APMParametersContainName(params, name)) return;
  auto param = wire::RIDUZEventParam::make();
  if (!param) {
    samplingMonitor().logWithLevel(1, failureCode, failureText);
    return;
  }
  wire::NANOSetString(param.get(), mf::kParamName, name);
  wire::NANOSetInt64(param.get(), mf::kParamInt64, value);
  fd::Array items;
  for (const auto& existing : params) items.push_back(Value::object(existing));
  items.push_back(Value::object(param));
  wire::NANOSetArray(&event, mf::kEventParams, std::move(items));
}

void samplingAddRate(wire::RIDUZEvent& event, std::int64_t rate) {
  samplingAddIntParam(event, "_sr", rate, 23153, "Failed to create sampling rate parameter");
}
void samplingAddExempt(wire::RIDUZEvent& event) {
  samplingAddIntParam(event, "_efs", 1, 23158, "Failed to create exempt from sampling parameter");
}

std::optional<std::int64_t> samplingIntParam(const SamplingParams& params, std::string_view name) {
  const auto param = samplingFindParam(params, name);
  if (!param || !wire::NANOHasField(param.get(), mf::kParamInt64)) return std::nullopt;
  return wire::NANOGetInt64(param.get(), mf::kParamInt64);
}

std::optional<std::string> samplingStringParam(const SamplingParams& params, std::string_view name) {
  const auto param = samplingFindParam(params, name);
  if (!param || !wire::NANOHasField(param.get(), mf::kParamString)) return std::nullopt;
  return wire::NANOGetString(param.get(), mf::kParamString);
}

bool samplingSameID(const Value& stored, std::int64_t eid) {
  const auto id = stored.as_int();
  return id && *id == eid;
}

// The day of a time in milliseconds under the account's offset.
std::int32_t samplingDayOf(std::int64_t milliseconds, std::int32_t offsetMinutes) {
  return static_cast<std::int32_t>(
      std::trunc((static_cast<double>(milliseconds) / 1000.0 + offsetMinutes * 60.0) / 86400.0));
}

std::string samplingParamsDescription(const SamplingParams& params) {
  std::string text;
  for (const auto& param : params) {
    if (!text.empty()) text += ", ";
    text += samplingParamName(*param);
  }
  return text;
}

}  // namespace

void APMSetSamplingRandomSource(APMSamplingRandomSource source) {
  std::lock_guard lock(samplingRandomMutex());
  samplingRandomSlot() = std::move(source);
}

bool APMCanEventBeSampled(const APMRemoteConfig& config, std::string_view name) {
  if (!config.isEventSamplingEnabled() || !config.eventHasSamplingRate(name)) return false;
  if (config.samplingRateForEvent(name) <= 1) {
    samplingMonitor().logWithLevel(4, 23154, "Invalid sampling rate provided");
    return false;
  }
  return true;
}

bool APMIsEventBundledAfterRoll(std::int32_t rate) {
  if (rate <= 1) return true;
  return samplingRoll(static_cast<std::uint32_t>(rate)) == 0;
}

std::optional<std::vector<std::shared_ptr<wire::RIDUZEvent>>> APMSampleEvents(
    APMDatabase& database, const APMRemoteConfig& config, const std::vector<std::shared_ptr<wire::RIDUZEvent>>& events,
    APMErrorOut error) {
  std::optional<fd::Error> failure;
  const auto fail = [&](std::int64_t code, APMMessage text, const Value& context) {
    if (context.is_null()) {
      samplingMonitor().logWithLevel(1, code, text, failure ? APMErrorContext(*failure) : Value());
    } else {
      samplingMonitor().logWithLevel(1, code, text, context, failure ? APMErrorContext(*failure) : Value());
    }
    if (error && failure) *error = failure;
    return std::nullopt;
  };
  const auto all = database.allEventAggregates(&failure);
  if (!all) return fail(23157, "Unable to query all event aggregates for cache. error", Value());
  std::map<std::string, std::shared_ptr<APMEventAggregates>> cache;
  for (const auto& aggregates : *all) {
    if (aggregates) cache[aggregates->name()] = aggregates;
  }
  const std::int32_t offsetMinutes = config.analyticsAccountTimeZoneOffsetMinutes();
  const bool offsetEnabled = config.isTimeZoneOffsetEnabled();

  std::vector<std::shared_ptr<wire::RIDUZEvent>> kept;
  for (const auto& event : events) {
    if (!event) continue;
    const auto name = wire::NANOGetString(event.get(), mf::kEventName);
    if (!name || name->empty()) {
      samplingMonitor().logWithLevel(1, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    const SamplingParams params = samplingParamsOf(*event);
    if (*name == "_ep") {
      const auto mainName = samplingStringParam(params, "_en");
      const auto eid = samplingIntParam(params, "_eid");
      if (!mainName || !eid) {
        samplingMonitor().logWithLevel(1, 23160, "Missing parameter(s) from an extra param event. Event name, parameters",
                                       Value(*name), Value(samplingParamsDescription(params)));
        continue;
      }
      const auto found = cache.find(*mainName);
      if (found != cache.end()) {
        const auto& entry = *found->second;
        if (!entry.lastSampledComplexEventID().is_null() && samplingSameID(entry.lastSampledComplexEventID(), *eid)) {
          continue;
        }
        if (entry.lastSamplingRate() >= 2) samplingAddRate(*event, entry.lastSamplingRate());
        if (entry.lastExemptFromSampling()) samplingAddExempt(*event);
      }
      kept.push_back(event);
      continue;
    }

    auto& slot = cache[*name];
    if (!slot) slot = APMEventAggregates::initWithName(*name, 0, 0, 0);
    if (!slot) {
      kept.push_back(event);
      continue;
    }
    APMEventAggregates& entry = *slot;
    const auto eid = samplingIntParam(params, "_eid");
    if (!eid || !samplingSameID(entry.lastSampledComplexEventID(), *eid)) {
      entry.setLastSampledComplexEventID(Value());
      entry.setLastSamplingRate(1);
      entry.setLastExemptFromSampling(false);
    }
    const std::int64_t millis = wire::NANOGetInt64(event.get(), mf::kEventTimestamp);
    const double seconds = static_cast<double>(millis) / 1000.0;
    const std::int32_t day = samplingDayOf(millis, offsetMinutes);
    const auto markBundled = [&] {
      entry.setLastBundledTimestamp(seconds);
      entry.setLastBundledDay(day);
    };
    if (!APMCanEventBeSampled(config, *name)) {
      markBundled();
      kept.push_back(event);
      continue;
    }
    const std::int32_t rate = config.samplingRateForEvent(*name);
    if (APMIsEventBundledAfterRoll(rate)) {
      entry.setLastSamplingRate(rate);
      entry.setLastSampledComplexEventID(Value());
      markBundled();
      samplingAddRate(*event, rate);
      kept.push_back(event);
      continue;
    }
    bool firstOfDay;
    if (offsetEnabled) {
      std::int32_t lastDay = entry.lastBundledDay();
      if (lastDay == 0) lastDay = samplingDayOf(wire::NANOGetInt64(event.get(), mf::kEventPreviousTimestamp), offsetMinutes);
      firstOfDay = lastDay != day;
    } else {
      firstOfDay = std::fabs(entry.lastBundledTimestamp() - seconds) >= 86400.0;
    }
    entry.setLastSamplingRate(rate);
    if (firstOfDay) {
      markBundled();
      samplingAddRate(*event, rate);
      samplingAddExempt(*event);
      entry.setLastExemptFromSampling(true);
      kept.push_back(event);
      continue;
    }
    if (eid) entry.setLastSampledComplexEventID(Value(static_cast<long long>(*eid)));
  }

  for (const auto& [name, entry] : cache) {
    if (!entry) continue;
    failure.reset();
    auto stored = database.eventAggregatesWithName(name, &failure);
    if (!stored) {
      if (failure) return fail(23151, "Unable to query event aggregates to update database. Name, error", Value(name));
      continue;  // a name never stored keeps no state
    }
    if (entry->lastBundledTimestamp() != 0) stored->setLastBundledTimestamp(entry->lastBundledTimestamp());
    stored->setLastSamplingRate(entry->lastSamplingRate());
    stored->setLastSampledComplexEventID(entry->lastSampledComplexEventID());
    stored->setLastExemptFromSampling(entry->lastExemptFromSampling());
    stored->setLastBundledDay(entry->lastBundledDay());
    if (!database.updateEventAggregates(stored.get(), &failure)) {
      return fail(23152, "Failed to update event aggregates after removing removing events due to sampling. Error",
                  Value());
    }
  }
  return kept;
}

}  // namespace analytics
