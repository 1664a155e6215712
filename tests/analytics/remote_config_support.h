#pragma once
// A measurement configuration as the server would send it, built from a plain
// description: app ID, settings, event configurations, version.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/config/remote_config.h"
#include "platform/foundation/value.h"
#include "wire/measurement/measurement.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics_test {

inline constexpr const char* kConfigAppID = "1:123:ios:abc";

struct ConfigEventRow {
  std::string name = {};
  std::optional<bool> blacklisted = std::nullopt;
  std::optional<bool> conversion = std::nullopt;
  std::optional<std::int32_t> rate = std::nullopt;
};

struct ConfigSpec {
  std::optional<std::string> appID = kConfigAppID;
  std::vector<std::pair<std::string, std::optional<std::string>>> settings = {};
  std::vector<ConfigEventRow> events = {};
  std::optional<std::int64_t> version = std::nullopt;
  std::optional<std::string> vezazAppID = std::nullopt;
};

inline analytics::APMRemoteConfig::Config makeConfig(const ConfigSpec& spec) {
  namespace fd = platform::foundation;
  auto config = wire::RIDUZMeasurementConfig::make();
  if (spec.appID) wire::NANOSetString(config.get(), 1, *spec.appID);
  if (spec.vezazAppID) wire::NANOSetString(config.get(), 6, *spec.vezazAppID);
  if (spec.version) wire::NANOSetInt64(config.get(), 0, *spec.version);
  fd::Array settings;
  for (const auto& [name, value] : spec.settings) {
    auto setting = wire::RIDUZSetting::make();
    wire::NANOSetString(setting.get(), 0, name);
    if (value) wire::NANOSetString(setting.get(), 1, *value);
    settings.push_back(fd::Value::object(setting));
  }
  wire::NANOSetArray(config.get(), 3, settings);
  fd::Array events;
  for (const auto& row : spec.events) {
    auto event = wire::RIDUZEventConfig::make();
    wire::NANOSetString(event.get(), 0, row.name);
    if (row.blacklisted) wire::NANOSetBool(event.get(), 1, *row.blacklisted);
    if (row.conversion) wire::NANOSetBool(event.get(), 2, *row.conversion);
    if (row.rate) wire::NANOSetInt32(event.get(), 3, *row.rate);
    events.push_back(fd::Value::object(event));
  }
  if (!events.empty()) wire::NANOSetArray(config.get(), 4, events);
  return config;
}

}  // namespace analytics_test
