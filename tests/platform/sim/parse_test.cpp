// The scenario line parser: accepted lines, comments, JSON arguments, and bad
// lines reported with their line number.
#include <gtest/gtest.h>

#include "platform/sim/scenario.h"

namespace platform::sim::test {
namespace {

struct Good {
  std::string line;
  std::string name;
  std::vector<std::string> args;
  std::map<std::string, std::string> options;
  std::optional<double> timeout;
};

TEST(ScenarioParse, AcceptedLines) {
  const Good cases[] = {
      {"launch", "launch", {}, {}, {}},
      {"  launch --url https://a.example.org/x --options {\"k\": [1, {\"n\": \"}\"}]}", "launch", {},
       {{"--url", "https://a.example.org/x"}, {"--options", "{\"k\": [1, {\"n\": \"}\"}]}"}}, {}},
      {"push {\"aps\":{\"alert\":\"Hi there\"}} --content-available", "push", {"{\"aps\":{\"alert\":\"Hi there\"}}"},
       {{"--content-available", ""}}, {}},
      {"tap-notification {} --action reply --text \"on my way\"", "tap-notification", {"{}"},
       {{"--action", "reply"}, {"--text", "on my way"}}, {}},
      {"wait console User accepted notifications: true", "wait", {"console", "User accepted notifications: true"}, {},
       {}},
      {"wait console ready 2s", "wait", {"console", "ready"}, {}, 2.0},
      {"wait console \"ends in 5s\"", "wait", {"console", "ends in 5s"}, {}, {}},
      {"wait syslog \"[Core][I-COR000001] Configuring the default app.\" 5s", "wait",
       {"syslog", "[Core][I-COR000001] Configuring the default app."}, {}, 5.0},
      {"wait syslog [I-COR000022] 2s", "wait", {"syslog", "[I-COR000022]"}, {}, 2.0},
      {"expect syslog \"[I-COR000022]\"", "expect", {"syslog", "[I-COR000022]"}, {}, {}},
      {"expect syslog ends in 5s", "expect", {"syslog", "ends in 5s"}, {}, {}},
      {"wait request push POST /api/v1/players 500ms", "wait", {"request", "push", "POST", "/api/v1/players"}, {},
       0.5},
      {"wait page-finished", "wait", {"page-finished"}, {}, {}},
      {"wait idle 3", "wait", {"idle"}, {}, 3.0},
      {"sleep 250ms", "sleep", {}, {}, 0.25},
      {"skip-time 11s", "skip-time", {}, {}, 11.0},
      {"expect screen window(key)*Menu", "expect", {"screen", "window(key)*Menu"}, {}, {}},
      {"expect request intranet POST /api/reraviror/register header Cookie \"*PHPSESSID=*\" json {\"player-id\": \"*\"}",
       "expect",
       {"request", "intranet", "POST", "/api/reraviror/register", "header", "Cookie", "*PHPSESSID=*", "json",
        "{\"player-id\": \"*\"}"},
       {},
       {}},
      {"expect no-request intranet /api/reraviror/register", "expect",
       {"no-request", "intranet", "/api/reraviror/register"}, {}, {}},
      {"script-message crash {\"a\":1}", "script-message", {"crash", "{\"a\":1}"}, {}, {}},
      {"script-message ping \"text body\"", "script-message", {"ping", "\"text body\""}, {}, {}},
      {"js-alert Are you sure? #1", "js-alert", {"Are you sure? #1"}, {}, {}},
      {"tap-alert \"OK\"", "tap-alert", {"OK"}, {}, {}},
      {"purchase org.example.pro 3", "purchase", {"org.example.pro", "3"}, {}, {}},
      {"location 52.52 -13.4", "location", {"52.52", "-13.4"}, {}, {}},
      {"location 52.52 -13.4 12.5 30", "location", {"52.52", "-13.4", "12.5", "30"}, {}, {}},
      {"device-token 00FFa1", "device-token", {"00FFa1"}, {}, {}},
      {"network wwan", "network", {"wwan"}, {}, {}},
      {"files Library/Preferences", "files", {"Library/Preferences"}, {}, {}},
      {"crash exception", "crash", {"exception"}, {}, {}},
      {"expect request intranet POST /r header Cookie absent header cookie not tracker header Cookie \"absent\"",
       "expect",
       {"request", "intranet", "POST", "/r", "header-absent", "Cookie", "header-not", "cookie", "tracker",
        "header-absent", "Cookie"},
       {},
       {}},
      {"expect requests intranet POST /r 0", "expect", {"requests", "intranet", "POST", "/r", "0"}, {}, {}},
      {"expect requests push GET /p 2 header Accept *json json {}", "expect",
       {"requests", "push", "GET", "/p", "2", "header", "Accept", "*json", "json", "{}"}, {}, {}},
      {"mark", "mark", {}, {}, {}},
      {"reset-routes", "reset-routes", {}, {}, {}},
      {"universal-link", "universal-link", {}, {}, {}},
      {"universal-link https://a.example.org/x --type \"\"", "universal-link", {"https://a.example.org/x"},
       {{"--type", ""}}, {}},
      {"universal-link --type org.example.handoff", "universal-link", {}, {{"--type", "org.example.handoff"}}, {}},
      {"route intranet POST /api/x status 500 header Set-Cookie \"a=1; Path=/\" header Set-Cookie b= "
       "header X-Empty \"\" body \"<html> oops\" delay 1.5s",
       "route",
       {"intranet", "POST", "/api/x", "status", "500", "header", "Set-Cookie", "a=1; Path=/", "header", "Set-Cookie",
        "b=", "header", "X-Empty", "", "body", "<html> oops", "delay", "1500"},
       {},
       {}},
      {"route partner.example get /* json {\"a\": [1]} delay 250ms", "route",
       {"partner.example", "get", "/*", "json", "{\"a\": [1]}", "delay", "250"}, {}, {}},
      {"route intranet GET /x drop", "route", {"intranet", "GET", "/x", "drop"}, {}, {}},
      {"route intranet GET /x delay 2s refuse", "route", {"intranet", "GET", "/x", "delay", "2000", "refuse"}, {}, {}},
  };
  for (const Good& c : cases) {
    auto parsed = ScenarioPlayer::parse_line(c.line, 7);
    auto* error = std::get_if<ScenarioPlayer::ParseError>(&parsed);
    ASSERT_EQ(error, nullptr) << c.line << ": " << error->describe();
    const auto& cmd = std::get<std::optional<Command>>(parsed);
    ASSERT_TRUE(cmd.has_value()) << c.line;
    EXPECT_EQ(cmd->line, 7);
    EXPECT_EQ(cmd->name, c.name) << c.line;
    EXPECT_EQ(cmd->args, c.args) << c.line;
    EXPECT_EQ(cmd->options, c.options) << c.line;
    EXPECT_EQ(cmd->timeout_s, c.timeout) << c.line;
  }
}

TEST(ScenarioParse, BadLinesNameTheProblem) {
  const std::pair<std::string, std::string> cases[] = {
      {"fly away", "unknown command \"fly\""},
      {"launch --colour red", "unknown option \"--colour\""},
      {"launch --url", "missing value of --url"},
      {"launch --url relative/path", "not an absolute URL"},
      {"launch --options [1]", "--options must be a JSON object"},
      {"push {\"aps\": }", "the payload is not valid JSON"},
      {"push {\"aps\": {}", "unterminated JSON argument"},
      {"push", "missing notification payload"},
      {"push {} --content-available yes", "unknown option \"yes\""},
      {"authorize maybe", "expected allow|deny"},
      {"network up", "expected on|off|wwan"},
      {"rotate 9", "not an orientation"},
      {"token-error abc", "not an error code"},
      {"device-token 0g", "not a hex token"},
      {"purchase", "missing product"},
      {"purchase pro 0", "not a quantity"},
      {"location 91 0", "not a latitude"},
      {"location 1 2 near", "not a horizontal accuracy"},
      {"location 1 2 5 high", "not a vertical accuracy"},
      {"location 1 2 5 6 7", "unexpected argument \"7\""},
      {"sleep soon", "not a duration"},
      {"skip-time", "missing duration"},
      {"skip-time a-while", "not a duration"},
      {"wait", "missing"},
      {"wait forever", "expected page-finished|console|syslog|request|alert|idle"},
      {"wait syslog", "missing system log text"},
      {"expect syslog", "missing system log text"},
      {"wait page-finished 1s extra", "unexpected argument"},
      {"wait request push POST", "missing path"},
      {"wait console", "missing console text"},
      {"expect console \"unterminated", "unterminated quoted string"},
      {"expect screen", "missing screen pattern"},
      {"terminate now", "unexpected argument \"now\""},
      {"{\"a\":1}", "unknown command"},
      {"expect request push POST /x header Accept", "missing header value pattern"},
      {"expect request push POST /x json {\"a\":}", "the JSON body pattern is not valid JSON"},
      {"expect request push POST /x json", "missing JSON body pattern"},
      {"expect request push POST /x body abc", "unexpected argument \"body\""},
      {"expect no-request push /x header A b", "unexpected argument"},
      {"script-message name {bad json}", "the message body is not valid JSON"},
      {"expect request push POST /x header Accept not", "missing header value pattern after not"},
      {"expect requests push POST /x", "missing count"},
      {"expect requests push POST /x many", "not a count"},
      {"expect requests push POST /x -1", "not a count"},
      {"mark here", "unexpected argument"},
      {"universal-link relative/path", "not an absolute URL"},
      {"universal-link --type", "missing value of --type"},
      {"universal-link https://a.example.org/ --kind x", "unexpected argument \"--kind\""},
      {"universal-link --type a https://a.example.org/", "unexpected argument"},
      {"route", "missing service"},
      {"route intranet GET", "missing path"},
      {"route intranet G3T /x", "not a method"},
      {"route intranet GET x", "a path starts with /"},
      {"route intranet GET /x status 42", "not a status"},
      {"route intranet GET /x status 200 status 500", "status given twice"},
      {"route intranet GET /x body a json {}", "body given twice"},
      {"route intranet GET /x drop refuse", "drop|refuse given twice"},
      {"route intranet GET /x header", "missing header name"},
      {"route intranet GET /x header Bad:Name v", "not a header name"},
      {"route intranet GET /x header X-A", "missing header value"},
      {"route intranet GET /x header X-A \"a\\r\\nB: c\"", "a header value is one line"},
      {"route intranet GET /x json {\"a\"}", "the JSON body is not valid JSON"},
      {"route intranet GET /x delay soon", "not a duration"},
      {"route intranet GET /x teapot", "unexpected argument \"teapot\""},
  };
  for (const auto& [line, message] : cases) {
    auto parsed = ScenarioPlayer::parse_line(line, 3);
    auto* error = std::get_if<ScenarioPlayer::ParseError>(&parsed);
    ASSERT_NE(error, nullptr) << line;
    EXPECT_EQ(error->line, 3);
    EXPECT_NE(error->message.find(message), std::string::npos) << line << " -> " << error->message;
    EXPECT_EQ(error->describe().rfind("line 3: ", 0), 0u) << error->describe();
  }
}

TEST(ScenarioParse, ScriptsSkipCommentsAndBlankLinesAndStopAtTheFirstBadLine) {
  auto parsed = ScenarioPlayer::parse("# a demo\n\nlaunch\r\n   # indented comment\nwait page-finished\n\n");
  ASSERT_TRUE(std::holds_alternative<std::vector<Command>>(parsed));
  const auto& commands = std::get<std::vector<Command>>(parsed);
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].line, 3);
  EXPECT_EQ(commands[0].text, "launch");
  EXPECT_EQ(commands[1].line, 5);

  auto bad = ScenarioPlayer::parse("launch\n# ok\nbackground\nwiat idle\nnonsense too\n");
  ASSERT_TRUE(std::holds_alternative<ScenarioPlayer::ParseError>(bad));
  EXPECT_EQ(std::get<ScenarioPlayer::ParseError>(bad).line, 4);

  auto empty = ScenarioPlayer::parse("");
  ASSERT_TRUE(std::holds_alternative<std::vector<Command>>(empty));
  EXPECT_TRUE(std::get<std::vector<Command>>(empty).empty());
}

}  // namespace
}  // namespace platform::sim::test
