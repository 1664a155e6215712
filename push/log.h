#pragma once
// The push client's one levelled log sink. A line goes to the console when
// its level is within the console threshold and is also shown as a dialog
// when it is within the visual threshold.
#include <cstdint>
#include <string_view>

namespace push {

enum OSLogLevel : std::uint32_t {
  kLogNone = 0,
  kLogFatal = 1,
  kLogError = 2,
  kLogWarn = 3,
  kLogInfo = 4,
  kLogDebug = 5,
  kLogVerbose = 6,
};

// "WARNING: " and so on; "" for a level outside 1-6.
std::string_view logPrefix(std::uint32_t level);

void writeLogLine(std::uint32_t level, std::string_view message);

// Both thresholds, stored as given (no range check). Load values: 3 and 0.
void setLogThresholds(std::uint32_t logLevel, std::uint32_t visualLevel);
std::uint32_t consoleLogLevel();
std::uint32_t visualLogLevel();

}  // namespace push
