// appsim: runs the app (or, with --platform-demo, the platform demo app) on
// the simulated device, driven by a scenario script (run), by standard input
// (repl), or by the built-in demo scenario (demo).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/image.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/fd_io.h"
#include "platform/os/file_manager.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/sim/app_image.h"
#include "platform/sim/output.h"
#include "platform/sim/scenario.h"
#include "platform/sim/services.h"
#include "platform/sim/sim.h"
#include "tools/appsim/demo_app.h"
#include "tools/appsim/options.h"
#include "tools/appsim/setup.h"

namespace appsim {
namespace {

namespace sim = platform::sim;
using platform::dispatch::Duration;
using platform::dispatch::RunLoop;

constexpr int kExitBad = 2;

void write_out(std::string_view text) { (void)platform::foundation::fd_io::write_all(1, text); }

// Every line of the run goes out here: "<tag padded to 6>| <text>", or one
// JSON object per line with --json.
void install_printer(const Options& options) {
  sim::set_line_sink([json = options.json, quiet_svc = options.quiet_svc](sim::Tag tag, std::string_view text) {
    if (quiet_svc && tag == sim::Tag::svc) return;
    std::string line;
    if (json) {
      const nlohmann::json object = {{"tag", std::string(sim::tag_name(tag))}, {"text", std::string(text)}};
      line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } else {
      line = std::string(sim::tag_name(tag));
      line.resize(6, ' ');
      line += "| ";
      line += text;
    }
    line += '\n';
    write_out(line);
  });
}

std::optional<std::string> read_file(const fs::path& path) {
  auto bytes = platform::os::FileManager::shared().read(path);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

int fail(const std::string& message) {
  std::fprintf(stderr, "appsim: %s\n", message.c_str());
  return kExitBad;
}

// Lines from standard input, read on their own thread so the main run loop
// keeps turning while the user types.
class InputLines {
 public:
  InputLines() {
    reader_ = std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
      }
      std::lock_guard lock(mutex_);
      ended_ = true;
    });
  }
  ~InputLines() {
    if (reader_.joinable()) reader_.join();
  }
  bool ready() {
    std::lock_guard lock(mutex_);
    return !lines_.empty() || ended_;
  }
  // nullopt once standard input ended and every line was taken.
  std::optional<std::string> take() {
    std::lock_guard lock(mutex_);
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.erase(lines_.begin());
    return line;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  bool ended_ = false;
  std::thread reader_;
};

class Session {
 public:
  explicit Session(Options options) : options_(std::move(options)) {}
  ~Session() { cleanup(); }

  int run() {
    install_printer(options_);
    sim::set_show_request_headers(options_.verbose);

    const fs::path bundle = options_.bundle.value_or(default_bundle());
    if (!fs::is_regular_file(bundle / "Info.plist")) return fail("no app bundle at " + bundle.string());

    std::vector<sim::Command> commands;
    if (options_.mode != Mode::repl) {
      const fs::path script =
          options_.mode == Mode::demo
              ? executable_directory() / "scenarios" / (options_.platform_demo ? "demo-platform.txt" : "demo.txt")
              : options_.script;
      const auto text = read_file(script);
      if (!text) return fail("cannot read the script " + script.string());
      auto parsed = sim::ScenarioPlayer::parse(*text);
      if (auto* error = std::get_if<sim::ScenarioPlayer::ParseError>(&parsed)) {
        sim::emit(sim::Tag::done, "not run: " + script.filename().string() + " " + error->describe());
        return fail(script.string() + ": " + error->describe());
      }
      commands = std::move(std::get<std::vector<sim::Command>>(parsed));
    }

    auto prepared = prepare_device(options_);
    if (auto* f = std::get_if<Failure>(&prepared)) return fail(f->message);
    device_ = std::get<PreparedDevice>(std::move(prepared));

    if (options_.reinstall) {
      auto removed = remove_app_container(device_.directory, bundle);
      if (auto* f = std::get_if<Failure>(&removed)) return fail(f->message);
      sim::emit(sim::Tag::os, "reinstall: deleted " + std::get<fs::path>(removed).string() + ", keychain kept");
    }

    if (options_.fakes) {
      try {
        services_ = std::make_unique<LoopbackServices>(options_.hosts);
      } catch (const std::exception& e) {
        return fail(std::string("cannot start the loopback services: ") + e.what());
      }
      if (auto f = services_->install_into(device_.directory)) return fail(f->message);
    }

    auto booted = sim::boot(device_.directory, bundle);
    if (!booted) return fail("boot failed: " + booted.error().description());
    const auto& profile = platform::os::profile();
    sim::emit(sim::Tag::os, "device " + device_.profile_name + ": iOS " + profile.system_version + " " +
                                profile.machine + ", container " +
                                platform::os::container_directory().string());
    if (services_) sim::emit(sim::Tag::svc, services_->summary());
    sim::set_app(options_.platform_demo ? demo_app_image() : app::image());

    return options_.mode == Mode::repl ? repl() : play(std::move(commands));
  }

 private:
  int play(std::vector<sim::Command> commands) {
    sim::ScenarioPlayer player(std::move(commands));
    player.start();
    auto& loop = RunLoop::main();
    // terminate stops the run loop; the player still has its done line to give.
    while (!player.finished()) loop.run_until([&] { return player.finished(); }, Duration(1.0));
    return player.exit_code();
  }

  int repl() {
    sim::ScenarioPlayer player({});
    InputLines input;
    auto& loop = RunLoop::main();
    int worst = 0;
    for (;;) {
      while (!input.ready()) loop.run_until([&] { return input.ready(); }, Duration(0.05));
      auto line = input.take();
      if (!line) break;
      worst = std::max(worst, player.run_line(*line));
    }
    sim::emit(sim::Tag::done, "standard input ended");
    return worst;
  }

  void cleanup() {
    if (services_) services_->stop();
    if (device_.temporary && !device_.directory.empty()) {
      std::error_code ec;
      fs::remove_all(device_.directory, ec);
    }
  }

  Options options_;
  PreparedDevice device_;
  std::unique_ptr<LoopbackServices> services_;
};

}  // namespace
}  // namespace appsim

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto parsed = appsim::parse_options(args);
  if (auto* error = std::get_if<appsim::UsageError>(&parsed)) {
    std::fprintf(stderr, "appsim: %s\n%s", error->message.c_str(), appsim::kUsage);
    return 2;
  }
  auto& options = std::get<appsim::Options>(parsed);
  if (options.mode == appsim::Mode::help) {
    std::fputs(appsim::kUsage, stdout);
    return 0;
  }
  int code;
  {
    appsim::Session session(std::move(options));
    code = session.run();
  }
  // Platform worker threads (a transfer still in its TLS handshake, a timer)
  // may outlive the scenario; exit handlers such as the TLS library's cleanup
  // would free what they use, so the process ends without running them.
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}
