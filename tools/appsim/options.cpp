#include "tools/appsim/options.h"

#include <algorithm>
#include <cctype>

namespace appsim {

const char* const kUsage =
    "usage: appsim demo [OPTIONS]\n"
    "       appsim run [--device DIR] [--bundle B] [OPTIONS] SCRIPT\n"
    "       appsim repl [--device DIR] [--bundle B] [OPTIONS]   (commands from standard input)\n"
    "options:\n"
    "  --device DIR     use this device folder (kept); default: a fresh temporary one\n"
    "  --bundle B       the app bundle; default: App.app of this build\n"
    "  --profile NAME   device profile from devices/ (default, ios9, ios10, appstore) for a new device\n"
    "  --fakes          start the loopback services and route the app's hosts to them (demo always does)\n"
    "  --host NAME      also serve the site NAME on loopback (service NAME; repeatable; implies --fakes)\n"
    "  --quiet-svc      leave out the service request lines\n"
    "  --verbose        service request lines list the request headers\n"
    "  --json           one JSON object per line: {\"tag\":...,\"text\":...}\n"
    "  --reinstall      delete the app's container before start (the keychain stays)\n"
    "  --platform-demo  launch the platform demo app instead of the app (demo: scenarios/demo-platform.txt)\n"
    "exit code: 0 every expectation held, 1 one failed, 2 a bad command line or script line\n";

namespace {

// A DNS name: labels of letters, digits and '-', at least one dot.
bool valid_host_name(const std::string& name) {
  if (name.empty() || name.size() > 253 || name.find('.') == std::string::npos) return false;
  if (name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.';
  });
}

bool valid_profile_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_';
  });
}

}  // namespace

std::variant<Options, UsageError> parse_options(const std::vector<std::string>& args) {
  Options o;
  if (args.empty()) return UsageError{"no command given"};
  const std::string& command = args[0];
  if (command == "demo") o.mode = Mode::demo;
  else if (command == "run") o.mode = Mode::run;
  else if (command == "repl") o.mode = Mode::repl;
  else if (command == "help" || command == "--help" || command == "-h") {
    o.mode = Mode::help;
    return o;
  } else {
    return UsageError{"unknown command '" + command + "'"};
  }

  std::vector<std::string> positional;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
      continue;
    }
    std::optional<std::string> inline_value;
    if (const auto eq = arg.find('='); eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inline_value) return inline_value;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto flag = [&](bool& target) -> std::optional<UsageError> {
      if (inline_value) return UsageError{arg + " takes no value"};
      target = true;
      return std::nullopt;
    };
    std::optional<UsageError> error;
    if (arg == "--device" || arg == "--bundle" || arg == "--profile") {
      auto v = value();
      if (!v || v->empty()) return UsageError{arg + " needs a value"};
      if (arg == "--device") o.device = *v;
      else if (arg == "--bundle") o.bundle = *v;
      else if (!valid_profile_name(*v)) return UsageError{"--profile: '" + *v + "' is not a profile name"};
      else o.profile = *v;
    } else if (arg == "--host") {
      auto v = value();
      if (!v || v->empty()) return UsageError{arg + " needs a value"};
      std::string host = *v;
      std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
      if (!valid_host_name(host)) return UsageError{"--host: '" + *v + "' is not a host name"};
      if (std::find(o.hosts.begin(), o.hosts.end(), host) == o.hosts.end()) o.hosts.push_back(host);
    } else if (arg == "--verbose") {
      error = flag(o.verbose);
    } else if (arg == "--fakes") {
      error = flag(o.fakes);
    } else if (arg == "--quiet-svc") {
      error = flag(o.quiet_svc);
    } else if (arg == "--json") {
      error = flag(o.json);
    } else if (arg == "--reinstall") {
      error = flag(o.reinstall);
    } else if (arg == "--platform-demo") {
      error = flag(o.platform_demo);
    } else if (arg == "--") {
      for (++i; i < args.size(); ++i) positional.push_back(args[i]);
    } else {
      return UsageError{"unknown option " + arg};
    }
    if (error) return *error;
  }

  if (o.mode == Mode::run) {
    if (positional.size() != 1) return UsageError{"run takes one SCRIPT"};
    o.script = positional[0];
  } else if (!positional.empty()) {
    return UsageError{"unexpected argument '" + positional[0] + "'"};
  }
  if (o.mode == Mode::demo || !o.hosts.empty()) o.fakes = true;
  if (o.reinstall && !o.device) return UsageError{"--reinstall needs --device (a new device has nothing installed)"};
  return o;
}

}  // namespace appsim
