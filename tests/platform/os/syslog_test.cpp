#include "platform/os/syslog.h"

#include <fcntl.h>
#include <unistd.h>


#include "fixture.h"
#include "platform/foundation/console.h"
#include "platform/testing/manual_clock.h"

namespace platform::os::test {
namespace {

class SyslogTest : public OsTest {
 protected:
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(read_text(system_log_file()));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  static std::string drain(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
};

TEST_F(SyslogTest, LinesCarryTimeProcessPidFacilityAndLevel) {
  platform::testing::ManualClock::install(1600000000.5);
  boot_device();
  syslog::log(syslog::error, "first");
  auto client = syslog::Client::open("answers", "com.example.logger", false);
  client->log(syslog::debug, "second");
  auto got = lines();
  ASSERT_EQ(got.size(), 2u);
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(got[0], "2020-09-13T12:26:40.500Z App[" + pid + "] user Error: first");
  EXPECT_EQ(got[1], "2020-09-13T12:26:40.500Z answers[" + pid + "] com.example.logger Debug: second");
}

TEST_F(SyslogTest, MultiLineMessageStaysOneRecord) {
  boot_device();
  syslog::log(syslog::notice, "{\n    key = value;\n}\r\n");
  auto got = lines();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find("Notice: {\\n    key = value;\\n}\\n"), std::string::npos) << got[0];
}

TEST_F(SyslogTest, FilterMaskDecidesWhichLevelsAreKept) {
  boot_device();
  auto client = syslog::Client::open(std::nullopt, "f", false);
  client->set_filter(syslog::mask_upto(syslog::notice));
  EXPECT_EQ(client->filter(), 63u);
  for (int level = 0; level <= 7; ++level) client->log(level, "level " + std::to_string(level));
  auto got = lines();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_NE(got.back().find("Notice: level 5"), std::string::npos);
  client->set_filter(syslog::mask(syslog::debug));
  client->log(syslog::error, "dropped");
  client->log(syslog::debug, "kept");
  EXPECT_EQ(lines().size(), 7u);
}

TEST_F(SyslogTest, AddedOutputsGetACopyOfEachLine) {
  boot_device();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  auto client = syslog::Client::open(std::nullopt, "f", false);
  client->add_output(fds[1]);
  client->add_output(fds[1]);  // once only
  client->log(syslog::warning, "copied");
  EXPECT_EQ(drain(fds[0]), lines().back() + "\n");
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(SyslogTest, ConsoleLogLinesReachTheSystemLog) {
  boot_device();
  foundation::console::set_log_sink([](std::string_view) {});  // keep stderr quiet
  foundation::console::log_line("NSLog style line");
  ASSERT_FALSE(lines().empty());
  EXPECT_NE(lines().back().find("user Notice: NSLog style line"), std::string::npos);
}

TEST_F(SyslogTest, BeforeBootNothingIsWrittenToDisk) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  auto client = syslog::Client::open(std::nullopt, "f", false);
  client->add_output(fds[1]);
  client->log(syslog::error, "early");
  EXPECT_NE(drain(fds[0]).find("Error: early"), std::string::npos);
  EXPECT_FALSE(fs::exists(device_ / "Logs"));
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace platform::os::test
