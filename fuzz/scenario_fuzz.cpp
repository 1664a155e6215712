// The scenario line parser on arbitrary scripts: it never crashes, and every
// command it accepts parses again from its own text to the same command.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using platform::sim::Command;
  using platform::sim::ScenarioPlayer;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = ScenarioPlayer::parse(text);
  if (auto* error = std::get_if<ScenarioPlayer::ParseError>(&parsed)) {
    if (error->line < 1 || error->message.empty()) std::abort();
    return 0;
  }
  for (const Command& cmd : std::get<std::vector<Command>>(parsed)) {
    auto again = ScenarioPlayer::parse_line(cmd.text, cmd.line);
    auto* same = std::get_if<std::optional<Command>>(&again);
    if (!same || !*same) std::abort();
    const Command& c = **same;
    if (c.name != cmd.name || c.args != cmd.args || c.options != cmd.options || c.timeout_s != cmd.timeout_s) {
      std::abort();
    }
  }
  return 0;
}
