#include "platform/foundation/console.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/testing/capture.h"
#include "platform/testing/reset.h"

namespace {

namespace console = platform::foundation::console;
using platform::testing::CaptureSinks;

class ConsoleTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

TEST_F(ConsoleTest, EachChannelReachesItsOwnSink) {
  CaptureSinks capture;
  console::out("raw");
  console::out_line(" line");
  console::err("e1");
  console::err_line("");
  console::log_line("[Divivi] Failed to write bytes to stream");
  EXPECT_EQ(capture.out(), "raw line\n");
  EXPECT_EQ(capture.err(), "e1\n");
  EXPECT_EQ(capture.log_lines(), (std::vector<std::string>{"[Divivi] Failed to write bytes to stream"}));
  EXPECT_EQ(capture.system_log(), (std::vector<std::string>{"[Divivi] Failed to write bytes to stream"}));
}

TEST_F(ConsoleTest, LoggedLinesAlsoReachAnAttachedSystemLog) {
  std::vector<std::string> log, system;
  console::set_log_sink([&](std::string_view l) { log.emplace_back(l); });
  console::log_line("only the log sink");
  console::set_system_log([&](std::string_view l) { system.emplace_back(l); });
  console::log_line("both");
  console::out_line("not logged");
  EXPECT_EQ(log, (std::vector<std::string>{"only the log sink", "both"}));
  EXPECT_EQ(system, (std::vector<std::string>{"both"}));
}

TEST_F(ConsoleTest, DefaultSinksWriteToTheStandardDescriptors) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  console::out_line("to stdout");
  console::err("to stderr;");
  console::log_line("logged");
  std::string out = ::testing::internal::GetCapturedStdout();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "to stdout\n");
  EXPECT_EQ(err, "to stderr;logged\n");
}

TEST_F(ConsoleTest, NullSinkAndResetRestoreTheDefaults) {
  std::string seen;
  console::set_out_sink([&](std::string_view b) { seen.append(b); });
  console::out("a");
  console::set_out_sink(nullptr);
  ::testing::internal::CaptureStdout();
  console::out("b");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "b");

  console::set_err_sink([&](std::string_view b) { seen.append(b); });
  platform::testing::reset();
  ::testing::internal::CaptureStderr();
  console::err("c");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "c");
  EXPECT_EQ(seen, "a");
}

TEST_F(ConsoleTest, ConcurrentWritersLoseNoLine) {
  CaptureSinks capture;
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kLines; ++i) console::log_line("line");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(capture.log_lines().size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
