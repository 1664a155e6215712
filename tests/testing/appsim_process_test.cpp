// The child-process runner on a plain shell: captured lines and exit codes,
// standard input, the kill deadline and bounded waits.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "testing/harness/appsim_process.h"

namespace testing::test {
namespace {

using namespace std::chrono_literals;

AppSimOptions shell(std::chrono::milliseconds deadline = 60s) {
  AppSimOptions o;
  o.executable = "/bin/sh";
  o.deadline = deadline;
  return o;
}

TEST(AppSimProcess, CapturesLinesErrorOutputAndTheExitCode) {
  const auto r = AppSimProcess::run({"-c", "printf 'os    | one\\nstep  | two\\nno tag here\\npartial'; echo oops >&2; exit 3"},
                                    shell());
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"os    | one", "step  | two", "no tag here", "partial"}));
  EXPECT_EQ(r.error_output, "oops\n");
  EXPECT_EQ(r.texts("os"), std::vector<std::string>{"one"});
  EXPECT_TRUE(r.has("step", "tw"));
  EXPECT_FALSE(r.has("os", "two"));
  EXPECT_TRUE(r.has("", "no tag"));
}

TEST(AppSimProcess, LineShapesParse) {
  struct Case {
    std::string line, tag, text;
  };
  for (const Case& c : {Case{"os    | text | with bar", "os", "text | with bar"}, Case{"screen| x", "screen", "x"},
                        Case{"      |   continued", "", "  continued"}, Case{"{\"tag\":\"os\"}", "", "{\"tag\":\"os\"}"},
                        Case{"a long prefix | y", "", "a long prefix | y"}}) {
    const AppSimLine parsed = AppSimLine::parse(c.line);
    EXPECT_EQ(parsed.tag, c.tag) << c.line;
    EXPECT_EQ(parsed.text, c.text) << c.line;
  }
}

TEST(AppSimProcess, StandardInputIsWrittenThenClosed) {
  AppSimOptions o = shell();
  o.input = "first\nsecond\n";
  const auto r = AppSimProcess::run({"-c", "while read l; do echo \"got $l\"; done; echo end"}, o);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"got first", "got second", "end"}));
  // Without input the child sees end of file at once.
  EXPECT_EQ(AppSimProcess::run({"-c", "cat; echo done"}, shell()).lines, std::vector<std::string>{"done"});
}

TEST(AppSimProcess, TheDeadlineKillsAChildThatHangs) {
  const auto start = std::chrono::steady_clock::now();
  const auto r = AppSimProcess::run({"-c", "echo started; sleep 30; echo never"}, shell(300ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(r.killed);
  EXPECT_EQ(r.exit_code, -9);
  EXPECT_EQ(r.lines, std::vector<std::string>{"started"});
}

TEST(AppSimProcess, ADescendantHoldingTheOutputDoesNotHoldTheRunner) {
  const auto start = std::chrono::steady_clock::now();
  const auto r = AppSimProcess::run({"-c", "sleep 30 & echo started; exit 4"}, shell());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.lines, std::vector<std::string>{"started"});
}

TEST(AppSimProcess, WaitForLineIsBoundedAndKillEndsTheChild) {
  AppSimProcess p({"-c", "echo ready; sleep 30"}, shell());
  EXPECT_TRUE(p.wait_for_line([](const std::string& l) { return l == "ready"; }, 30s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(p.wait_for_line([](const std::string& l) { return l == "never"; }, 100ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(p.finished());
  p.kill();
  const auto r = p.wait();
  EXPECT_TRUE(p.finished());
  EXPECT_EQ(r.exit_code, -9);
}

TEST(AppSimProcess, AProgramThatCannotStartThrows) {
  AppSimOptions o;
  o.executable = "/nonexistent/appsim";
  EXPECT_THROW(AppSimProcess({"demo"}, o), std::runtime_error);
  EXPECT_FALSE(AppSimProcess::built_executable().empty());
}

}  // namespace
}  // namespace testing::test
