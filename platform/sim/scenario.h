#pragma once
// Scenario scripts: one command per line, "#" starts a comment line, JSON
// arguments ({...}, [...]) and JSON-quoted strings allowed.
//
// The player runs as a source of the main run loop, one command per turn.
// Waits check their condition each turn until a deadline (default 10 s on
// the dispatch clock); a missed deadline or a failed expect sets exit code 1
// and the player goes on with the next command. A script that does not parse
// never starts (exit code 2, the message names the line). Every command
// emits a step line; the end emits "N steps, M expectations, K failed"
// (waits and expects count as expectations).
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::sim {

struct Command {
  int line = 0;                                // 1-based line in the script
  std::string name;                            // "tap-link", "wait", ...
  std::vector<std::string> args;               // positional; JSON arguments as their text
  std::map<std::string, std::string> options;  // "--url" -> value; flags -> ""
  std::optional<double> timeout_s;             // wait deadline given on the line
  std::string text;                            // the line as written, trimmed
};

class ScenarioPlayer {
 public:
  struct ParseError {
    int line = 0;
    std::string message;
    std::string describe() const;  // "line N: message"
  };

  static constexpr double default_timeout_s = 10;

  // The whole script; the first bad line is the error.
  static std::variant<std::vector<Command>, ParseError> parse(std::string_view text);
  // One line: nullopt for a blank or comment line.
  static std::variant<std::optional<Command>, ParseError> parse_line(std::string_view line, int line_number = 1);

  explicit ScenarioPlayer(std::vector<Command> commands);
  ~ScenarioPlayer();
  ScenarioPlayer(const ScenarioPlayer&) = delete;
  ScenarioPlayer& operator=(const ScenarioPlayer&) = delete;

  // Posts the first turn to the main run loop.
  void start();
  bool finished() const;
  int exit_code() const;  // 0 ok, 1 a failed expect or wait
  // Runs on the main thread after the done line.
  void set_on_finished(std::function<void()> fn);

  int steps() const;
  int expectations() const;
  int failed() const;

  // For the repl: parses and runs one line now on the calling (main) thread;
  // waits and sleeps pump the main run loop. 0 ok (also for blank lines),
  // 1 a failed command, expect or wait, 2 a line that does not parse.
  int run_line(std::string_view line);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::sim
