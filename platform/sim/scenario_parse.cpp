// The scenario line parser.
#include <cctype>
#include <charconv>
#include <cmath>
#include <set>

#include "platform/foundation/json.h"
#include "platform/foundation/url.h"
#include "platform/sim/scenario.h"

namespace platform::sim {

namespace {

struct Fail {
  std::string message;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

class Cursor {
 public:
  explicit Cursor(std::string_view line) : line_(line) {}

  void skip_space() {
    while (pos_ < line_.size() && is_space(line_[pos_])) ++pos_;
  }
  bool at_end() {
    skip_space();
    return pos_ >= line_.size();
  }
  char peek() {
    skip_space();
    return pos_ < line_.size() ? line_[pos_] : '\0';
  }
  std::size_t pos() const { return pos_; }
  void set_pos(std::size_t p) { pos_ = p; }

  // The next argument: a JSON-quoted string (decoded), a JSON object or
  // array (as written), or a bare word. nullopt at the end of the line.
  std::optional<std::string> token() {
    if (at_end()) return std::nullopt;
    char c = line_[pos_];
    if (c == '"') return quoted();
    if (c == '{' || c == '[') return bracketed();
    std::size_t start = pos_;
    while (pos_ < line_.size() && !is_space(line_[pos_])) ++pos_;
    return std::string(line_.substr(start, pos_ - start));
  }

  // The next argument as JSON text: a quoted string as written, an object
  // or array, or a bare word (number, true, false, null).
  std::optional<std::string> json_text() {
    if (at_end()) return std::nullopt;
    if (line_[pos_] == '"') {
      std::size_t start = pos_;
      quoted();
      return std::string(line_.substr(start, pos_ - start));
    }
    return token();
  }

  // The rest of the line as written.
  std::string rest() {
    if (at_end()) return {};
    std::string_view raw = line_.substr(pos_);
    while (!raw.empty() && is_space(raw.back())) raw.remove_suffix(1);
    pos_ = line_.size();
    return std::string(raw);
  }

 private:
  std::string quoted() {
    std::size_t start = pos_++;
    bool escaped = false;
    for (; pos_ < line_.size(); ++pos_) {
      char c = line_[pos_];
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        ++pos_;
        auto value = foundation::json::parse(line_.substr(start, pos_ - start), {.allow_fragments = true});
        if (!value || !value->string()) throw Fail{"malformed quoted string"};
        return *value->string();
      }
    }
    throw Fail{"unterminated quoted string"};
  }

  std::string bracketed() {
    std::size_t start = pos_;
    std::vector<char> stack;
    bool in_string = false, escaped = false;
    for (; pos_ < line_.size(); ++pos_) {
      char c = line_[pos_];
      if (in_string) {
        if (escaped) {
          escaped = false;
        } else if (c == '\\') {
          escaped = true;
        } else if (c == '"') {
          in_string = false;
        }
        continue;
      }
      if (c == '"') {
        in_string = true;
      } else if (c == '{' || c == '[') {
        if (stack.size() >= 256) throw Fail{"JSON argument nested too deeply"};
        stack.push_back(c == '{' ? '}' : ']');
      } else if (c == '}' || c == ']') {
        if (stack.empty() || stack.back() != c) throw Fail{"unbalanced JSON argument"};
        stack.pop_back();
        if (stack.empty()) {
          ++pos_;
          return std::string(line_.substr(start, pos_ - start));
        }
      }
    }
    throw Fail{"unterminated JSON argument"};
  }

  std::string_view line_;
  std::size_t pos_ = 0;
};

std::optional<double> parse_number(std::string_view text) {
  if (text.empty() || text.size() > 64) return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<long long> parse_integer(std::string_view text) {
  long long value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

// "2s", "500ms", "1.5" (seconds).
std::optional<double> parse_duration(std::string_view text) {
  double scale = 1;
  if (text.ends_with("ms")) {
    scale = 0.001;
    text.remove_suffix(2);
  } else if (text.ends_with("s")) {
    text.remove_suffix(1);
  }
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.')) {
    return std::nullopt;
  }
  auto value = parse_number(text);
  if (!value || *value < 0 || *value > 86400.0 / scale) return std::nullopt;
  return *value * scale;
}

foundation::Value json_argument(const std::string& text, bool dict_only, const char* what) {
  auto value = foundation::json::parse(text, {.allow_fragments = !dict_only});
  if (!value) throw Fail{std::string(what) + " is not valid JSON"};
  if (dict_only && !value->is_dict()) throw Fail{std::string(what) + " must be a JSON object"};
  return *value;
}

void check_url(const std::string& text) {
  auto url = foundation::Url::parse(text);
  if (!url || !url->scheme()) throw Fail{"not an absolute URL: " + text};
}

std::string need(Cursor& c, const char* what) {
  auto t = c.token();
  if (!t || t->empty()) throw Fail{std::string("missing ") + what};
  return *t;
}

void no_more(Cursor& c) {
  if (!c.at_end()) {
    auto extra = c.token();
    throw Fail{"unexpected argument \"" + extra.value_or("") + "\""};
  }
}

std::string one_of(Cursor& c, const char* what, std::initializer_list<std::string_view> choices) {
  std::string value = need(c, what);
  for (std::string_view choice : choices) {
    if (value == choice) return value;
  }
  std::string list;
  for (std::string_view choice : choices) list += (list.empty() ? "" : "|") + std::string(choice);
  throw Fail{"expected " + list + ", got \"" + value + "\""};
}

// Options (--name [value]) until the end of the line.
void options(Cursor& c, Command& cmd, const std::map<std::string, bool, std::less<>>& allowed) {
  while (!c.at_end()) {
    std::string name = need(c, "option");
    auto it = allowed.find(name);
    if (it == allowed.end()) throw Fail{"unknown option \"" + name + "\""};
    if (cmd.options.count(name)) throw Fail{"option " + name + " given twice"};
    std::string value;
    if (it->second) value = need(c, ("value of " + name).c_str());
    cmd.options[name] = value;
  }
}

// The text argument of wait/expect console etc., with an optional trailing
// timeout for waits.
void optional_timeout(Cursor& c, Command& cmd);

void text_with_timeout(Cursor& c, Command& cmd, bool timeout_allowed, const char* what) {
  if (c.peek() == '"') {
    // A quoted text: a timeout may follow it.
    std::string text = *c.token();
    if (text.empty()) throw Fail{std::string("missing ") + what};
    cmd.args.push_back(text);
    if (timeout_allowed) return optional_timeout(c, cmd);
    return no_more(c);
  }
  std::string text = c.rest();
  if (timeout_allowed) {
    // A last word that reads as a duration is the timeout ("wait console ready 5s").
    std::size_t space = text.find_last_of(" \t");
    if (space != std::string::npos) {
      if (auto d = parse_duration(std::string_view(text).substr(space + 1))) {
        cmd.timeout_s = d;
        text.erase(space);
        while (!text.empty() && is_space(text.back())) text.pop_back();
      }
    }
  }
  if (text.empty()) throw Fail{std::string("missing ") + what};
  cmd.args.push_back(text);
}

// `header NAME PATTERN|absent|not PATTERN` and `json {...}` after an
// expected request, each kept as its words followed by its arguments.
void request_matchers(Cursor& c, Command& cmd) {
  while (auto word = c.token()) {
    if (*word == "header") {
      std::string name = need(c, "header name");
      std::string pattern = need(c, "header value pattern, absent or not");
      if (pattern == "absent") {
        cmd.args.insert(cmd.args.end(), {"header-absent", name});
      } else if (pattern == "not") {
        cmd.args.insert(cmd.args.end(), {"header-not", name, need(c, "header value pattern after not")});
      } else {
        cmd.args.insert(cmd.args.end(), {"header", name, pattern});
      }
    } else if (*word == "json") {
      auto body = c.json_text();
      if (!body) throw Fail{"missing JSON body pattern"};
      json_argument(*body, false, "the JSON body pattern");
      cmd.args.insert(cmd.args.end(), {"json", *body});
    } else {
      throw Fail{"unexpected argument \"" + *word + "\" (header NAME PATTERN|absent|not PATTERN, or json {...})"};
    }
  }
}

// `route SVC METHOD PATH` then what the answer is: `status N`, `header NAME
// VALUE` (repeatable), `body TEXT`, `json {...}`, `delay D`, `drop` or
// `refuse`; kept in args as words with their arguments (delay in seconds).
void route_arguments(Cursor& c, Command& cmd) {
  cmd.args.push_back(need(c, "service"));
  std::string method = need(c, "method");
  for (char ch : method) {
    if (!std::isalpha(static_cast<unsigned char>(ch))) throw Fail{"not a method: \"" + method + "\""};
  }
  cmd.args.push_back(method);
  std::string path = need(c, "path");
  if (path.front() != '/') throw Fail{"a path starts with /: \"" + path + "\""};
  cmd.args.push_back(path);
  std::set<std::string, std::less<>> seen;
  auto once = [&](const std::string& word) {
    if (!seen.insert(word).second) throw Fail{word + " given twice"};
  };
  while (auto word = c.token()) {
    if (*word == "status") {
      once("status");
      std::string value = need(c, "status");
      auto status = parse_integer(value);
      if (!status || *status < 100 || *status > 999) throw Fail{"not a status: \"" + value + "\""};
      cmd.args.insert(cmd.args.end(), {"status", value});
    } else if (*word == "header") {
      std::string name = need(c, "header name");
      for (char ch : name) {
        if (ch <= ' ' || ch == ':' || ch == 127) throw Fail{"not a header name: \"" + name + "\""};
      }
      auto value = c.token();
      if (!value) throw Fail{"missing header value"};
      if (value->find_first_of("\r\n") != std::string::npos) throw Fail{"a header value is one line"};
      cmd.args.insert(cmd.args.end(), {"header", name, *value});
    } else if (*word == "body" || *word == "json") {
      once("body");
      auto body = *word == "json" ? c.json_text() : c.token();
      if (!body) throw Fail{"missing " + *word};
      if (*word == "json") json_argument(*body, false, "the JSON body");
      cmd.args.insert(cmd.args.end(), {*word, *body});
    } else if (*word == "delay") {
      once("delay");
      std::string d = need(c, "delay");
      auto seconds = parse_duration(d);
      if (!seconds) throw Fail{"not a duration: \"" + d + "\""};
      cmd.args.insert(cmd.args.end(), {"delay", std::to_string(std::llround(*seconds * 1000))});  // ms
    } else if (*word == "drop" || *word == "refuse") {
      once("drop|refuse");
      cmd.args.push_back(*word);
    } else {
      throw Fail{"unexpected argument \"" + *word + "\" (status, header, body, json, delay, drop or refuse)"};
    }
  }
}

void optional_timeout(Cursor& c, Command& cmd) {
  if (auto t = c.token()) {
    auto d = parse_duration(*t);
    if (!d) throw Fail{"not a timeout: \"" + *t + "\""};
    cmd.timeout_s = d;
  }
  no_more(c);
}

void parse_arguments(Cursor& c, Command& cmd) {
  const std::string& n = cmd.name;
  static const std::set<std::string, std::less<>> bare{
      "background", "foreground", "terminate", "memory-warning", "expire-background-tasks", "close-window",
      "pull-to-refresh", "tap-back", "screen", "cookies", "keychain", "mark", "reset-routes"};
  if (bare.count(n)) return no_more(c);
  if (n == "launch") {
    options(c, cmd, {{"--options", true}, {"--url", true}, {"--activity", true}, {"--notification", true}});
    if (auto it = cmd.options.find("--options"); it != cmd.options.end()) json_argument(it->second, true, "--options");
    if (auto it = cmd.options.find("--notification"); it != cmd.options.end()) {
      json_argument(it->second, true, "--notification");
    }
    if (auto it = cmd.options.find("--url"); it != cmd.options.end()) check_url(it->second);
    if (auto it = cmd.options.find("--activity"); it != cmd.options.end()) check_url(it->second);
    return;
  }
  if (n == "authorize") {
    cmd.args.push_back(one_of(c, "allow|deny", {"allow", "deny"}));
    return no_more(c);
  }
  if (n == "device-token") {
    if (auto t = c.token()) {
      bool ok = !t->empty() && t->size() % 2 == 0;
      for (char ch : *t) ok = ok && std::isxdigit(static_cast<unsigned char>(ch));
      if (!ok) throw Fail{"not a hex token: \"" + *t + "\""};
      cmd.args.push_back(*t);
    }
    return no_more(c);
  }
  if (n == "token-error") {
    std::string code = need(c, "error code");
    if (!parse_integer(code)) throw Fail{"not an error code: \"" + code + "\""};
    cmd.args.push_back(code);
    return no_more(c);
  }
  if (n == "push" || n == "tap-notification" || n == "dismiss-notification") {
    auto payload = c.json_text();
    if (!payload) throw Fail{"missing notification payload"};
    json_argument(*payload, true, "the payload");
    cmd.args.push_back(*payload);
    if (n == "push") return options(c, cmd, {{"--content-available", false}});
    if (n == "tap-notification") return options(c, cmd, {{"--action", true}, {"--text", true}});
    return no_more(c);
  }
  if (n == "universal-link") {
    // [URL] [--type TYPE]: without a URL the activity has no page address.
    if (auto t = c.peek(); t != '\0' && t != '-') {
      std::string url = need(c, "URL");
      check_url(url);
      cmd.args.push_back(url);
    }
    if (auto t = c.token()) {
      if (*t != "--type") throw Fail{"unexpected argument \"" + *t + "\" (--type TYPE)"};
      auto type = c.token();  // may be empty: ""
      if (!type) throw Fail{"missing value of --type"};
      cmd.options["--type"] = *type;
    }
    return no_more(c);
  }
  if (n == "route") return route_arguments(c, cmd);
  if (n == "open-url") {
    std::string url = need(c, "URL");
    check_url(url);
    cmd.args.push_back(url);
    return no_more(c);
  }
  if (n == "network") {
    cmd.args.push_back(one_of(c, "on|off|wwan", {"on", "off", "wwan"}));
    return no_more(c);
  }
  if (n == "low-power") {
    cmd.args.push_back(one_of(c, "on|off", {"on", "off"}));
    return no_more(c);
  }
  if (n == "rotate") {
    std::string value = need(c, "orientation");
    auto o = parse_integer(value);
    if (!o || *o < 0 || *o > 6) throw Fail{"not an orientation (0-6): \"" + value + "\""};
    cmd.args.push_back(value);
    return no_more(c);
  }
  if (n == "tap-link" || n == "submit-form" || n == "tap" || n == "background-session-events") {
    cmd.args.push_back(need(c, n == "tap-link" ? "link" : n == "submit-form" ? "form action" : "identifier"));
    return no_more(c);
  }
  if (n == "js-alert" || n == "js-confirm" || n == "tap-alert") {
    return text_with_timeout(c, cmd, false, n == "tap-alert" ? "title" : "message");
  }
  if (n == "script-message") {
    cmd.args.push_back(need(c, "handler name"));
    auto body = c.json_text();
    if (!body) throw Fail{"missing message body"};
    json_argument(*body, false, "the message body");
    cmd.args.push_back(*body);
    return no_more(c);
  }
  if (n == "purchase") {
    cmd.args.push_back(need(c, "product"));
    if (auto q = c.token()) {
      auto quantity = parse_integer(*q);
      if (!quantity || *quantity < 1 || *quantity > 1000000) throw Fail{"not a quantity: \"" + *q + "\""};
      cmd.args.push_back(*q);
    }
    return no_more(c);
  }
  if (n == "location") {
    std::string lat = need(c, "latitude"), lon = need(c, "longitude");
    auto la = parse_number(lat), lo = parse_number(lon);
    if (!la || *la < -90 || *la > 90) throw Fail{"not a latitude: \"" + lat + "\""};
    if (!lo || *lo < -180 || *lo > 180) throw Fail{"not a longitude: \"" + lon + "\""};
    cmd.args = {lat, lon};
    // Optional horizontal, then vertical accuracy in metres.
    for (const char* what : {"horizontal accuracy", "vertical accuracy"}) {
      auto t = c.token();
      if (!t) break;
      auto accuracy = parse_number(*t);
      if (!accuracy || !std::isfinite(*accuracy)) throw Fail{std::string("not a ") + what + ": \"" + *t + "\""};
      cmd.args.push_back(*t);
    }
    return no_more(c);
  }
  if (n == "defaults" || n == "files") {
    if (auto t = c.token()) cmd.args.push_back(*t);
    return no_more(c);
  }
  if (n == "crash") {
    cmd.args.push_back(one_of(c, "segv|abort|exception", {"segv", "abort", "exception"}));
    return no_more(c);
  }
  if (n == "sleep" || n == "skip-time") {
    std::string d = need(c, "duration");
    auto seconds = parse_duration(d);
    if (!seconds) throw Fail{"not a duration: \"" + d + "\""};
    cmd.timeout_s = seconds;
    return no_more(c);
  }
  if (n == "wait") {
    std::string kind = one_of(c, "page-finished|console|syslog|request|alert|idle",
                              {"page-finished", "console", "syslog", "request", "alert", "idle"});
    cmd.args.push_back(kind);
    if (kind == "console") return text_with_timeout(c, cmd, true, "console text");
    if (kind == "syslog") return text_with_timeout(c, cmd, true, "system log text");
    if (kind == "request") {
      cmd.args.push_back(need(c, "service"));
      cmd.args.push_back(need(c, "method"));
      cmd.args.push_back(need(c, "path"));
    }
    return optional_timeout(c, cmd);
  }
  if (n == "expect") {
    std::string kind = one_of(c, "console|syslog|request|requests|screen|no-request",
                              {"console", "syslog", "request", "requests", "screen", "no-request"});
    cmd.args.push_back(kind);
    if (kind == "console") return text_with_timeout(c, cmd, false, "console text");
    if (kind == "syslog") return text_with_timeout(c, cmd, false, "system log text");
    if (kind == "screen") return text_with_timeout(c, cmd, false, "screen pattern");
    cmd.args.push_back(need(c, "service"));
    if (kind != "no-request") cmd.args.push_back(need(c, "method"));
    cmd.args.push_back(need(c, "path"));
    if (kind == "requests") {
      std::string count = need(c, "count");
      auto n_requests = parse_integer(count);
      if (!n_requests || *n_requests < 0 || *n_requests > 1000000) throw Fail{"not a count: \"" + count + "\""};
      cmd.args.push_back(count);
    }
    if (kind != "no-request") return request_matchers(c, cmd);
    return no_more(c);
  }
  throw Fail{"unknown command \"" + n + "\""};
}

}  // namespace

std::string ScenarioPlayer::ParseError::describe() const { return "line " + std::to_string(line) + ": " + message; }

std::variant<std::optional<Command>, ScenarioPlayer::ParseError> ScenarioPlayer::parse_line(std::string_view line,
                                                                                          int line_number) {
  while (!line.empty() && (is_space(line.front()) || line.front() == '\n')) line.remove_prefix(1);
  while (!line.empty() && (is_space(line.back()) || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty() || line.front() == '#') return std::optional<Command>{};
  Command cmd;
  cmd.line = line_number;
  cmd.text = std::string(line);
  try {
    Cursor c(line);
    auto name = c.token();
    cmd.name = name.value_or("");
    for (char ch : cmd.name) {
      if (!(std::islower(static_cast<unsigned char>(ch)) || ch == '-')) throw Fail{"unknown command \"" + cmd.name + "\""};
    }
    parse_arguments(c, cmd);
  } catch (const Fail& f) {
    return ParseError{line_number, f.message};
  }
  return std::optional<Command>(std::move(cmd));
}

std::variant<std::vector<Command>, ScenarioPlayer::ParseError> ScenarioPlayer::parse(std::string_view text) {
  std::vector<Command> commands;
  int number = 0;
  while (!text.empty() || number == 0) {
    ++number;
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    auto parsed = parse_line(line, number);
    if (auto* error = std::get_if<ParseError>(&parsed)) return *error;
    if (auto& cmd = std::get<std::optional<Command>>(parsed)) commands.push_back(std::move(*cmd));
    if (text.empty()) break;
  }
  return commands;
}

}  // namespace platform::sim
