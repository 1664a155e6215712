// The analytics monitor: levels, console text, context encoding, monitoring
// keys, debug mode and the stored monitoring data.
#include "analytics/monitor/monitor.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "analytics/support/errors.h"
#include "analytics/support/log_codes.h"
#include "core/logger.h"
#include "platform/os/process_info.h"

namespace analytics {

namespace fd = platform::foundation;
using platform::dispatch::Qos;
using platform::dispatch::Queue;

namespace {

struct LevelRow {
  const char* name;  // nullptr: no name
  int coreLevel;
  bool silent;
  bool monitorable;
  char keyLetter;
};

constexpr LevelRow kLevels[] = {
    {"ERROR", 3, false, false, 'E'},   {"ERROR", 3, false, true, 'E'},   {"ERROR", 3, true, true, 'E'},
    {"WARNING", 4, false, false, 'W'}, {"WARNING", 4, false, true, 'W'}, {"WARNING", 4, true, true, 'W'},
    {"NOTICE", 5, false, false, '?'},  {"DEBUG", 7, false, false, '?'},
};
constexpr LevelRow kOtherLevel = {nullptr, 4, true, true, '?'};

const LevelRow& rowFor(std::int64_t level) {
  return level >= 0 && level < static_cast<std::int64_t>(std::size(kLevels)) ? kLevels[level] : kOtherLevel;
}

std::mutex& observerMutex() {
  static std::mutex mutex;
  return mutex;
}
APMMonitor::TestObserver& observer() {
  static APMMonitor::TestObserver fn;
  return fn;
}

// Encodes a number by its order of magnitude: below 100 as it is, otherwise as
// the range of numbers with as many digits ("100...999", "-999...-100").
// Computed on magnitudes in 64 unsigned bits; a bound past the signed range
// saturates.
std::string encodeNumber(std::int64_t v) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::uint64_t magnitude = v < 0 ? static_cast<std::uint64_t>(-(v + 1)) + 1 : static_cast<std::uint64_t>(v);
  if (magnitude < 100) return std::to_string(v);
  std::uint64_t p = 1;
  while (p <= magnitude / 10) p *= 10;  // the largest power of ten <= magnitude (at most 10^18)
  const std::uint64_t top = p * 10 - 1;   // fits: 10^19 - 1 < 2^64
  if (v > 0) return std::to_string(p) + "..." + std::to_string(top > kMax ? kMax : top);
  const std::int64_t low = top > kMax ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(top);
  return std::to_string(low) + "..." + std::to_string(-static_cast<std::int64_t>(p));
}

bool containsAPM(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  return upper.find("APM") != std::string::npos;
}

std::shared_ptr<fd::Exception> exceptionFromContext(const fd::Value& context) {
  return context.object<fd::Exception>();
}

bool hasArgument(const std::vector<std::string>& arguments, std::initializer_list<std::string_view> names) {
  return std::any_of(arguments.begin(), arguments.end(), [&](const std::string& a) {
    return std::find(names.begin(), names.end(), a) != names.end();
  });
}

}  // namespace

fd::Value APMExceptionContext(const fd::Exception& exception) {
  return fd::Value::object(std::make_shared<fd::Exception>(exception));
}

// ---- APMASLLogger -----------------------------------------------------------

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                              std::int64_t logLevel) {
  core::GULLogBasicMessage(static_cast<core::GULLoggerLevel>(GULLoggerLevelFromLogLevel(logLevel)), logTag,
                           logLevel == 7, apmMessageCode(messageCode), message);
}

int APMASLLogger::GULLoggerLevelFromLogLevel(std::int64_t logLevel) { return rowFor(logLevel).coreLevel; }

// ---- APMMonitor: creation ---------------------------------------------------

APMMonitor::APMMonitor(std::int64_t libraryVersion)
    : APMMonitor(6, std::make_shared<APMASLLogger>(), libraryVersion) {}

APMMonitor::APMMonitor(std::int64_t logLevel, std::shared_ptr<APMLogging> logger, std::int64_t libraryVersion)
    : logLevel_(logLevel),
      logger_(std::move(logger)),
      monitorQueue_(Queue::serial("APMMonitorQueue", Queue::global(Qos::background))),
      libraryVersion_(libraryVersion),
      monitorUserDefaults_(std::make_unique<APMUserDefaults>(kMonitorSuiteName)) {
  monitorQueue_.sync([this] {
    migrateMonitorDataOnMonitorQueue();
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
  decideDebugModeAtCreation();
}

APMMonitor::~APMMonitor() { waitForQueue(); }

void APMMonitor::waitForQueue() const {
  monitorQueue_.sync([] {});
}

void APMMonitor::decideDebugModeAtCreation() {
  const auto& arguments = platform::os::ProcessInfo::shared().arguments();
  if (hasArgument(arguments, {"-noAPMAnalyticsDebugEnabled", "-noDAVIdovivoveDebugEnabled", "-FIRDebugDisabled"})) {
    setDebugModeEnabled(false);
  } else if (APMUserDefaults::standardUserDefaults().boolForKey(kDebugModeKey)) {
    setDebugModeEnabled(true);
  } else if (hasArgument(arguments, {"-APMAnalyticsDebugEnabled", "-DAVIdovivoveDebugEnabled", "-FIRDebugEnabled"})) {
    setDebugModeEnabled(true);
  }
}

// ---- APMMonitor: logging ----------------------------------------------------

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message) {
  logWithLevel(level, messageCode, message, fd::Array{});
}

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                              const fd::Value& context) {
  logWithLevel(level, messageCode, message, fd::Array{context});
}

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                              const fd::Value& context1, const fd::Value& context2) {
  logWithLevel(level, messageCode, message, fd::Array{context1, context2});
}

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                              const fd::Value& context1, const fd::Value& context2, const fd::Value& context3) {
  logWithLevel(level, messageCode, message, fd::Array{context1, context2, context3});
}

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, APMMessage message,
                              const fd::Array& contexts) {
  {
    TestObserver current;
    {
      std::lock_guard lock(observerMutex());
      current = observer();
    }
    if (current) current(level, messageCode, message, contexts);
  }
  if (isLoggableLevel(level)) {
    logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts()), level);
  }
  if (isMonitorableLevel(level)) {
    std::string context = encodedStringWithContextArray(contexts, false);
    const std::string errorContexts = APMMonitorContextsFromErrors(contexts);
    if (!errorContexts.empty()) context += "," + errorContexts;
    std::string key = monitoringDataKeyWithMessage(message, level, libraryVersion_);
    monitorQueue_.async([this, key = std::move(key), context = std::move(context)] {
      insertOrUpdateMonitoringDataWithMessage(key, context);
    });
  }
}

bool APMMonitor::isLoggableLevel(std::int64_t level) const {
  return core::GULIsLoggableLevel(static_cast<core::GULLoggerLevel>(rowFor(level).coreLevel)) && !isSilentLevel(level);
}

void APMMonitor::logToConsole(std::int64_t messageCode, std::string message, std::int64_t level) {
  monitorQueue_.async([this, messageCode, message = std::move(message), level] {
    logger_->logMessage(message, logTag(), messageCode, level);
  });
}

void APMMonitor::insertOrUpdateMonitoringDataWithMessage(std::string key, std::string encodedContext) {
  monitoringSampledData_->insertOrUpdateSampledDataWithKey(key, encodedContext);
  saveMonitoringDataToUserDefaultsOnMonitorQueue();
  synchronizeToDiskOnMonitorQueue();
}

// ---- APMMonitor: control ----------------------------------------------------

void APMMonitor::setDebugModeEnabled(bool enabled) {
  auto& standard = APMUserDefaults::standardUserDefaults();
  if (enabled) {
    logLevel_.store(7);
    core::GULSetLoggerLevel(core::GULLoggerLevelDebug);
    standard.setBool(true, kDebugModeKey);
    logWithLevel(7, 24000, "Debug mode is on");
  } else {
    logLevel_.store(6);
    core::GULSetLoggerLevel(core::GULLoggerLevelNotice);
    standard.removeObjectForKey(kDebugModeKey);
    logWithLevel(7, 24001, "Debug mode is off");
  }
  debugModeEnabled_.store(enabled);
}

void APMMonitor::setLogTag(std::string_view tag) {
  std::lock_guard lock(logTagMutex_);
  logTag_ = tag;
}

std::string APMMonitor::logTag() const {
  std::lock_guard lock(logTagMutex_);
  return logTag_;
}

// ---- APMMonitor: monitoring data --------------------------------------------

std::optional<std::string> APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                                 double lastSampledTimestamp) {
  std::optional<std::string> result;
  monitorQueue_.sync([&] {
    result = monitoringSampledData_->monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
    if (result) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
  return result;
}

void APMMonitor::clearMonitoringData() {
  monitorQueue_.sync([this] {
    auto& standard = APMUserDefaults::standardUserDefaults();
    standard.removeObjectForKey(kDebugModeKey);
    standard.removeObjectForKey(kHealthMonitorKey);
    monitorUserDefaults_->removeObjectForKey(kHealthMonitorKey);
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
}

void APMMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  monitoringSampledData_ = std::make_unique<APMMonitoringSampledData>(
      monitorUserDefaults_->arrayForKey(kHealthMonitorKey).value_or(fd::Value()));
}

void APMMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  auto entry = monitoringSampledData_->sampledData();
  monitorUserDefaults_->setObject(entry ? std::optional<fd::Value>(fd::Value(std::move(*entry))) : std::nullopt,
                                  kHealthMonitorKey);
}

void APMMonitor::synchronizeToDiskOnMonitorQueue() { monitorUserDefaults_->synchronize(); }

void APMMonitor::migrateMonitorDataOnMonitorQueue() {
  auto& standard = APMUserDefaults::standardUserDefaults();
  auto& suite = *monitorUserDefaults_;
  std::int64_t state = suite.integerForKey(kMigrationStateKey);
  if (state == 0) {
    auto old = standard.objectForKey(kHealthMonitorKey);
    if (old && old->is_array() && !suite.objectForKey(kHealthMonitorKey)) suite.setObject(std::move(old), kHealthMonitorKey);
    suite.setInteger(1, kMigrationStateKey);
    suite.synchronize();
    state = 1;
  }
  if (state == 1) {
    standard.removeObjectForKey(kHealthMonitorKey);
    standard.synchronize();
    suite.setInteger(2, kMigrationStateKey);
    suite.synchronize();
  }
}

// ---- class methods ----------------------------------------------------------

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(std::int64_t level) {
  const char* name = rowFor(level).name;
  return name ? std::optional<std::string>(name) : std::nullopt;
}

bool APMMonitor::isSilentLevel(std::int64_t level) { return rowFor(level).silent; }

bool APMMonitor::isMonitorableLevel(std::int64_t level) { return rowFor(level).monitorable; }

bool APMMonitor::usesContextsAtLevel(std::int64_t level) const {
  {
    std::lock_guard lock(observerMutex());
    if (observer()) return true;
  }
  return isLoggableLevel(level) || isMonitorableLevel(level);
}

std::string APMMonitor::encodedStringWithContextArray(const fd::Array& contexts, bool insertSpaces) {
  std::string joined;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i) joined += insertSpaces ? ", " : ",";
    joined += encodedStringWithContextObject(contexts[i]);
  }
  return joined;
}

std::string APMMonitor::encodedStringWithContextObject(const fd::Value& context) {
  if (context.is_null()) return "";
  if (context.is_string()) return "-";
  if (context.is_number()) return encodeNumber(context.as_int().value_or(0));
  if (auto exception = exceptionFromContext(context)) return lastAPMSymbolFromException(exception.get()).value_or("-");
  if (auto error = APMErrorFromContext(context)) return error->domain.empty() ? "-" : error->domain;
  return "?";
}

std::string APMMonitor::stringWithLogMessage(APMMessage message, std::int64_t /*logLevel*/, const fd::Array& contexts,
                                             bool encodeContexts) {
  std::string text = !message ? "(Message was nil)" : message->empty() ? "(Message was empty)" : std::string(*message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i) text += ", ";
    const fd::Value& context = contexts[i];
    if (context.is_null()) {
      text += "(nil)";
    } else if (auto exception = exceptionFromContext(context)) {
      // An exception's description is its reason.
      text += lastAPMSymbolFromException(exception.get()).value_or("") + ": " + exception->reason;
    } else {
      text += fd::describe(context);
    }
  }
  return text;
}

std::optional<std::string> APMMonitor::lastAPMSymbolFromException(const fd::Exception* exception) {
  if (!exception) return std::nullopt;
  return lastAPMSymbolFromCallStack(exception->name, {});
}

std::string APMMonitor::lastAPMSymbolFromCallStack(std::string_view name, const std::vector<std::string>& lines) {
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::vector<std::string_view> parts;
    std::string_view line = lines[i];
    for (std::size_t pos = 0; pos < line.size();) {
      while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
      std::size_t end = pos;
      while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
      if (end > pos) parts.push_back(line.substr(pos, end - pos));
      pos = end;
    }
    if (parts.size() <= 4) continue;
    std::string candidate = parts[4] == "+" ? std::string(parts[3]) : std::string(parts[3]) + " " + std::string(parts[4]);
    if (containsAPM(candidate)) return candidate;
  }
  return std::string(name);
}

std::string APMMonitor::monitoringDataKeyWithMessage(APMMessage message, std::int64_t logLevel,
                                                     std::int64_t libraryVersion) {
  return std::string("1") + rowFor(logLevel).keyLetter + "_" + std::to_string(libraryVersion) + ":" +
         (message ? std::string(*message) : std::string("(null)"));
}

void APMMonitor::setTestObserver(TestObserver fn) {
  std::lock_guard lock(observerMutex());
  observer() = std::move(fn);
}

}  // namespace analytics
