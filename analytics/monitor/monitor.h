#pragma once
// The analytics monitor: every analytics class logs through one shared
// instance (APMMeasurement::monitor()) with a level 0-7, a numeric message code
// (block * 1000 + serial, printed "I-ACS%06ld") and up to three contexts. The
// monitor prints through the core logger and counts the warning and error
// levels in the sampled monitoring data.
//
// Threads: logging calls come from any thread; the level check and the text
// are done on the caller's thread, printing and every change of the monitoring
// data run on the serial queue "APMMonitorQueue". Creation, dispatch reading
// and clearing wait for that queue.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/monitor/sampled_data.h"
#include "analytics/support/user_defaults.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/value.h"

namespace analytics {

// A message text that may be absent (nil).
using APMMessage = std::optional<std::string_view>;

// Prints one monitor message.
class APMLogging {
 public:
  virtual ~APMLogging() = default;
  virtual void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                          std::int64_t logLevel) = 0;
};

// Prints through the core logger: code "I-ACS%06ld", the analytics level
// mapped onto the core logger's, forced output at level 7. The message is
// passed as text, never as a format.
class APMASLLogger : public APMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                  std::int64_t logLevel) override;
  // Core-logger level of an analytics level: 3,3,3,4,4,4,5,7; 4 for others.
  static int GULLoggerLevelFromLogLevel(std::int64_t logLevel);
};

// Contexts are values: null (nil), strings, numbers, errors (APMErrorContext),
// exceptions (APMExceptionContext); anything else encodes as "?".
platform::foundation::Value APMExceptionContext(const platform::foundation::Exception& exception);

class APMMonitor {
 public:
  static constexpr std::string_view kDefaultLogTag = "<DurArudirovizo>";
  static constexpr std::string_view kMonitorSuiteName = "com.dozada.ruv.measurement.monitor";
  static constexpr std::string_view kHealthMonitorKey = "/dozada/measurement/health_monitor";
  static constexpr std::string_view kDebugModeKey = "/dozada/measurement/debug_mode";
  static constexpr std::string_view kMigrationStateKey = "/dozada/measurement/monitor_migration_state";

  // Level 6 and a new APMASLLogger.
  explicit APMMonitor(std::int64_t libraryVersion);
  // Sets the fields, migrates and loads the monitoring data on the queue, then
  // decides debug mode from the launch arguments and the remembered preference.
  APMMonitor(std::int64_t logLevel, std::shared_ptr<APMLogging> logger, std::int64_t libraryVersion);
  // Waits for the queued work.
  ~APMMonitor();
  APMMonitor(const APMMonitor&) = delete;
  APMMonitor& operator=(const APMMonitor&) = delete;

  // Logging. A nil context is the null placeholder.
  void logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                    const platform::foundation::Value& context);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                    const platform::foundation::Value& context1, const platform::foundation::Value& context2);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                    const platform::foundation::Value& context1, const platform::foundation::Value& context2,
                    const platform::foundation::Value& context3);
  // The common path.
  void logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                            const platform::foundation::Array& contexts);

  // Debug mode: on sets the core logger to 7 and remembers it; off sets it to 5
  // and forgets it. Each logs 24000 / 24001.
  void setDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
  void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
  bool encodeContexts() const { return encodeContexts_.load(); }
  void setLogTag(std::string_view tag);
  std::string logTag() const;
  void setLogLevel(std::int64_t level) { logLevel_.store(level); }
  std::int64_t logLevel() const { return logLevel_.load(); }
  std::int64_t libraryVersion() const { return libraryVersion_; }

  // The sampled entry as a URL parameter once it is a whole period old (it is
  // then dropped and the change saved); "0:" after an empty period; else nullopt.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Forgets the debug-mode preference and every stored monitoring entry.
  void clearMonitoringData();
  // Waits until every message queued so far has been printed and counted.
  void waitForQueue() const;
  // Whether a message at `level` would use its contexts now (printed, counted
  // or seen by the test observer): costly contexts may be skipped otherwise.
  bool usesContextsAtLevel(std::int64_t level) const;

  // Class methods.
  static std::optional<std::string> logLevelDescriptionFromLogLevel(std::int64_t level);
  static bool isSilentLevel(std::int64_t level);
  static bool isMonitorableLevel(std::int64_t level);
  static std::string encodedStringWithContextArray(const platform::foundation::Array& contexts, bool insertSpaces);
  static std::string encodedStringWithContextObject(const platform::foundation::Value& context);
  static std::string stringWithLogMessage(APMMessage message, std::int64_t logLevel,
                                          const platform::foundation::Array& contexts, bool encodeContexts);
  // The analytics symbol of an exception (nullptr gives nullopt). Exceptions of
  // this platform carry return addresses only, so this is the exception's name.
  static std::optional<std::string> lastAPMSymbolFromException(const platform::foundation::Exception* exception);
  // The rule over an exception's name and its call-stack symbol lines.
  static std::string lastAPMSymbolFromCallStack(std::string_view name, const std::vector<std::string>& lines);
  static std::string monitoringDataKeyWithMessage(APMMessage message, std::int64_t logLevel,
                                                  std::int64_t libraryVersion);

  // Tests: called with level, code, message and contexts at the start of every
  // log call of any monitor. An empty function clears it.
  using TestObserver = std::function<void(std::int64_t level, std::int64_t messageCode, APMMessage message,
                                          const platform::foundation::Array& contexts)>;
  static void setTestObserver(TestObserver observer);

 private:
  bool isLoggableLevel(std::int64_t level) const;
  void logToConsole(std::int64_t messageCode, std::string message, std::int64_t level);
  void insertOrUpdateMonitoringDataWithMessage(std::string key, std::string encodedContext);
  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();
  void migrateMonitorDataOnMonitorQueue();
  void synchronizeToDiskOnMonitorQueue();
  void decideDebugModeAtCreation();

  std::atomic<std::int64_t> logLevel_;
  std::shared_ptr<APMLogging> logger_;
  std::unique_ptr<APMMonitoringSampledData> monitoringSampledData_;  // on the queue only
  platform::dispatch::Queue monitorQueue_;
  const std::int64_t libraryVersion_;
  std::unique_ptr<APMUserDefaults> monitorUserDefaults_;
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  mutable std::mutex logTagMutex_;
  std::string logTag_{kDefaultLogTag};
};

}  // namespace analytics
