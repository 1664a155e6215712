// The scenario player: one command per run-loop turn, step and done lines,
// waits against the clock, expect failures and exit codes.
#include <atomic>
#include <filesystem>
#include <fstream>

#include "platform/dispatch/clock.h"
#include "platform/foundation/console.h"
#include "platform/os/syslog.h"
#include "fixture.h"

namespace platform::sim::test {
namespace {

using namespace std::chrono_literals;

std::vector<Command> script(std::string_view text) {
  auto parsed = ScenarioPlayer::parse(text);
  if (auto* error = std::get_if<ScenarioPlayer::ParseError>(&parsed)) {
    ADD_FAILURE() << error->describe();
    return {};
  }
  return std::get<std::vector<Command>>(parsed);
}

class PlayerTest : public SimTest {
 protected:
  // Pumps the main run loop, advancing the clock by `step` whenever nothing is ready.
  void play(ScenarioPlayer& player, dispatch::Duration step = 100ms, int max_rounds = 1000) {
    player.start();
    for (int i = 0; i < max_rounds && !player.finished(); ++i) {
      dispatch::wait_until_idle();
      if (dispatch::RunLoop::main().run_pending() == 0) clock_->advance(step);
    }
    ASSERT_TRUE(player.finished()) << all_lines();
  }
};

TEST_F(PlayerTest, RunsOneCommandPerTurnAndSummarises) {
  start();
  ScenarioPlayer player(script(
      "# start-up\n"
      "launch\n"
      "device-token 0a0b\n"
      "expect screen window(key)*\n"
      "expect screen UIViewController*Home\n"
      "background\n"
      "foreground\n"));
  player.start();
  EXPECT_EQ(dispatch::RunLoop::main().run_pending() >= 1, true);
  play(player);
  EXPECT_EQ(player.exit_code(), 0) << all_lines();
  EXPECT_EQ(player.steps(), 6);
  EXPECT_EQ(player.expectations(), 2);
  EXPECT_EQ(player.failed(), 0);
  EXPECT_EQ(count_lines("step| launch"), 1);
  EXPECT_EQ(count_lines("step| device-token 0a0b"), 1);
  EXPECT_EQ(lines().back(), "done| 6 steps, 2 expectations, 0 failed");
  EXPECT_EQ(events(), (std::vector<std::string>{"did-finish", "did-become-active", "token 2", "will-resign-active",
                                                "did-enter-background", "will-enter-foreground", "did-become-active"}));
}

TEST_F(PlayerTest, FailedExpectationsSetExitCodeOneAndThePlayerGoesOn) {
  start();
  record_service_request({"push", "POST", "/api/v1/players?x=1", 200});
  foundation::console::out_line("User accepted notifications: true");
  ScenarioPlayer player(script(
      "expect console accepted notifications\n"
      "expect console never printed\n"
      "expect request push post /api/v1/players\n"
      "expect request push GET /api/v1/players\n"
      "expect no-request push /api/v1/players\n"
      "expect no-request intranet /\n"
      "tap-back\n"  // not running: a failed step
      "launch\n"));
  play(player);
  EXPECT_EQ(player.exit_code(), 1);
  EXPECT_EQ(player.expectations(), 6);
  EXPECT_EQ(player.failed(), 4) << all_lines();
  EXPECT_TRUE(device().running());  // the last command still ran
  EXPECT_EQ(count_lines("line 2 failed: expectation not met: console never printed"), 1) << all_lines();
  EXPECT_EQ(count_lines("line 7 failed: the app is not running"), 1) << all_lines();
  EXPECT_EQ(lines().back(), "done| 8 steps, 6 expectations, 4 failed");
}

TEST_F(PlayerTest, WaitsSucceedOnWhatArrivesAndFailAtTheirDeadline) {
  start();
  ScenarioPlayer player(script(
      "wait console ready\n"
      "wait request intranet GET /\n"
      "wait alert 2s\n"
      "sleep 1s\n"
      "wait console ready 1s\n"));  // the one "ready" line was consumed by the first wait
  player.start();
  dispatch::RunLoop::main().run_pending();
  EXPECT_FALSE(player.finished());
  foundation::console::out("rea");
  foundation::console::out("dy now\n");
  std::thread([] { record_service_request({"intranet", "GET", "/", 200}); }).join();
  play(player);
  EXPECT_EQ(player.exit_code(), 1);
  EXPECT_EQ(player.failed(), 2) << all_lines();
  EXPECT_EQ(count_lines("line 3 failed: timed out waiting for alert"), 1) << all_lines();
  EXPECT_EQ(count_lines("line 5 failed: timed out waiting for console ready"), 1) << all_lines();
  EXPECT_EQ(count_lines("app| ready now"), 1) << all_lines();
  EXPECT_EQ(count_lines("svc| intranet GET / -> 200"), 1) << all_lines();
}

TEST_F(PlayerTest, SystemLogWaitsSeeOnlyRecordsSinceBootAndConsumeWhatTheyMatch) {
  // A record of an earlier launch on the same device.
  const auto log_file = temp_->device() / "Logs" / "system.log";
  std::filesystem::create_directories(log_file.parent_path());
  std::ofstream(log_file) << "2026-01-01T00:00:00Z App[1] user Notice: ready from before\n";
  start();
  ScenarioPlayer player(script(
      "expect syslog from before\n"
      "wait syslog ready 5s\n"
      "wait syslog ready 1s\n"          // the one new "ready" record was consumed
      "expect syslog ready\n"           // expects look at every record since boot
      "wait syslog \"half written\" 1s\n"));
  player.start();
  dispatch::RunLoop::main().run_pending();
  EXPECT_FALSE(player.finished());
  os::syslog::log(os::syslog::notice, "ready now");
  {
    // A record without its line break yet is not seen.
    std::ofstream append(log_file, std::ios::app);
    append << "2026-01-01T00:00:01Z App[1] user Notice: half written";
  }
  play(player);
  EXPECT_EQ(player.exit_code(), 1);
  EXPECT_EQ(player.expectations(), 5);
  EXPECT_EQ(player.failed(), 3) << all_lines();
  EXPECT_EQ(count_lines("line 1 failed: expectation not met: syslog from before"), 1) << all_lines();
  EXPECT_EQ(count_lines("line 3 failed: timed out waiting for syslog ready"), 1) << all_lines();
  EXPECT_EQ(count_lines("line 5 failed: timed out waiting for syslog half written"), 1) << all_lines();
  const auto records = system_log_lines();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find("ready now"), std::string::npos);
}

TEST_F(PlayerTest, RequestHeadersAndJsonBodiesAreMatchedAndEachServiceWaitsOnItsOwn) {
  start();
  record_service_request({"push", "POST", "/api/v1/players", 200, {}, "{}"});
  record_service_request({"intranet", "GET", "/", 200});
  record_service_request({"intranet", "POST", "/api/reraviror/register", 200,
                          {{"content-type", "application/json"}, {"Cookie", "a=1; PHPSESSID=abc"}},
                          R"({"player-id":"p-1","n":[1,{"k":true}]})"});
  ScenarioPlayer player(script(
      // The push request came before the intranet's first: each service has its own cursor.
      "wait request intranet GET / 1s\n"
      "wait request push POST /api/v1/players 1s\n"
      "expect request intranet POST /api/reraviror/register header Content-Type application/json "
      "header cookie *PHPSESSID=* json {\"player-id\":\"*\"}\n"
      "expect request intranet POST /api/reraviror/register json {\"n\":[1,{\"k\":true}]}\n"
      "expect request intranet POST /api/reraviror/register json {\"player-id\":\"p-2\"}\n"
      "expect request intranet POST /api/reraviror/register json {\"n\":[1]}\n"
      "expect request intranet POST /api/reraviror/register header Cookie *session=*\n"
      "expect request intranet POST /api/reraviror/register header Accept *\n"
      "expect request push POST /api/v1/players json {\"id\":\"*\"}\n"));
  play(player);
  EXPECT_EQ(player.failed(), 5) << all_lines();
  for (int line : {5, 6, 7, 8, 9}) EXPECT_EQ(count_lines("line " + std::to_string(line) + " failed"), 1) << all_lines();
}

TEST_F(PlayerTest, HeaderAbsenceAndExclusionAndRequestCounts) {
  start();
  record_service_request({"intranet", "POST", "/api/reraviror/register", 200,
                          {{"Cookie", "PHPSESSID=abc; remember=r"}, {"Cookie", "late=1"}}, "{}"});
  record_service_request({"intranet", "POST", "/api/reraviror/register", 500, {}, "{}"});
  record_service_request({"intranet", "GET", "/?a=1", 200});
  struct Case {
    std::string line;
    bool holds;
  };
  const std::vector<Case> cases{
      {"expect request intranet POST /api/reraviror/register header Cookie PHPSESSID=* header Authorization absent", true},
      {"expect request intranet POST /api/reraviror/register header cookie absent", true},  // the second post
      {"expect request intranet POST /api/reraviror/register header Cookie PHPSESSID= header Cookie not tracker", true},
      // "not" looks at every value of the header: the second Cookie header holds "late".
      {"expect request intranet POST /api/reraviror/register header Cookie PHPSESSID= header Cookie not late", false},
      {"expect request intranet POST /api/reraviror/register header Cookie absent header Cookie x", false},
      {"expect requests intranet POST /api/reraviror/register 2", true},
      {"expect requests intranet post /api/reraviror/register 1 header Cookie absent", true},
      {"expect requests intranet POST /api/reraviror/register 1", false},
      {"expect requests intranet GET / 1", true},  // a path without a query counts any query
      {"expect requests intranet GET / 01", true},
      {"expect requests intranet GET /other 0", true},
      {"expect requests push POST /api/reraviror/register 0", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ScenarioPlayer player(script(c.line));
    play(player);
    EXPECT_EQ(player.exit_code(), c.holds ? 0 : 1) << all_lines();
  }
  EXPECT_EQ(count_lines("failed: expectation not met: requests intranet POST /api/reraviror/register 1 (saw 2)"), 1)
      << all_lines();
}

TEST_F(PlayerTest, WaitsAndExpectationsLookOnlyPastTheMark) {
  start();
  record_service_request({"intranet", "POST", "/api/reraviror/register", 200, {{"Cookie", "tracker=1"}}});
  foundation::console::out_line("before the mark");
  ScenarioPlayer player(script(
      "mark\n"
      "expect requests intranet POST /api/reraviror/register 0\n"
      "expect no-request intranet /api/reraviror/register\n"
      "wait request intranet POST /api/reraviror/register 1s\n"
      "expect console before the mark\n"
      "wait console before the mark 1s\n"
      "expect request intranet POST /api/reraviror/register header Cookie not tracker\n"
      "expect requests intranet POST /api/reraviror/register 1\n"
      "mark\n"
      "expect requests intranet POST /api/reraviror/register 0\n"));
  player.start();
  // Lines 2 and 3 hold before the new request; line 4 waits for it.
  for (int i = 0; i < 4; ++i) dispatch::RunLoop::main().run_pending();
  record_service_request({"intranet", "POST", "/api/reraviror/register", 200, {{"Cookie", "PHPSESSID=s"}}});
  play(player);
  EXPECT_EQ(player.failed(), 2) << all_lines();
  EXPECT_EQ(count_lines("line 5 failed"), 1) << all_lines();
  EXPECT_EQ(count_lines("line 6 failed: timed out"), 1) << all_lines();
}

TEST_F(PlayerTest, RoutesGoThroughTheServiceControlAndEndWithTheScenario) {
  start();
  std::vector<ServiceAnswer> answers;
  int resets = 0;
  set_service_control({.set_answer =
                           [&](const ServiceAnswer& a) -> std::string {
                             if (a.service != "intranet") return "no service " + a.service;
                             answers.push_back(a);
                             return {};
                           },
                       .reset_answers = [&] { ++resets; }});
  {
    ScenarioPlayer player(script(
        "route intranet post /api/reraviror/register status 500 header Set-Cookie \"a=1; Path=/\" "
        "header Set-Cookie b=2 body \"<html>\"\n"
        "route intranet GET /slow* json {\"ok\":true} delay 1.5s\n"
        "route intranet GET /gone drop\n"
        "route intranet GET /refused refuse\n"
        "route push GET /\n"));
    play(player);
    EXPECT_EQ(player.failed(), 1) << all_lines();
    EXPECT_EQ(count_lines("line 5 failed: no service push"), 1) << all_lines();
    EXPECT_EQ(resets, 1);  // at the end of the scenario
  }
  EXPECT_EQ(resets, 1);  // once only
  ASSERT_EQ(answers.size(), 4u);
  const ServiceAnswer& error = answers[0];
  EXPECT_EQ(error.method, "POST");
  EXPECT_EQ(error.path, "/api/reraviror/register");
  EXPECT_EQ(error.status, 500);
  EXPECT_EQ(error.headers, (std::vector<std::pair<std::string, std::string>>{{"Set-Cookie", "a=1; Path=/"},
                                                                             {"Set-Cookie", "b=2"}}));
  EXPECT_EQ(error.body, "<html>");
  EXPECT_EQ(error.action, ServiceAnswer::Action::answer);
  const ServiceAnswer& slow = answers[1];
  EXPECT_EQ(slow.path, "/slow*");
  EXPECT_EQ(slow.status, 200);
  EXPECT_EQ(slow.body, "{\"ok\":true}");
  EXPECT_EQ(slow.headers, (std::vector<std::pair<std::string, std::string>>{{"Content-Type", "application/json"}}));
  EXPECT_DOUBLE_EQ(slow.delay_s, 1.5);
  EXPECT_EQ(answers[2].action, ServiceAnswer::Action::drop);
  EXPECT_EQ(answers[3].action, ServiceAnswer::Action::refuse);

  // A player destroyed before its end, and one that resets midway.
  {
    ScenarioPlayer player(script("route intranet GET / status 503\nsleep 10s\n"));
    player.start();
    dispatch::RunLoop::main().run_pending();
  }
  EXPECT_EQ(resets, 2);
  ScenarioPlayer repl({});
  EXPECT_EQ(repl.run_line("route intranet GET / status 503"), 0);
  EXPECT_EQ(repl.run_line("reset-routes"), 0);
  EXPECT_EQ(resets, 3);

  set_service_control({});
  EXPECT_EQ(repl.run_line("route intranet GET / status 503"), 1);
  EXPECT_EQ(count_lines("failed: no services to answer for intranet"), 1) << all_lines();
}

TEST_F(PlayerTest, SvcLinesListRequestHeadersWhenAsked) {
  start();
  record_service_request({"intranet", "GET", "/", 200, {{"Cookie", "a=1"}}});
  set_show_request_headers(true);
  record_service_request({"intranet", "POST", "/x", 0, {{"Cookie", "a=1"}, {"Content-Type", "application/json"}}});
  EXPECT_EQ(lines(), (std::vector<std::string>{"svc| intranet GET / -> 200", "svc| intranet POST /x -> no answer",
                                               "svc|   Cookie: a=1", "svc|   Content-Type: application/json"}));
}

TEST_F(PlayerTest, DefaultWaitDeadlineIsTenSeconds) {
  start();
  ScenarioPlayer player(script("wait console nothing\n"));
  auto begin = dispatch::Clock::current().monotonic();
  play(player, 1s);
  double waited = std::chrono::duration<double>(dispatch::Clock::current().monotonic() - begin).count();
  EXPECT_GE(waited, ScenarioPlayer::default_timeout_s);
  EXPECT_LT(waited, ScenarioPlayer::default_timeout_s + 2);
  EXPECT_EQ(player.exit_code(), 1);
}

TEST_F(PlayerTest, ASinkWritingThroughTheConsoleDoesNotDeadlock) {
  start();
  set_line_sink([](Tag, std::string_view text) { foundation::console::out_line(text); });
  emit(Tag::os, "through the console");
  // The nested app line went straight to standard output; the console record has it.
  auto lines = console_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "through the console");
}

TEST_F(PlayerTest, RunLineForTheRepl) {
  start();
  ScenarioPlayer repl({});
  EXPECT_EQ(repl.run_line("# nothing"), 0);
  EXPECT_EQ(repl.run_line("launch"), 0);
  EXPECT_EQ(repl.run_line("launch"), 1);  // already running
  EXPECT_EQ(repl.run_line("take-off"), 2);
  EXPECT_EQ(count_lines("unknown command \"take-off\""), 1) << all_lines();
  EXPECT_EQ(repl.run_line("screen"), 0);
  EXPECT_GE(count_lines("screen| window(key)"), 1) << all_lines();
}

// skip-time moves the device's clock forward at once: what falls due within
// fires before the next command, and wall time and uptime move with it. A
// test's manual clock is the test's to move, so there the command fails.
TEST_F(PlayerTest, SkipTimeFiresWhatFallsDueAndMovesWallTimeAndUptime) {
  start();
  ScenarioPlayer repl({});
  EXPECT_EQ(repl.run_line("skip-time 1s"), 1);
  EXPECT_EQ(count_lines("the device's clock does not advance by itself"), 1) << all_lines();

  dispatch::Clock::install(nullptr);  // the real clock, as appsim runs
  const double wall = dispatch::Clock::current().now_since_1970();
  const double up = dispatch::uptime();
  std::atomic<int> queue_fired{0};
  bool loop_fired = false;
  dispatch::Queue::global(dispatch::Qos::default_).after(dispatch::Duration(3000), [&] { ++queue_fired; });
  dispatch::Queue::global(dispatch::Qos::default_).after(dispatch::Duration(3700), [&] { ++queue_fired; });
  dispatch::RunLoop::main().perform_after(this, "skip", dispatch::Duration(3500), [&] { loop_fired = true; });
  EXPECT_EQ(repl.run_line("skip-time 3600s"), 0) << all_lines();
  dispatch::wait_until_idle();
  EXPECT_EQ(queue_fired.load(), 1);
  dispatch::RunLoop::main().run_pending();
  EXPECT_TRUE(loop_fired);
  const double moved = dispatch::Clock::current().now_since_1970() - wall;
  EXPECT_GE(moved, 3600);
  EXPECT_LT(moved, 3600 + 60);
  EXPECT_GE(dispatch::uptime() - up, 3600);

  // A second skip adds to the first.
  EXPECT_EQ(repl.run_line("skip-time 100s"), 0) << all_lines();
  dispatch::wait_until_idle();
  EXPECT_EQ(queue_fired.load(), 2);
  EXPECT_GE(dispatch::Clock::current().now_since_1970() - wall, 3700);
}

}  // namespace
}  // namespace platform::sim::test
