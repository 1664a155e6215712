#include "push/log.h"

#include <array>
#include <atomic>
#include <string>

#include "platform/foundation/console.h"
#include "platform/os/bundle.h"
#include "push/dialog.h"

namespace push {

namespace {
std::atomic<std::uint32_t> g_logLevel{kLogWarn};
std::atomic<std::uint32_t> g_visualLevel{kLogNone};
}  // namespace

std::string_view logPrefix(std::uint32_t level) {
  static constexpr std::array<std::string_view, 7> prefixes = {
      "", "FATAL: ", "ERROR: ", "WARNING: ", "INFO: ", "DEBUG: ", "VERBOSE: "};
  return level < prefixes.size() ? prefixes[level] : std::string_view{};
}

void writeLogLine(std::uint32_t level, std::string_view message) {
  const std::string_view prefix = logPrefix(level);
  if (level <= g_logLevel.load()) {
    std::string line;
    line.reserve(prefix.size() + message.size());
    line.append(prefix).append(message);
    platform::foundation::console::log_line(line);
  }
  if (level <= g_visualLevel.load()) {
    RerAvirorDialogController::sharedInstance()->presentDialogWithTitle(
        std::string(prefix), std::string(message), std::nullopt,
        platform::os::Bundle::main().localized_string("Close", "", "Localizable"), nullptr);
  }
}

void setLogThresholds(std::uint32_t logLevel, std::uint32_t visualLevel) {
  g_logLevel = logLevel;
  g_visualLevel = visualLevel;
}

std::uint32_t consoleLogLevel() { return g_logLevel.load(); }
std::uint32_t visualLogLevel() { return g_visualLevel.load(); }

}  // namespace push
