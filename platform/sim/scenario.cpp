// The scenario player: one command per main-run-loop turn.
#include <algorithm>
#include <cctype>
#include <map>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/json.h"
#include "platform/net/session.h"
#include "platform/sim/device.h"
#include "platform/sim/internal.h"
#include "platform/sim/output.h"
#include "platform/sim/scenario.h"
#include "platform/sim/screen.h"
#include "platform/sim/services.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"

namespace platform::sim {

namespace {

constexpr double kPollSeconds = 0.02;

double now_s() { return std::chrono::duration<double>(dispatch::Clock::current().monotonic()).count(); }

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool path_matches(const std::string& recorded, const std::string& wanted) {
  if (recorded == wanted) return true;
  // A pattern without a query matches the path with any query.
  if (wanted.find('?') == std::string::npos) {
    std::size_t q = recorded.find('?');
    if (q != std::string::npos && recorded.compare(0, q, wanted) == 0 && q == wanted.size()) return true;
  }
  return false;
}

bool request_matches(const ServiceRequest& r, const std::string& service, const std::string* method,
                     const std::string& path) {
  return r.service == service && (!method || lower(r.method) == lower(*method)) && path_matches(r.path, path);
}

// `pattern` with "*" for any text, found anywhere in `text`.
bool glob_search(std::string_view text, std::string_view pattern) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t star; (star = pattern.find('*', start)) != std::string_view::npos; start = star + 1) {
    parts.push_back(pattern.substr(start, star - start));
  }
  parts.push_back(pattern.substr(start));
  std::size_t at = 0;
  for (std::string_view part : parts) {
    if (part.empty()) continue;
    std::size_t found = text.find(part, at);
    if (found == std::string_view::npos) return false;
    at = found + part.size();
  }
  return true;
}

// `expected` is found in `actual`: an object's keys with matching values
// (other keys may be present), an array of as many matching elements, the
// string "*" for any value, otherwise an equal value.
bool json_contains(const foundation::Value& actual, const foundation::Value& expected) {
  if (const auto* text = expected.string(); text && *text == "*") return true;
  if (const auto* wanted = expected.dict()) {
    const auto* got = actual.dict();
    if (!got) return false;
    for (const auto& [key, value] : *wanted) {
      const foundation::Value* found = got->find(key);
      if (!found || !json_contains(*found, value)) return false;
    }
    return true;
  }
  if (const auto* wanted = expected.array()) {
    const auto* got = actual.array();
    if (!got || got->size() != wanted->size()) return false;
    for (std::size_t i = 0; i < wanted->size(); ++i)
      if (!json_contains((*got)[i], (*wanted)[i])) return false;
    return true;
  }
  return actual == expected;
}

bool header_value_found(const ServiceRequest& r, const std::string& name, const std::string* pattern) {
  const std::string wanted = lower(name);
  for (const auto& [key, value] : r.headers)
    if (lower(key) == wanted && (!pattern || glob_search(value, *pattern))) return true;
  return false;
}

// The request matchers from `first` on: `header NAME PATTERN` (the pattern
// found in one value of that header, name without case), `header-absent
// NAME`, `header-not NAME PATTERN` (no value holds it) and `json {...}` (the
// body holding the JSON pattern).
bool request_details_match(const ServiceRequest& r, const std::vector<std::string>& args, std::size_t first) {
  for (std::size_t i = first; i < args.size();) {
    if (args[i] == "header" && i + 2 < args.size()) {
      if (!header_value_found(r, args[i + 1], &args[i + 2])) return false;
      i += 3;
    } else if (args[i] == "header-absent" && i + 1 < args.size()) {
      if (header_value_found(r, args[i + 1], nullptr)) return false;
      i += 2;
    } else if (args[i] == "header-not" && i + 2 < args.size()) {
      if (header_value_found(r, args[i + 1], &args[i + 2])) return false;
      i += 3;
    } else if (args[i] == "json" && i + 1 < args.size()) {
      auto expected = foundation::json::parse(args[i + 1], {.allow_fragments = true});
      auto actual = foundation::json::parse(r.body, {.allow_fragments = true});
      if (!expected || !actual || !json_contains(*actual, *expected)) return false;
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

// A scripted answer from the words of a `route` line.
ServiceAnswer service_answer(const std::vector<std::string>& a) {
  ServiceAnswer answer;
  answer.service = a[0];
  answer.method = a[1];
  std::transform(answer.method.begin(), answer.method.end(), answer.method.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  answer.path = a[2];
  bool typed = false;
  for (std::size_t i = 3; i < a.size(); ++i) {
    if (a[i] == "status") {
      answer.status = std::stoi(a[++i]);
    } else if (a[i] == "header") {
      typed = typed || lower(a[i + 1]) == "content-type";
      answer.headers.emplace_back(a[i + 1], a[i + 2]);
      i += 2;
    } else if (a[i] == "body") {
      answer.body = a[++i];
    } else if (a[i] == "json") {
      answer.body = a[++i];
      if (!typed) answer.headers.emplace_back("Content-Type", "application/json");
      typed = true;
    } else if (a[i] == "delay") {
      answer.delay_s = std::stod(a[++i]) / 1000;
    } else if (a[i] == "drop") {
      answer.action = ServiceAnswer::Action::drop;
    } else if (a[i] == "refuse") {
      answer.action = ServiceAnswer::Action::refuse;
    }
  }
  return answer;
}

bool screen_matches(const std::string& pattern) {
  std::string screen = dump_screen();
  std::size_t start = 0;
  while (start <= screen.size()) {
    std::size_t nl = screen.find('\n', start);
    std::string_view line = std::string_view(screen).substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (glob_search(line, pattern)) return true;
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return false;
}

bool alert_visible() {
  if (dynamic_cast<ui::AlertController*>(detail::top_controller())) return true;
  ui::Application* app = ui::Application::shared();
  return app && !app->visible_alert_views().empty();
}

bool page_loading() {
  return detail::find_visible_view([](ui::View& v) { return detail::is_loading(v); }) != nullptr;
}

}  // namespace

struct ScenarioPlayer::State : std::enable_shared_from_this<State> {
  std::vector<Command> commands;
  std::size_t next = 0;
  int steps = 0, expectations = 0, failed = 0, exit_code = 0;
  bool started = false, finished = false;
  std::function<void()> on_finished;

  // The wait in progress.
  bool waiting = false;
  double deadline = 0;
  int idle_checks = 0;
  // What waits have consumed.
  std::size_t console_cursor = 0, syslog_cursor = 0, pages_seen = 0;
  // One cursor per service, so a wait for one service never passes over
  // requests another received meanwhile.
  std::map<std::string, std::size_t> request_cursors;
  // Set by `mark`: waits and expectations look only at what came after.
  std::size_t console_mark = 0, request_mark = 0;
  // A `route` line ran: its answers are removed when the scenario ends.
  bool routed = false;

  // The requests since the mark.
  std::vector<ServiceRequest> requests_since_mark() const {
    auto all = service_requests();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(request_mark, all.size())));
    return all;
  }
  std::vector<std::string> console_since_mark() const {
    auto all = console_lines();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(console_mark, all.size())));
    return all;
  }

  void mark() {
    console_mark = console_cursor = std::max(console_cursor, console_lines().size());
    request_mark = service_requests().size();
    for (auto& [service, cursor] : request_cursors) cursor = std::max(cursor, request_mark);
    pages_seen = std::max(pages_seen, detail::pages_finished());
  }

  void reset_routes() {
    if (!routed) return;
    routed = false;
    reset_service_answers();
  }

  void fail(const Command& cmd, const std::string& why) {
    ++failed;
    exit_code = std::max(exit_code, 1);
    emit(Tag::step, "line " + std::to_string(cmd.line) + " failed: " + why);
  }

  // A line from `cursor` on holding `needle`; the cursor moves past it.
  static bool consume_line(const std::vector<std::string>& lines, const std::string& needle, std::size_t& cursor) {
    for (std::size_t i = cursor; i < lines.size(); ++i) {
      if (lines[i].find(needle) != std::string::npos) {
        cursor = i + 1;
        return true;
      }
    }
    return false;
  }

  bool is_expectation(const Command& cmd) const { return cmd.name == "wait" || cmd.name == "expect"; }

  // Whether a wait's condition holds now; consumes what it matched.
  bool wait_satisfied(const Command& cmd) {
    const std::string& kind = cmd.args[0];
    if (kind == "console") return consume_line(console_lines(), cmd.args[1], console_cursor);
    if (kind == "syslog") return consume_line(system_log_lines(), cmd.args[1], syslog_cursor);
    if (kind == "request") {
      auto requests = service_requests();
      std::size_t& cursor = request_cursors[cmd.args[1]];
      cursor = std::max(cursor, request_mark);
      for (std::size_t i = cursor; i < requests.size(); ++i) {
        if (request_matches(requests[i], cmd.args[1], &cmd.args[2], cmd.args[3])) {
          cursor = i + 1;
          return true;
        }
      }
      return false;
    }
    if (kind == "page-finished") {
      if (detail::pages_finished() > pages_seen) {
        ++pages_seen;
        return true;
      }
      return false;
    }
    if (kind == "alert") return alert_visible();
    // idle: nothing loading, no network task in flight, no block queued or
    // running on the pool (parked ones aside) and nothing else waiting on the
    // main run loop, twice in a row.
    if (!page_loading() && net::tasks_in_flight() == 0 && dispatch::pool_is_quiet() &&
        dispatch::RunLoop::main().pending_count() == 0) {
      if (++idle_checks >= 2) return true;
    } else {
      idle_checks = 0;
    }
    return false;
  }

  std::string wait_description(const Command& cmd) const {
    std::string out = cmd.args[0];
    for (std::size_t i = 1; i < cmd.args.size(); ++i) out += " " + cmd.args[i];
    return out;
  }

  // Runs an expect; false when it failed.
  void expect(const Command& cmd) {
    const std::string& kind = cmd.args[0];
    bool ok = false;
    std::string seen;
    if (kind == "console") {
      for (const std::string& line : console_since_mark()) ok = ok || line.find(cmd.args[1]) != std::string::npos;
    } else if (kind == "syslog") {
      for (const std::string& line : system_log_lines()) ok = ok || line.find(cmd.args[1]) != std::string::npos;
    } else if (kind == "request") {
      for (const auto& r : requests_since_mark())
        ok = ok || (request_matches(r, cmd.args[1], &cmd.args[2], cmd.args[3]) && request_details_match(r, cmd.args, 4));
    } else if (kind == "requests") {
      std::size_t n = 0;
      for (const auto& r : requests_since_mark())
        n += request_matches(r, cmd.args[1], &cmd.args[2], cmd.args[3]) && request_details_match(r, cmd.args, 5);
      ok = n == std::stoull(cmd.args[4]);  // the parser took a count of up to a million
      seen = " (saw " + std::to_string(n) + ")";
    } else if (kind == "no-request") {
      ok = true;
      for (const auto& r : requests_since_mark()) ok = ok && !request_matches(r, cmd.args[1], nullptr, cmd.args[2]);
    } else if (kind == "screen") {
      ok = screen_matches(cmd.args[1]);
    }
    if (!ok) fail(cmd, "expectation not met: " + wait_description(cmd) + seen);
  }

  // Runs one command that completes at once. Waits and sleeps are handled by the callers.
  void run_command(const Command& cmd) {
    Device& d = device();
    const auto& a = cmd.args;
    auto opt = [&](const char* name) -> std::optional<std::string> {
      auto it = cmd.options.find(name);
      if (it == cmd.options.end()) return std::nullopt;
      return it->second;
    };
    auto dict = [](const std::string& text) {
      auto v = foundation::json::parse(text);
      return v && v->dict() ? *v->dict() : foundation::Dict{};
    };
    const std::string& n = cmd.name;
    Result r;
    if (n == "launch") {
      LaunchOptions o;
      if (auto v = opt("--options")) o.options = dict(*v);
      o.url = opt("--url");
      o.activity = opt("--activity");
      if (auto v = opt("--notification")) o.notification = dict(*v);
      r = d.launch(std::move(o));
    } else if (n == "authorize") {
      r = d.authorize(a[0] == "allow");
    } else if (n == "device-token") {
      r = d.device_token(a.empty() ? std::nullopt : std::optional<std::string>(a[0]));
    } else if (n == "token-error") {
      r = d.token_error(std::stoll(a[0]));
    } else if (n == "push") {
      r = d.push(dict(a[0]), opt("--content-available").has_value());
    } else if (n == "tap-notification") {
      r = d.tap_notification(dict(a[0]), opt("--action"), opt("--text"));
    } else if (n == "dismiss-notification") {
      r = d.dismiss_notification(dict(a[0]));
    } else if (n == "universal-link") {
      r = d.universal_link(a.empty() ? std::nullopt : std::optional<std::string>(a[0]),
                           opt("--type").value_or(std::string(ui::activity_type_browsing_web)));
    } else if (n == "open-url") {
      r = d.open_url(a[0]);
    } else if (n == "background") {
      r = d.background();
    } else if (n == "foreground") {
      r = d.foreground();
    } else if (n == "terminate") {
      r = d.terminate();
    } else if (n == "memory-warning") {
      r = d.memory_warning();
    } else if (n == "expire-background-tasks") {
      r = d.expire_background_tasks();
    } else if (n == "network") {
      r = d.network(a[0] == "off" ? NetworkSetting::off : a[0] == "wwan" ? NetworkSetting::wwan : NetworkSetting::on);
    } else if (n == "low-power") {
      r = d.low_power(a[0] == "on");
    } else if (n == "rotate") {
      r = d.rotate(std::stoi(a[0]));
    } else if (n == "tap-link") {
      r = d.tap_link(a[0]);
    } else if (n == "close-window") {
      r = d.close_window();
    } else if (n == "js-alert") {
      r = d.js_alert(a[0]);
    } else if (n == "js-confirm") {
      r = d.js_confirm(a[0]);
    } else if (n == "submit-form") {
      r = d.submit_form(a[0]);
    } else if (n == "script-message") {
      auto body = foundation::json::parse(a[1], {.allow_fragments = true});
      r = d.script_message(a[0], body ? *body : foundation::Value());
    } else if (n == "pull-to-refresh") {
      r = d.pull_to_refresh();
    } else if (n == "tap") {
      r = d.tap(a[0]);
    } else if (n == "tap-alert") {
      r = d.tap_alert(a[0]);
    } else if (n == "tap-back") {
      r = d.tap_back();
    } else if (n == "purchase") {
      r = d.purchase(a[0], a.size() > 1 ? std::stoi(a[1]) : 1);
    } else if (n == "location") {
      auto accuracy = [&](std::size_t i) { return a.size() > i ? std::optional<double>(std::stod(a[i])) : std::nullopt; };
      r = d.location(std::stod(a[0]), std::stod(a[1]), accuracy(2), accuracy(3));
    } else if (n == "background-session-events") {
      r = d.background_session_events(a[0]);
    } else if (n == "screen") {
      emit(Tag::screen, dump_screen());
    } else if (n == "cookies") {
      emit(Tag::os, d.cookies());
    } else if (n == "defaults") {
      emit(Tag::os, d.defaults(a.empty() ? std::nullopt : std::optional<std::string>(a[0])));
    } else if (n == "keychain") {
      emit(Tag::os, d.keychain());
    } else if (n == "files") {
      emit(Tag::os, d.files(a.empty() ? std::nullopt : std::optional<std::string>(a[0])));
    } else if (n == "crash") {
      d.crash(a[0] == "segv" ? CrashKind::segv : a[0] == "abort" ? CrashKind::abort : CrashKind::exception);
    } else if (n == "expect") {
      expect(cmd);
    } else if (n == "mark") {
      mark();
    } else if (n == "route") {
      routed = true;
      if (std::string why = set_service_answer(service_answer(a)); !why.empty()) r = Result::failure(why);
    } else if (n == "skip-time") {
      r = detail::skip_time(*cmd.timeout_s);
    } else if (n == "reset-routes") {
      routed = true;
      reset_routes();
    }
    if (!r) fail(cmd, r.message);
    d.report_opened_urls();
  }

  void begin(const Command& cmd) {
    ++steps;
    if (is_expectation(cmd)) ++expectations;
    emit(Tag::step, cmd.text);
  }

  // One turn of the player on the main run loop.
  void turn() {
    if (finished) return;
    if (next >= commands.size()) return finish();
    const Command& cmd = commands[next];
    if (!waiting) {
      begin(cmd);
      if (cmd.name == "wait" || cmd.name == "sleep") {
        waiting = true;
        idle_checks = 0;
        deadline = now_s() + (cmd.name == "sleep" ? *cmd.timeout_s : cmd.timeout_s.value_or(default_timeout_s));
      } else {
        run_command(cmd);
        ++next;
        return schedule(0);
      }
    }
    double now = now_s();
    if (cmd.name == "sleep") {
      if (now >= deadline) return step_done();
      return schedule(deadline - now);
    }
    if (wait_satisfied(cmd)) return step_done();
    if (now >= deadline) {
      fail(cmd, "timed out waiting for " + wait_description(cmd));
      return step_done();
    }
    schedule(std::min(kPollSeconds, deadline - now));
  }

  void step_done() {
    waiting = false;
    ++next;
    device().report_opened_urls();
    schedule(0);
  }

  void schedule(double delay_s) {
    std::weak_ptr<State> weak = weak_from_this();
    auto block = [weak] {
      if (auto self = weak.lock()) self->turn();
    };
    if (delay_s <= 0) {
      dispatch::RunLoop::main().perform(block);
    } else {
      dispatch::RunLoop::main().perform_after(this, "scenario", dispatch::Duration(delay_s), block);
    }
  }

  void finish() {
    finished = true;
    reset_routes();
    emit(Tag::done, std::to_string(steps) + " steps, " + std::to_string(expectations) + " expectations, " +
                        std::to_string(failed) + " failed");
    if (auto fn = on_finished) fn();
  }
};

ScenarioPlayer::ScenarioPlayer(std::vector<Command> commands) : state_(std::make_shared<State>()) {
  state_->commands = std::move(commands);
}

ScenarioPlayer::~ScenarioPlayer() {
  dispatch::RunLoop::main().cancel_perform_requests(state_.get());
  // Answers a scenario scripted never outlive it.
  state_->reset_routes();
}

void ScenarioPlayer::start() {
  if (state_->started) return;
  state_->started = true;
  state_->console_cursor = 0;
  state_->syslog_cursor = 0;
  state_->pages_seen = 0;
  state_->schedule(0);
}

bool ScenarioPlayer::finished() const { return state_->finished; }
int ScenarioPlayer::exit_code() const { return state_->exit_code; }
void ScenarioPlayer::set_on_finished(std::function<void()> fn) { state_->on_finished = std::move(fn); }
int ScenarioPlayer::steps() const { return state_->steps; }
int ScenarioPlayer::expectations() const { return state_->expectations; }
int ScenarioPlayer::failed() const { return state_->failed; }

int ScenarioPlayer::run_line(std::string_view line) {
  auto parsed = parse_line(line, state_->steps + 1);
  if (auto* error = std::get_if<ParseError>(&parsed)) {
    emit(Tag::step, error->describe());
    state_->exit_code = 2;
    return 2;
  }
  auto& cmd = std::get<std::optional<Command>>(parsed);
  if (!cmd) return 0;
  State& s = *state_;
  int failed_before = s.failed;
  s.begin(*cmd);
  if (cmd->name == "sleep") {
    dispatch::RunLoop::main().run_for(dispatch::Duration(*cmd->timeout_s));
  } else if (cmd->name == "wait") {
    double deadline = now_s() + cmd->timeout_s.value_or(default_timeout_s);
    s.idle_checks = 0;
    bool ok = false;
    while (!(ok = s.wait_satisfied(*cmd)) && now_s() < deadline) {
      double slice = std::min(kPollSeconds, deadline - now_s());
      dispatch::RunLoop::main().run_until([&] { return false; }, dispatch::Duration(std::max(slice, 0.0)));
    }
    if (!ok) s.fail(*cmd, "timed out waiting for " + s.wait_description(*cmd));
  } else {
    s.run_command(*cmd);
  }
  return s.failed > failed_before ? 1 : 0;
}

}  // namespace platform::sim
