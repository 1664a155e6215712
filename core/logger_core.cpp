// The core layer of the core logger: launch-argument and defaults switches,
// then forwarding to the utilities layer.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "core/logger.h"
#include "platform/os/preferences.h"
#include "platform/os/process_info.h"

namespace core {

namespace {

std::once_flag g_once;

bool has_argument(const std::vector<std::string>& arguments, std::string_view argument) {
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

void log_formatted(FIRLoggerLevel level, std::string_view service, std::string_view code, const char* format,
                   va_list args) __attribute__((format(printf, 4, 0)));
void log_formatted(FIRLoggerLevel level, std::string_view service, std::string_view code, const char* format,
                   va_list args) {
  FIRLoggerInitialize();
  GULLogBasic(level, service, false, code, format, args);
}

// Whether the debug-mode switches ask for debug mode; keeps the stored key in step.
bool debug_mode_chosen(const std::vector<std::string>& arguments) {
  platform::os::UserDefaults& defaults = platform::os::UserDefaults::standard();
  const bool stored = defaults.boolean(kFIRLoggerDebugModeKey);
  if (has_argument(arguments, "-FIRDebugDisabled")) {
    defaults.remove(kFIRLoggerDebugModeKey);
    return false;
  }
  if (!stored && !has_argument(arguments, "-FIRDebugEnabled")) return false;
  const platform::foundation::Value on(true);
  defaults.set(kFIRLoggerDebugModeKey, on);
  return true;
}

void initialize() {
  GULLoggerSetVersionText(kFIRLoggerVersion);
  const std::vector<std::string>& arguments = platform::os::ProcessInfo::shared().arguments();
  const bool force_stderr = has_argument(arguments, "-FIRLoggerForceSTDERR");
  const bool debug_mode = debug_mode_chosen(arguments);
  GULLoggerInitialize();
  if (force_stderr) GULLoggerAddStandardErrorOutput();
  if (debug_mode) GULLoggerTurnOnDebugMode();
}

}  // namespace

void FIRLoggerInitialize() { std::call_once(g_once, initialize); }

void FIRSetLoggerLevel(FIRLoggerLevel level) {
  FIRLoggerInitialize();
  GULSetLoggerLevel(level);
}

void FIRLogBasic(FIRLoggerLevel level, std::string_view service, std::string_view code, const char* format,
                 va_list args) {
  log_formatted(level, service, code, format, args);
}

void FIRLogBasicMessage(FIRLoggerLevel level, std::string_view service, std::string_view code,
                        std::string_view message) {
  FIRLoggerInitialize();
  GULLogBasicMessage(level, service, false, code, message);
}

#define CORE_FIR_LEVEL_ENTRIES(Name, Level)                                                                  \
  void FIRLog##Name(std::string_view service, std::string_view code, const char* format, ...) {          \
    va_list args;                                                                                        \
    va_start(args, format);                                                                              \
    log_formatted(Level, service, code, format, args);                                                   \
    va_end(args);                                                                                        \
  }                                                                                                      \
  void FIRLog##Name##Message(std::string_view service, std::string_view code, std::string_view message) { \
    FIRLogBasicMessage(Level, service, code, message);                                                   \
  }

CORE_FIR_LEVEL_ENTRIES(Error, FIRLoggerLevelError)
CORE_FIR_LEVEL_ENTRIES(Warning, FIRLoggerLevelWarning)
CORE_FIR_LEVEL_ENTRIES(Debug, FIRLoggerLevelDebug)

#undef CORE_FIR_LEVEL_ENTRIES

void FIRLoggerWrapper::logWithLevel(FIRLoggerLevel level, std::string_view service, std::string_view code,
                                    const char* message, va_list args) {
  log_formatted(level, service, code, message, args);
}

}  // namespace core
