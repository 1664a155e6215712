#include "platform/os/process_info.h"

#include <set>

#include "fixture.h"

namespace platform::os::test {
namespace {

using ProcessInfoTest = OsTest;

TEST_F(ProcessInfoTest, ArgumentsEnvironmentAndNameComeFromTheDevice) {
  DeviceProfile p;
  p.launch_arguments = {"-FIRDebugEnabled", "-FIRLoggerForceSTDERR"};
  p.environment = {{"CRASH_SETTINGS", "1"}};
  boot_device(BootOptions{p, true});
  ProcessInfo& info = ProcessInfo::shared();
  EXPECT_EQ(info.arguments(), p.launch_arguments);
  EXPECT_EQ(info.environment(), p.environment);
  EXPECT_EQ(info.process_name(), "App");  // the bundle's executable
  EXPECT_EQ(info.pid(), ::getpid());
}

TEST_F(ProcessInfoTest, OperatingSystemVersionFromTheProfile) {
  struct Case {
    const char* text;
    int major, minor, patch;
    double foundation;
  };
  const Case cases[] = {
      {"13.5", 13, 5, 0, 1673.126}, {"12.4", 12, 4, 0, 1556.00}, {"9.3.5", 9, 3, 5, 1242.12},
      {"7.1.2", 7, 1, 2, 1047.25},  {"7.0", 7, 0, 0, 1047.20},   {"8.4", 8, 4, 0, 1144.17},
      {"10", 10, 0, 0, 1348.00},    {"", 0, 0, 0, 881.00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DeviceProfile p;
    p.system_version = c.text;
    boot_device(BootOptions{p, true});
    auto v = ProcessInfo::shared().operating_system_version();
    EXPECT_EQ(v.major, c.major);
    EXPECT_EQ(v.minor, c.minor);
    EXPECT_EQ(v.patch, c.patch);
    EXPECT_DOUBLE_EQ(ProcessInfo::shared().foundation_version_number(), c.foundation);
    platform::testing::reset();
  }
}

TEST_F(ProcessInfoTest, AtLeastComparesPartByPart) {
  DeviceProfile p;
  p.system_version = "10.3.1";
  boot_device(BootOptions{p, true});
  ProcessInfo& info = ProcessInfo::shared();
  EXPECT_TRUE(info.at_least({10, 3, 1}));
  EXPECT_TRUE(info.at_least({10, 3, 0}));
  EXPECT_TRUE(info.at_least({9, 9, 9}));
  EXPECT_FALSE(info.at_least({10, 3, 2}));
  EXPECT_FALSE(info.at_least({10, 4, 0}));
  EXPECT_FALSE(info.at_least({11, 0, 0}));
  EXPECT_GT(info.foundation_version_number(), 1047.25);
}

TEST_F(ProcessInfoTest, ActivitiesBeginAndEnd) {
  ProcessInfo& info = ProcessInfo::shared();
  auto a = info.begin_activity(activity::user_initiated, "answers upload");
  auto b = info.begin_activity(activity::background, "crash report");
  EXPECT_NE(a, b);
  EXPECT_EQ(info.active_activities(), (std::vector<std::string>{"answers upload", "crash report"}));
  info.end_activity(a);
  info.end_activity(a);  // twice: ignored
  info.end_activity(0);
  EXPECT_EQ(info.active_activities(), std::vector<std::string>{"crash report"});
}

TEST_F(ProcessInfoTest, UniqueStringsAndCounts) {
  ProcessInfo& info = ProcessInfo::shared();
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string s = info.globally_unique_string();
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s.find_first_of("abcdef"), std::string::npos) << s;
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_GE(info.processor_count(), 1u);
  EXPECT_GE(info.system_uptime(), 0.0);
}

TEST_F(ProcessInfoTest, SecondsFromGmtFollowsTheProfileZone) {
  DeviceProfile p;
  p.time_zone = "UTC";
  boot_device(BootOptions{p, true});
  EXPECT_EQ(ProcessInfo::shared().seconds_from_gmt(), 0);
  platform::testing::reset();
  p.time_zone = "America/Sao_Paulo";  // no daylight saving since 2019
  boot_device(BootOptions{p, true});
  EXPECT_EQ(ProcessInfo::shared().seconds_from_gmt(), -3 * 3600);
}

}  // namespace
}  // namespace platform::os::test
