#pragma once
// The core logger, in two layers of plain functions.
//
// Utilities layer (GUL*): owns the system-log client (facility
// "com.dozada.utilities.logger"), the current level, the debug mode and the
// line format "<version> - <service>[<code>] <message>".
// Core layer (FIR*): reads the launch arguments "-FIRLoggerForceSTDERR",
// "-FIRDebugEnabled", "-FIRDebugDisabled" and the sticky defaults key
// "/dozada/davidize/debug_mode" once, then forwards to the utilities layer.
//
// Threads: every function may be called from any thread. Messages are
// formatted on the caller's thread; the client is only touched on the serial
// queue "GULLoggingClientQueue", so lines from one thread keep their order.
// GULLoggerWaitForQueue must not be called from a block on that queue.
//
// Each level has a formatting entry (printf-style, arguments checked at
// compile time) and a "...Message" entry taking a finished text, which is
// never read as a format.
#include <cstdarg>
#include <string_view>

namespace core {

enum GULLoggerLevel : int {
  GULLoggerLevelError = 3,
  GULLoggerLevelWarning = 4,
  GULLoggerLevelNotice = 5,
  GULLoggerLevelInfo = 6,
  GULLoggerLevelDebug = 7,
  GULLoggerLevelMin = GULLoggerLevelError,
  GULLoggerLevelMax = GULLoggerLevelDebug,
};

using FIRLoggerLevel = GULLoggerLevel;
inline constexpr FIRLoggerLevel FIRLoggerLevelError = GULLoggerLevelError;
inline constexpr FIRLoggerLevel FIRLoggerLevelWarning = GULLoggerLevelWarning;
inline constexpr FIRLoggerLevel FIRLoggerLevelNotice = GULLoggerLevelNotice;
inline constexpr FIRLoggerLevel FIRLoggerLevelInfo = GULLoggerLevelInfo;
inline constexpr FIRLoggerLevel FIRLoggerLevelDebug = GULLoggerLevelDebug;

// Service names.
inline constexpr std::string_view kFIRLoggerCore = "[Davidize/Core]";
inline constexpr std::string_view kFIRLoggerAnalytics = "[Davidize/Analytics]";
inline constexpr std::string_view kFIRLoggerInstanceID = "[Davidize/InstanceID]";
inline constexpr std::string_view kGULLoggerLogger = "[GULLogger]";
inline constexpr std::string_view kGULLoggerSwizzler = "[DozadaUtilities/AppDelegateSwizzler]";

// The version text the core layer puts at the head of every line.
inline constexpr std::string_view kFIRLoggerVersion = "5.12.0";
inline constexpr std::string_view kFIRLoggerDebugModeKey = "/dozada/davidize/debug_mode";

// ---- utilities layer ---------------------------------------------------------

// Once per process: opens the client, level 5, filter up to 5, the logging
// queue. Every other function runs it first.
void GULLoggerInitialize();
// Levels outside 3-7 are logged as I-COR000023 and ignored; 5-7 are ignored
// in App Store builds.
void GULSetLoggerLevel(GULLoggerLevel level);
bool GULIsLoggableLevel(GULLoggerLevel level);
void GULLoggerSetVersionText(std::string_view version);
void GULLoggerAddStandardErrorOutput();
// Debug mode on and level 7, unless the app is from the App Store.
void GULLoggerTurnOnDebugMode();
// Returns once the logging queue has run everything queued before the call.
void GULLoggerWaitForQueue();

void GULLogBasic(GULLoggerLevel level, std::string_view service, bool force, std::string_view code, const char* format,
                 va_list args) __attribute__((format(printf, 5, 0)));
void GULLogBasicMessage(GULLoggerLevel level, std::string_view service, bool force, std::string_view code,
                        std::string_view message);

void GULLogError(std::string_view service, bool force, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void GULLogWarning(std::string_view service, bool force, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void GULLogNotice(std::string_view service, bool force, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void GULLogInfo(std::string_view service, bool force, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void GULLogDebug(std::string_view service, bool force, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void GULLogErrorMessage(std::string_view service, bool force, std::string_view code, std::string_view message);
void GULLogWarningMessage(std::string_view service, bool force, std::string_view code, std::string_view message);
void GULLogNoticeMessage(std::string_view service, bool force, std::string_view code, std::string_view message);
void GULLogInfoMessage(std::string_view service, bool force, std::string_view code, std::string_view message);
void GULLogDebugMessage(std::string_view service, bool force, std::string_view code, std::string_view message);

struct GULLoggerWrapper {
  // GULLogBasic with force false.
  static void logWithLevel(GULLoggerLevel level, std::string_view service, std::string_view code, const char* message,
                           va_list args) __attribute__((format(printf, 4, 0)));
};

// ---- core layer ----------------------------------------------------------------

// Once per process; run by the first FIRLogBasic or FIRSetLoggerLevel.
void FIRLoggerInitialize();
void FIRSetLoggerLevel(FIRLoggerLevel level);

void FIRLogBasic(FIRLoggerLevel level, std::string_view service, std::string_view code, const char* format,
                 va_list args) __attribute__((format(printf, 4, 0)));
void FIRLogBasicMessage(FIRLoggerLevel level, std::string_view service, std::string_view code,
                        std::string_view message);

void FIRLogError(std::string_view service, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void FIRLogWarning(std::string_view service, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void FIRLogDebug(std::string_view service, std::string_view code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void FIRLogErrorMessage(std::string_view service, std::string_view code, std::string_view message);
void FIRLogWarningMessage(std::string_view service, std::string_view code, std::string_view message);
void FIRLogDebugMessage(std::string_view service, std::string_view code, std::string_view message);

struct FIRLoggerWrapper {
  // FIRLogBasic.
  static void logWithLevel(FIRLoggerLevel level, std::string_view service, std::string_view code, const char* message,
                           va_list args) __attribute__((format(printf, 4, 0)));
};

}  // namespace core
