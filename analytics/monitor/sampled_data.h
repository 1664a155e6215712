#pragma once
// The sampled monitoring entry: one message key kept uniformly at random among
// all monitorable messages since the entry began, with their count, and its
// URL-parameter form sent with an upload.
//
// Threads: one object is used from one queue at a time (the monitor's queue).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

class APMMonitoringSampledData {
 public:
  // A uniform random integer in [0, upper); the default uses the platform's
  // secure generator.
  using Draw = std::function<std::uint64_t(std::uint64_t upper)>;
  static std::uint64_t defaultDraw(std::uint64_t upper);

  // `array` is a stored entry (null for none); anything but a valid entry
  // gives empty data.
  explicit APMMonitoringSampledData(const platform::foundation::Value& array = {}, Draw draw = defaultDraw);

  // Counts one message; the new one replaces the kept key and context with
  // probability 1 / population.
  void insertOrUpdateSampledDataWithKey(std::string_view key, std::string_view encodedContext);
  // With an entry older than the period: its parameter, and the entry is
  // dropped; a younger entry gives nullopt. Without one: "0:" when the last
  // sampled time is positive and more than a period away from now, else nullopt.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Copy of the entry: [context, population, key, first-message date].
  std::optional<platform::foundation::Array> sampledData() const { return sampledData_; }

  static bool isValidUserDefaultsArrayEntry(const platform::foundation::Value& entry);
  // "<population>:<key>:<context>", or "<population>:<key>" for an empty context.
  static std::string monitoringURLParamWithKey(std::string_view key, std::int64_t population,
                                               std::string_view context);
  // nullopt unless all four are given.
  static std::optional<platform::foundation::Array> sampledDataEntryWithKey(
      std::optional<std::string_view> key, std::optional<platform::foundation::Date> timestamp,
      std::optional<std::string_view> context, std::optional<std::int64_t> population);

 private:
  std::optional<platform::foundation::Array> sampledData_;
  Draw draw_;
};

}  // namespace analytics
