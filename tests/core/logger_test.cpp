// The core logger: line format, levels, App Store limits, switches from
// launch arguments and defaults, the standard-error echo. Each test runs in
// its own process, so each meets an uninitialised logger.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/logger.h"
#include "platform/os/preferences.h"
#include "tests/core/fixture.h"

namespace {

using core_test::LogRecord;
using core_test::system_log_records;
using namespace core;

class CoreLoggerTest : public core_test::CoreDeviceTest {
 protected:
  void boot_with(std::vector<std::string> arguments, std::string distribution = "development",
                 std::string system_version = "13.5") {
    boot([&](platform::os::DeviceProfile& p) {
      p.launch_arguments = std::move(arguments);
      p.distribution = std::move(distribution);
      p.system_version = std::move(system_version);
    });
  }
  static std::vector<LogRecord> records() {
    GULLoggerWaitForQueue();
    return system_log_records();
  }
  static bool has_message(const std::vector<LogRecord>& records, const std::string& text) {
    for (const LogRecord& r : records) {
      if (r.message.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(CoreLoggerTest, DebugLineHasVersionServiceCodeAndLevel) {
  boot_with({"-FIRDebugEnabled"});
  FIRLogDebug(kFIRLoggerCore, "I-COR000001", "Configuring the default app.");
  const auto rs = records();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].level, "Debug");
  EXPECT_EQ(rs[0].message, "5.12.0 - [Davidize/Core][I-COR000001] Configuring the default app.");
}

TEST_F(CoreLoggerTest, UtilitiesLineBeforeCoreInitialisationHasEmptyVersion) {
  boot_with({});
  GULLogError("[DozadaUtilities/Network]", false, "I-NET000001", "Code %d, %s", 42, "text");
  FIRLogError(kFIRLoggerCore, "I-COR000002", "after");
  const auto rs = records();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].message, " - [DozadaUtilities/Network][I-NET000001] Code 42, text");
  EXPECT_EQ(rs[0].level, "Error");
  EXPECT_EQ(rs[1].message, "5.12.0 - [Davidize/Core][I-COR000002] after");
}

TEST_F(CoreLoggerTest, PreformattedMessageIsNeverReadAsFormat) {
  boot_with({});
  FIRLogErrorMessage(kFIRLoggerCore, "I-COR000003", "100% %s %n done");
  GULLogWarningMessage(kGULLoggerLogger, false, "I-COR000004", "%d%%");
  const auto rs = records();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].message, "5.12.0 - [Davidize/Core][I-COR000003] 100% %s %n done");
  EXPECT_EQ(rs[1].message, "5.12.0 - [GULLogger][I-COR000004] %d%%");
}

TEST_F(CoreLoggerTest, InvalidLevelsAreReportedAndChangeNothing) {
  boot_with({});
  for (int level : {2, 8}) {
    SCOPED_TRACE(level);
    GULSetLoggerLevel(static_cast<GULLoggerLevel>(level));
    EXPECT_TRUE(GULIsLoggableLevel(GULLoggerLevelNotice));
    EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelInfo));
  }
  const auto rs = records();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].message, " - [GULLogger][I-COR000023] Invalid logger level, 2");
  EXPECT_EQ(rs[1].message, " - [GULLogger][I-COR000023] Invalid logger level, 8");
  EXPECT_EQ(rs[0].level, "Error");
}

TEST_F(CoreLoggerTest, DebugLineNeedsDebugLevelOrForce) {
  boot_with({});
  GULLogDebug(kGULLoggerLogger, false, "I-COR000010", "suppressed");
  GULLogInfo(kGULLoggerLogger, false, "I-COR000011", "suppressed");
  GULLogDebug(kGULLoggerLogger, true, "I-COR000012", "forced");
  GULLogNotice(kGULLoggerLogger, false, "I-COR000013", "notice");
  const auto rs = records();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].message, " - [GULLogger][I-COR000012] forced");
  EXPECT_EQ(rs[0].level, "Debug");
  EXPECT_EQ(rs[1].level, "Notice");

  // After a forced line the filter is back: plain debug lines stay out.
  GULLogDebug(kGULLoggerLogger, false, "I-COR000014", "still suppressed");
  EXPECT_EQ(records().size(), 2u);
}

TEST_F(CoreLoggerTest, RaisedLevelLetsDebugLinesThrough) {
  boot_with({});
  GULSetLoggerLevel(GULLoggerLevelDebug);
  GULLogDebug(kGULLoggerLogger, false, "I-COR000015", "visible");
  GULSetLoggerLevel(GULLoggerLevelError);
  EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelWarning));
  GULLogWarning(kGULLoggerLogger, false, "I-COR000016", "hidden");
  const auto rs = records();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].message, " - [GULLogger][I-COR000015] visible");
}

TEST_F(CoreLoggerTest, AppStoreBuildRefusesNoticeAndAbove) {
  boot_with({}, "app_store");
  FIRSetLoggerLevel(FIRLoggerLevelDebug);
  EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelDebug));
  FIRLogDebug(kFIRLoggerCore, "I-COR000020", "suppressed");
  FIRSetLoggerLevel(FIRLoggerLevelWarning);
  EXPECT_TRUE(GULIsLoggableLevel(GULLoggerLevelWarning));
  EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelNotice));
  FIRSetLoggerLevel(FIRLoggerLevelError);
  EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelWarning));
  FIRLogError(kFIRLoggerCore, "I-COR000021", "error");
  const auto rs = records();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].message, "5.12.0 - [Davidize/Core][I-COR000021] error");
}

TEST_F(CoreLoggerTest, SuppressedMessageIsNeverFormatted) {
  boot_with({});
  // %n stores how far formatting got: it stays untouched when nothing is formatted.
  int written = -1;
  GULLogDebug(kGULLoggerLogger, false, "I-COR000030", "abc%n", &written);
  FIRLogDebug(kFIRLoggerCore, "I-COR000031", "abc%n", &written);
  EXPECT_EQ(written, -1);
  GULLogError(kGULLoggerLogger, false, "I-COR000032", "abc%n", &written);
  EXPECT_EQ(written, 3);
}

TEST_F(CoreLoggerTest, WrappersFormatTheirArgumentList) {
  boot_with({});
  struct Call {
    static void gul(const char* format, ...) __attribute__((format(printf, 1, 2))) {
      va_list args;
      va_start(args, format);
      GULLoggerWrapper::logWithLevel(GULLoggerLevelError, kGULLoggerLogger, "I-COR000040", format, args);
      va_end(args);
    }
    static void fir(const char* format, ...) __attribute__((format(printf, 1, 2))) {
      va_list args;
      va_start(args, format);
      FIRLoggerWrapper::logWithLevel(FIRLoggerLevelWarning, kFIRLoggerInstanceID, "I-IID000001", format, args);
      va_end(args);
    }
  };
  Call::gul("value %ld", 7L);
  Call::fir("name %s", "x");
  const auto rs = records();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].message, " - [GULLogger][I-COR000040] value 7");
  EXPECT_EQ(rs[1].message, "5.12.0 - [Davidize/InstanceID][I-IID000001] name x");
}

// ---- switches ---------------------------------------------------------------

struct SwitchCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string distribution;
  bool stored_before;   // the defaults already hold the key
  bool debug_mode;      // a plain debug line is written
  std::optional<bool> stored_after;  // nullopt: the key is absent
  friend void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }
};

class CoreLoggerSwitchTest : public CoreLoggerTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(CoreLoggerSwitchTest, DebugModeFollowsArgumentsAndStoredKey) {
  const SwitchCase& c = GetParam();
  boot_with(c.arguments, c.distribution);
  auto& defaults = platform::os::UserDefaults::standard();
  if (c.stored_before) {
    const platform::foundation::Value on(true);
    defaults.set(kFIRLoggerDebugModeKey, on);
  }

  FIRLogDebug(kFIRLoggerCore, "I-COR000050", "debug line");
  EXPECT_EQ(has_message(records(), "debug line"), c.debug_mode);
  EXPECT_EQ(GULIsLoggableLevel(GULLoggerLevelDebug), c.debug_mode);
  auto stored = defaults.object(kFIRLoggerDebugModeKey);
  if (c.stored_after) {
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->as_bool(), c.stored_after);
  } else {
    EXPECT_FALSE(stored);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CoreLoggerSwitchTest,
    ::testing::Values(SwitchCase{"NoArguments", {}, "development", false, false, std::nullopt},
                      SwitchCase{"EnabledStoresKey", {"-FIRDebugEnabled"}, "development", false, true, true},
                      SwitchCase{"StoredKeyAlone", {}, "development", true, true, true},
                      SwitchCase{"DisabledWinsAndRemovesKey",
                                 {"-FIRDebugEnabled", "-FIRDebugDisabled"}, "development", true, false, std::nullopt},
                      SwitchCase{"AppStoreStaysOut", {"-FIRDebugEnabled"}, "app_store", false, false, true}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// ---- standard error ----------------------------------------------------------

struct EchoCase {
  const char* name;
  std::string system_version;
  std::vector<std::string> arguments;
  bool echoed;
  friend void PrintTo(const EchoCase& c, std::ostream* os) { *os << c.name; }
};

class CoreLoggerEchoTest : public CoreLoggerTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(CoreLoggerEchoTest, StandardErrorEchoFollowsVersionAndForceArgument) {
  const EchoCase& c = GetParam();
  boot_with(c.arguments, "development", c.system_version);

  // The echo writes raw to descriptor 2, so descriptor 2 goes to a file meanwhile.
  std::string path = (device().root() / "stderr.txt").string();
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  int saved = ::dup(2);
  ::dup2(file, 2);
  FIRLogError(kFIRLoggerCore, "I-COR000060", "echo check");
  GULLoggerWaitForQueue();
  ::dup2(saved, 2);
  ::close(saved);
  ::close(file);

  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().find("[Davidize/Core][I-COR000060] echo check") != std::string::npos, c.echoed) << text.str();
  EXPECT_TRUE(has_message(system_log_records(), "echo check"));
}

INSTANTIATE_TEST_SUITE_P(Cases, CoreLoggerEchoTest,
                         ::testing::Values(EchoCase{"Old", "9.3", {}, true},
                                           EchoCase{"Current", "13.5", {}, false},
                                           EchoCase{"CurrentForced", "13.5", {"-FIRLoggerForceSTDERR"}, true}),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

}  // namespace
