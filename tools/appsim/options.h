#pragma once
// The appsim command line.
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace appsim {

enum class Mode { demo, run, repl, help };

struct Options {
  Mode mode = Mode::help;
  std::optional<std::filesystem::path> device;  // --device DIR
  std::optional<std::filesystem::path> bundle;  // --bundle B
  std::optional<std::string> profile;           // --profile NAME
  std::filesystem::path script;                 // run: SCRIPT
  bool fakes = false;                           // --fakes (always on for demo)
  bool quiet_svc = false;                       // --quiet-svc
  bool json = false;                            // --json
  bool reinstall = false;                       // --reinstall
  bool platform_demo = false;                   // --platform-demo: the platform demo app
  bool verbose = false;                         // --verbose: svc lines list the request headers
  std::vector<std::string> hosts;               // --host NAME (repeatable): more loopback sites
};

struct UsageError {
  std::string message;
};

// `args` without the program name. "--name value" and "--name=value" both work.
std::variant<Options, UsageError> parse_options(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace appsim
