// The analytics monitor: which levels print and which are counted, the console
// line, context encoding and monitoring keys, the symbol rule, debug mode, the
// migration of stored monitoring data, dispatch and clearing.
#include <limits>
#include <thread>

#include "analytics/engine/measurement.h"
#include "analytics/support/errors.h"
#include "analytics/support/log_codes.h"
#include "platform/os/file_manager.h"
#include "platform/os/preferences.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMMonitor;
using analytics::APMUserDefaults;
using analytics_test::hasLine;
using analytics_test::loggedLines;
using analytics_test::MonitorRecorder;

constexpr std::int64_t kVersion = 50300;

class AnalyticsMonitorTest : public analytics_test::AnalyticsDeviceTest {
 protected:
  // The stored sampled entry of the monitor suite.
  static std::optional<fd::Value> storedEntry() {
    return APMUserDefaults(APMMonitor::kMonitorSuiteName).objectForKey(APMMonitor::kHealthMonitorKey);
  }
  static std::int64_t population() {
    auto entry = storedEntry();
    return entry ? (*entry)[1].as_int().value_or(-1) : 0;
  }
};

TEST_F(AnalyticsMonitorTest, LevelsPrintByTheCoreLoggerAndCountByTheTable) {
  boot();
  MonitorRecorder recorder;
  APMMonitor monitor(kVersion);
  EXPECT_FALSE(monitor.isDebugModeEnabled());
  EXPECT_EQ(monitor.logLevel(), 6);

  struct State {
    const char* name;
    void (*enter)();
    std::vector<std::int64_t> printed;
  };
  const State states[] = {
      {"core level 5", [] {}, {0, 1, 3, 4, 6}},
      {"core level 7", [] { core::GULSetLoggerLevel(core::GULLoggerLevelDebug); }, {0, 1, 3, 4, 6, 7}},
      {"core debug mode at level 5",
       [] {
         core::GULLoggerTurnOnDebugMode();
         core::GULSetLoggerLevel(core::GULLoggerLevelNotice);
       },
       {0, 1, 3, 4, 6, 7}},
  };
  const std::vector<std::int64_t> counted = {1, 2, 4, 5, 8, -1};
  std::int64_t expectedPopulation = 0;
  for (std::size_t s = 0; s < std::size(states); ++s) {
    SCOPED_TRACE(states[s].name);
    states[s].enter();
    recorder.clear();
    for (std::int64_t level : {0, 1, 2, 3, 4, 5, 6, 7, 8, -1}) {
      SCOPED_TRACE(level);
      const std::int64_t code = 1000 * (level + 2) + static_cast<std::int64_t>(s);
      const std::string message = "state " + std::to_string(s) + " level " + std::to_string(level);
      monitor.logWithLevel(level, code, message);
      monitor.waitForQueue();
      const bool isCounted = std::find(counted.begin(), counted.end(), level) != counted.end();
      if (isCounted) ++expectedPopulation;
      EXPECT_EQ(population(), expectedPopulation);
      const bool isPrinted = std::find(states[s].printed.begin(), states[s].printed.end(), level) != states[s].printed.end();
      EXPECT_EQ(hasLine(loggedLines(), analytics::apmMessageCode(code) + "] " + message), isPrinted);
    }
    EXPECT_EQ(recorder.calls().size(), 10u);  // the observer sees every call
  }

  // Printed lines carry the level's core-logger level.
  core_test::LogRecord notice, error;
  for (const auto& record : core_test::system_log_records()) {
    if (record.message.ends_with("state 0 level 6")) notice = record;
    if (record.message.ends_with("state 0 level 1")) error = record;
  }
  EXPECT_EQ(notice.level, "Notice");
  EXPECT_EQ(error.level, "Error");
}

TEST_F(AnalyticsMonitorTest, ConsoleLinesTagsAndForcedDebugLines) {
  boot();
  MonitorRecorder recorder;
  APMMonitor monitor(kVersion);
  monitor.setDebugModeEnabled(true);
  EXPECT_TRUE(monitor.isDebugModeEnabled());
  EXPECT_EQ(monitor.logLevel(), 7);
  monitor.logWithLevel(6, 23008, "100% done %d %s %n %%");
  monitor.logWithLevel(0, 23009, "two contexts", fd::Value(), fd::Value("second"));
  monitor.setEncodeContexts(true);
  monitor.logWithLevel(0, 23010, "encoded", fd::Value(), fd::Value("second"), fd::Value(1234));
  monitor.setEncodeContexts(false);
  monitor.waitForQueue();  // the tag is read when the line is printed
  monitor.setLogTag("<Other>");
  monitor.logWithLevel(3, 23011, std::nullopt);
  monitor.logWithLevel(3, 23012, "");
  monitor.waitForQueue();

  const auto lines = loggedLines();
  EXPECT_TRUE(hasLine(lines, "<DurArudirovizo>[I-ACS024000] Debug mode is on"));
  EXPECT_TRUE(hasLine(lines, "<DurArudirovizo>[I-ACS023008] 100% done %d %s %n %%"));
  EXPECT_TRUE(hasLine(lines, "<DurArudirovizo>[I-ACS023009] two contexts: (nil), second"));
  EXPECT_TRUE(hasLine(lines, "<DurArudirovizo>[I-ACS023010] encoded: , -, 1000...9999"));
  const auto other = loggedLines("<Other>");
  EXPECT_TRUE(hasLine(other, "<Other>[I-ACS023011] (Message was nil)"));
  EXPECT_TRUE(hasLine(other, "<Other>[I-ACS023012] (Message was empty)"));

  monitor.setDebugModeEnabled(false);
  EXPECT_EQ(monitor.logLevel(), 6);
  EXPECT_FALSE(core::GULIsLoggableLevel(core::GULLoggerLevelDebug));
  monitor.waitForQueue();
  EXPECT_FALSE(hasLine(loggedLines("<Other>"), "Debug mode is off"));  // level 7 at core level 5
  EXPECT_EQ(recorder.codes().back(), 24001);

  // A level-7 line that passed the check is forced through even when the
  // core logger's level has dropped meanwhile.
  analytics::APMASLLogger().logMessage("forced 50%", "<Forced>", 7001, 7);
  const auto forced = loggedLines("<Forced>");
  ASSERT_EQ(forced.size(), 1u);
  EXPECT_EQ(forced[0], "<Forced>[I-ACS007001] forced 50%");
  EXPECT_EQ(analytics::APMASLLogger::GULLoggerLevelFromLogLevel(7), 7);
  EXPECT_EQ(analytics::APMASLLogger::GULLoggerLevelFromLogLevel(9), 4);
}

TEST(AnalyticsMonitor, LevelNamesAndFlags) {
  struct Case {
    std::int64_t level;
    std::optional<std::string> name;
    bool silent, monitorable;
  };
  const Case cases[] = {{0, "ERROR", false, false},   {1, "ERROR", false, true},    {2, "ERROR", true, true},
                        {3, "WARNING", false, false}, {4, "WARNING", false, true},  {5, "WARNING", true, true},
                        {6, "NOTICE", false, false},  {7, "DEBUG", false, false},   {8, std::nullopt, true, true},
                        {-1, std::nullopt, true, true}, {std::numeric_limits<std::int64_t>::min(), std::nullopt, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(c.level), c.name);
    EXPECT_EQ(APMMonitor::isSilentLevel(c.level), c.silent);
    EXPECT_EQ(APMMonitor::isMonitorableLevel(c.level), c.monitorable);
  }
}

TEST(AnalyticsMonitor, ContextEncoding) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    fd::Value context;
    const char* encoded;
  };
  const Case cases[] = {
      {fd::Value(), ""},
      {fd::Value("any text"), "-"},
      {fd::Value(42), "42"},
      {fd::Value(-99), "-99"},
      {fd::Value(99), "99"},
      {fd::Value(100), "100...999"},
      {fd::Value(999), "100...999"},
      {fd::Value(1234), "1000...9999"},
      {fd::Value(-150), "-999...-100"},
      {fd::Value(999999999999999), "100000000000000...999999999999999"},
      {fd::Value(150.9), "100...999"},
      {fd::Value(true), "1"},
      {fd::Value(std::int64_t{1000000000000000000}), "1000000000000000000...9223372036854775807"},
      {fd::Value(kMax), "1000000000000000000...9223372036854775807"},
      {fd::Value(-std::int64_t{1000000000000000000}), "-9223372036854775808...-1000000000000000000"},
      {fd::Value(kMin), "-9223372036854775808...-1000000000000000000"},
      {fd::Value(1e300), "1000000000000000000...9223372036854775807"},
      {analytics::APMErrorContext(analytics::apm_errorWithCode(1, "x", "ctx")), "com.dozada.ruv.measurement.ErrorDomain"},
      {analytics::APMErrorContext(fd::Error("NSPOSIXErrorDomain", 2)), "NSPOSIXErrorDomain"},
      {analytics::APMErrorContext(fd::Error("", 2)), "-"},
      {analytics::APMExceptionContext(fd::Exception("NSInvalidArgumentException", "bad")), "NSInvalidArgumentException"},
      {fd::Value(fd::Bytes{1}), "?"},
      {fd::Value(fd::Date{1}), "?"},
      {fd::Value(fd::Array{}), "?"},
      {fd::Value(fd::Dict{}), "?"},
  };
  for (const auto& c : cases) EXPECT_EQ(APMMonitor::encodedStringWithContextObject(c.context), c.encoded) << fd::describe(c.context);

  const fd::Array contexts{fd::Value(), fd::Value("s"), fd::Value(42), fd::Value(1234),
                           analytics::APMErrorContext(analytics::apm_errorWithCode(1, "x"))};
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray(contexts, false),
            ",-,42,1000...9999,com.dozada.ruv.measurement.ErrorDomain");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray(contexts, true),
            ", -, 42, 1000...9999, com.dozada.ruv.measurement.ErrorDomain");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({}, true), "");
}

TEST(AnalyticsMonitor, ConsoleTextAndMonitoringKey) {
  const fd::Exception exception("NSRangeException", "index 5 beyond bounds");
  struct Case {
    analytics::APMMessage message;
    fd::Array contexts;
    bool encode;
    const char* text;
  };
  const Case cases[] = {
      {"plain", {}, false, "plain"},
      {std::nullopt, {}, false, "(Message was nil)"},
      {"", {fd::Value(1)}, false, "(Message was empty): 1"},
      {"m", {fd::Value(), fd::Value("second")}, false, "m: (nil), second"},
      {"m", {fd::Value(), fd::Value("second")}, true, "m: , -"},
      {"m", {fd::Value(2.5), fd::Value(fd::Array{fd::Value(1)})}, false, "m: 2.5, (\n    1\n)"},
      {"m", {analytics::APMExceptionContext(exception)}, false, "m: NSRangeException: index 5 beyond bounds"},
      {"m", {analytics::APMErrorContext(fd::Error("D", 3))}, false,
       "m: Error Domain=D Code=3 \"The operation couldn’t be completed. (D error 3.)\" UserInfo={\n}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMMonitor::stringWithLogMessage(c.message, 1, c.contexts, c.encode), c.text) << c.text;
  }

  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("Open failed", 1, kVersion), "1E_50300:Open failed");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("w: x", 5, 5), "1W_5:w: x");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage(std::nullopt, 8, kVersion), "1?_50300:(null)");
}

TEST(AnalyticsMonitor, SymbolRuleOverCallStackLines) {
  const std::string thrower = "0   CoreFoundation   0x0000000180a1b2c3 __exceptionPreprocess + 228";
  const std::string objc = "1   libobjc.A.dylib  0x0000000180a1b2c4 objc_exception_throw + 56";
  struct Case {
    std::vector<std::string> lines;
    const char* symbol;
  };
  const Case cases[] = {
      {{}, "Name"},
      {{"0 App 0x1 -[APMStore open:] + 1", "1 App 0x2 -[APMStore open:] + 1"}, "Name"},  // two lines at most
      {{thrower, objc, "2   App   0x0000000100abc123 -[APMSqliteStore openDatabase:] + 120",
        "3   App   0x0000000100abc124 APMOther + 4"},
       "-[APMSqliteStore openDatabase:]"},
      {{thrower, objc, "2 App 0x3 main + 1", "3 App 0x4 apmHelper + 12"}, "apmHelper"},   // any case, C function
      {{thrower, objc, "2\tApp  \t 0x3   APMRun   +   5"}, "APMRun"},
      {{thrower, objc, "2 App -[APMX y]", "3 App 0x4 -[Foo bar] + 1"}, "Name"},          // four parts: skipped
      {{"0 App 0x1 APMFirst + 1", "1 App 0x2 APMSecond + 1", "2 App 0x3 main + 1"}, "Name"},
      {{thrower, objc, "2 App 0x3 +[APMMeasurement monitor] + 8"}, "+[APMMeasurement monitor]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMMonitor::lastAPMSymbolFromCallStack("Name", c.lines), c.symbol) << c.symbol;
  }
  EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(nullptr), std::nullopt);
  const fd::Exception exception("FABException", "missing key");
  EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(&exception), "FABException");
}

TEST_F(AnalyticsMonitorTest, MonitorableMessagesStoreTheirContextAndKey) {
  boot();
  auto clock = platform::testing::ManualClock::install();
  APMMonitor monitor(kVersion);
  const auto analyticsError = analytics::APMErrorContext(analytics::apm_errorWithCode(3, "step failed", "sqlite:5"));
  const auto plainError = analytics::APMErrorContext(analytics::apm_errorWithCode(3, "step failed"));
  const auto posixError = analytics::APMErrorContext(fd::Error("NSPOSIXErrorDomain", 2));
  struct Case {
    std::int64_t level;
    analytics::APMMessage message;
    fd::Array contexts;
    const char* context;
    const char* key;
  };
  const Case cases[] = {
      {1, "Open failed", {fd::Value(), fd::Value("path"), analyticsError},
       ",-,com.dozada.ruv.measurement.ErrorDomain,sqlite:5", "1E_50300:Open failed"},
      {2, "Two", {analyticsError, analyticsError}, "com.dozada.ruv.measurement.ErrorDomain,com.dozada.ruv.measurement.ErrorDomain,sqlite:5,sqlite:5", "1E_50300:Two"},
      {4, "Write failed", {posixError, fd::Value(1234)}, "NSPOSIXErrorDomain,1000...9999", "1W_50300:Write failed"},
      {5, "Plain error", {plainError}, "com.dozada.ruv.measurement.ErrorDomain", "1W_50300:Plain error"},
      {5, "", {}, "", "1W_50300:"},
      {8, std::nullopt, {fd::Value(42)}, "42", "1?_50300:(null)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    monitor.logWithLevel(c.level, 1000, c.message, c.contexts);
    monitor.waitForQueue();
    auto entry = storedEntry();
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)[0], fd::Value(c.context));
    EXPECT_EQ((*entry)[1], fd::Value(1));
    EXPECT_EQ((*entry)[2], fd::Value(c.key));
    EXPECT_TRUE((*entry)[3].is_date());
    // The suite was written at once (the manual clock keeps the platform's own flush away).
    auto file = platform::os::FileManager::shared().read(
        platform::os::Preferences::shared().file_for_domain(APMMonitor::kMonitorSuiteName));
    ASSERT_TRUE(file.has_value());
    EXPECT_NE(fd::to_string(*file).find(c.key), std::string::npos);

    // Young: nothing to send. A whole period later: the parameter, and the entry is gone.
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(60, 0), std::nullopt);
    clock->advance(std::chrono::seconds(61));
    const std::string expected = std::string("1:") + c.key + (*c.context ? std::string(":") + c.context : "");
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(60, 0), expected);
    EXPECT_EQ(storedEntry(), std::nullopt);
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(60, clock->now_since_1970() - 61), "0:");
  }
}

TEST_F(AnalyticsMonitorTest, MessagesFromManyThreadsAreAllCountedAndPrintedInOrder) {
  boot();
  APMMonitor monitor(kVersion);
  constexpr int kThreads = 4, kMessages = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&monitor, t] {
      for (int i = 0; i < kMessages; ++i) {
        monitor.logWithLevel(4, 1000 + t, "thread " + std::to_string(t) + " message " + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  monitor.waitForQueue();
  EXPECT_EQ(population(), kThreads * kMessages);
  const auto lines = loggedLines();
  for (int t = 0; t < kThreads; ++t) {
    int next = 0;
    const std::string prefix = "thread " + std::to_string(t) + " message ";
    for (const auto& line : lines) {
      const auto at = line.find(prefix);
      if (at == std::string::npos) continue;
      EXPECT_EQ(line.substr(at + prefix.size()), std::to_string(next));
      ++next;
    }
    EXPECT_EQ(next, kMessages);
  }
}

// ---- debug mode at creation -------------------------------------------------

struct DebugModeCase {
  const char* name;
  std::vector<std::string> arguments;
  bool remembered;      // "/dozada/measurement/debug_mode" before creation
  bool coreRemembered;  // the app core's "/dozada/davidize/debug_mode": another key
  bool on;
  std::vector<std::int64_t> codes;
};

void PrintTo(const DebugModeCase& c, std::ostream* out) { *out << c.name; }

class AnalyticsMonitorDebugModeTest : public analytics_test::AnalyticsDeviceTest,
                                      public ::testing::WithParamInterface<DebugModeCase> {};

TEST_P(AnalyticsMonitorDebugModeTest, ArgumentsAndRememberedPreference) {
  const DebugModeCase& c = GetParam();
  boot(c.arguments);
  auto& standard = APMUserDefaults::standardUserDefaults();
  if (c.remembered) standard.setBool(true, APMMonitor::kDebugModeKey);
  if (c.coreRemembered) standard.setBool(true, "/dozada/davidize/debug_mode");
  MonitorRecorder recorder;
  APMMonitor monitor(kVersion);
  EXPECT_EQ(monitor.isDebugModeEnabled(), c.on);
  EXPECT_EQ(monitor.logLevel(), c.on ? 7 : 6);
  EXPECT_EQ(core::GULIsLoggableLevel(core::GULLoggerLevelDebug), c.on);
  EXPECT_EQ(recorder.codes(), c.codes);
  // The choice is remembered, and a disabling argument forgets it.
  EXPECT_EQ(standard.objectForKey(APMMonitor::kDebugModeKey), c.on ? std::optional<fd::Value>(true) : std::nullopt);
  monitor.waitForQueue();
  EXPECT_EQ(hasLine(loggedLines(), "<DurArudirovizo>[I-ACS024000] Debug mode is on"), c.on);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AnalyticsMonitorDebugModeTest,
    ::testing::Values(
        DebugModeCase{"Nothing", {}, false, false, false, {}},
        DebugModeCase{"CoreKeyIsAnotherKey", {}, false, true, false, {}},
        DebugModeCase{"Remembered", {}, true, false, true, {24000}},
        DebugModeCase{"FIRDebugEnabled", {"-FIRDebugEnabled"}, false, false, true, {24000}},
        DebugModeCase{"APMAnalyticsDebugEnabled", {"-APMAnalyticsDebugEnabled"}, false, false, true, {24000}},
        DebugModeCase{"DAVIdovivoveDebugEnabled", {"-DAVIdovivoveDebugEnabled"}, false, false, true, {24000}},
        DebugModeCase{"DisabledWinsOverRemembered", {"-FIRDebugDisabled"}, true, false, false, {24001}},
        DebugModeCase{"DisabledWinsOverEnabled", {"-FIRDebugEnabled", "-FIRDebugDisabled"}, false, false, false, {24001}},
        DebugModeCase{"NoAPMAnalytics", {"-noAPMAnalyticsDebugEnabled"}, true, false, false, {24001}},
        DebugModeCase{"NoDAVIdovivove", {"-APMAnalyticsDebugEnabled", "-noDAVIdovivoveDebugEnabled"}, true, false, false,
                      {24001}}),
    [](const ::testing::TestParamInfo<DebugModeCase>& row) { return std::string(row.param.name); });

// ---- stored data: migration, loading, clearing --------------------------------

TEST_F(AnalyticsMonitorTest, MigrationMovesTheStoredEntryIntoTheMonitorSuite) {
  boot();
  auto& prefs = platform::os::Preferences::shared();
  const std::string app(platform::os::Preferences::current_application);
  const std::string suite(APMMonitor::kMonitorSuiteName);
  const fd::Date old{fd::Date::now().since_1970 - 3600};
  const fd::Value valid(fd::Array{fd::Value("ctx"), fd::Value(5), fd::Value("1E_50300:old"), fd::Value(old)});
  const fd::Value malformed(fd::Array{fd::Value("ctx"), fd::Value(5), fd::Value("1E_50300:old")});
  const fd::Value own(fd::Array{fd::Value(""), fd::Value(2), fd::Value("1W_50300:own"), fd::Value(old)});
  struct Case {
    const char* name;
    std::optional<std::int64_t> state;
    std::optional<fd::Value> standard, suite;
    std::optional<fd::Value> standardAfter, suiteAfter;
    std::int64_t stateAfter;
    std::optional<std::string> dispatched;
  };
  const Case cases[] = {
      {"state 0 moves", std::nullopt, valid, std::nullopt, std::nullopt, valid, 2, "5:1E_50300:old:ctx"},
      {"malformed loads empty", 0, malformed, std::nullopt, std::nullopt, malformed, 2, std::nullopt},
      {"suite keeps its own", 0, valid, own, std::nullopt, own, 2, "2:1W_50300:own"},
      {"not an array stays out", 0, fd::Value("text"), std::nullopt, std::nullopt, std::nullopt, 2, std::nullopt},
      {"state 1 only removes", 1, valid, std::nullopt, std::nullopt, std::nullopt, 2, std::nullopt},
      {"state 2 does nothing", 2, valid, std::nullopt, valid, std::nullopt, 2, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prefs.remove_domain(app);
    prefs.remove_domain(suite);
    if (c.state) prefs.set_app_value(APMMonitor::kMigrationStateKey, fd::Value(*c.state), suite);
    if (c.standard) prefs.set_app_value(APMMonitor::kHealthMonitorKey, c.standard, app);
    if (c.suite) prefs.set_app_value(APMMonitor::kHealthMonitorKey, c.suite, suite);

    APMMonitor monitor(kVersion);
    EXPECT_EQ(prefs.copy_app_value(APMMonitor::kHealthMonitorKey, app), c.standardAfter);
    EXPECT_EQ(prefs.copy_app_value(APMMonitor::kHealthMonitorKey, suite), c.suiteAfter);
    EXPECT_EQ(prefs.copy_app_value(APMMonitor::kMigrationStateKey, suite), fd::Value(c.stateAfter));
    EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(60, 0), c.dispatched);
  }
  // The migrated suite reached its file.
  auto written = platform::os::FileManager::shared().read(prefs.file_for_domain(suite));
  EXPECT_TRUE(written.has_value());
}

TEST_F(AnalyticsMonitorTest, ClearMonitoringDataEmptiesBothStores) {
  boot({"-FIRDebugEnabled"});
  APMMonitor monitor(kVersion);
  ASSERT_TRUE(monitor.isDebugModeEnabled());
  monitor.logWithLevel(1, 1000, "counted");
  monitor.waitForQueue();
  ASSERT_EQ(population(), 1);
  auto& standard = APMUserDefaults::standardUserDefaults();
  standard.setObject(fd::Value(fd::Array{fd::Value("left over")}), APMMonitor::kHealthMonitorKey);

  monitor.clearMonitoringData();
  EXPECT_EQ(standard.objectForKey(APMMonitor::kDebugModeKey), std::nullopt);
  EXPECT_EQ(standard.objectForKey(APMMonitor::kHealthMonitorKey), std::nullopt);
  EXPECT_EQ(storedEntry(), std::nullopt);
  EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(0, 0), std::nullopt);
  EXPECT_TRUE(monitor.isDebugModeEnabled());  // only the remembered choice is forgotten
  monitor.logWithLevel(1, 1000, "counted again");
  monitor.waitForQueue();
  EXPECT_EQ(population(), 1);
}

TEST_F(AnalyticsMonitorTest, SharedMonitorIsOnePerProcess) {
  boot();
  std::vector<APMMonitor*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &analytics::APMMeasurement::monitor(); });
  for (auto& thread : threads) thread.join();
  for (APMMonitor* monitor : seen) EXPECT_EQ(monitor, seen[0]);
  EXPECT_EQ(&analytics::APMMeasurement::monitor(), seen[0]);
  EXPECT_EQ(seen[0]->libraryVersion(), 50300);
  seen[0]->logWithLevel(1, 1000, "shared");
  seen[0]->waitForQueue();
  EXPECT_EQ((*storedEntry())[2], fd::Value("1E_50300:shared"));
}

}  // namespace
