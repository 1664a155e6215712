#include "platform/sim/device.h"
#include "platform/sim/internal.h"
#include "platform/sim/scenario.h"
#include "platform/sim/screen.h"

#include <cstdlib>

namespace platform::sim {
namespace {
Result todo() { return Result::failure("not available yet"); }
}
Result Device::launch(LaunchOptions) { return todo(); }
bool Device::running() const { return false; }
Result Device::background() { return todo(); }
Result Device::foreground() { return todo(); }
Result Device::terminate() { return todo(); }
Result Device::memory_warning() { return todo(); }
Result Device::expire_background_tasks() { return todo(); }
Result Device::authorize(bool) { return todo(); }
Result Device::device_token(std::optional<std::string>) { return todo(); }
Result Device::token_error(std::int64_t) { return todo(); }
Result Device::push(foundation::Dict, bool) { return todo(); }
Result Device::tap_notification(foundation::Dict, std::optional<std::string>, std::optional<std::string>) { return todo(); }
Result Device::dismiss_notification(foundation::Dict) { return todo(); }
Result Device::universal_link(std::string) { return todo(); }
Result Device::open_url(std::string) { return todo(); }
Result Device::background_session_events(std::string) { return todo(); }
Result Device::network(NetworkSetting) { return todo(); }
Result Device::low_power(bool) { return todo(); }
Result Device::rotate(int) { return todo(); }
Result Device::tap_link(std::string) { return todo(); }
Result Device::close_window() { return todo(); }
Result Device::js_alert(std::string) { return todo(); }
Result Device::js_confirm(std::string) { return todo(); }
Result Device::submit_form(std::string) { return todo(); }
Result Device::script_message(std::string, foundation::Value) { return todo(); }
Result Device::pull_to_refresh() { return todo(); }
Result Device::tap(std::string) { return todo(); }
Result Device::tap_alert(std::string) { return todo(); }
Result Device::tap_back() { return todo(); }
Result Device::purchase(std::string, int) { return todo(); }
Result Device::location(double, double) { return todo(); }
std::string Device::cookies() const { return {}; }
std::string Device::defaults(std::optional<std::string>) const { return {}; }
std::string Device::keychain() const { return {}; }
std::string Device::files(std::optional<std::string>) const { return {}; }
void Device::crash(CrashKind) { std::abort(); }
void Device::report_opened_urls() {}
Device& device() { static Device d; return d; }
std::string dump_screen() { return "no key window"; }
struct ScenarioPlayer::State { std::vector<Command> commands; };
std::string ScenarioPlayer::ParseError::describe() const { return "line " + std::to_string(line) + ": " + message; }
std::variant<std::vector<Command>, ScenarioPlayer::ParseError> ScenarioPlayer::parse(std::string_view) { return std::vector<Command>{}; }
std::variant<std::optional<Command>, ScenarioPlayer::ParseError> ScenarioPlayer::parse_line(std::string_view, int) { return std::optional<Command>{}; }
ScenarioPlayer::ScenarioPlayer(std::vector<Command> commands) : state_(std::make_shared<State>(State{std::move(commands)})) {}
ScenarioPlayer::~ScenarioPlayer() = default;
void ScenarioPlayer::start() {}
bool ScenarioPlayer::finished() const { return true; }
int ScenarioPlayer::exit_code() const { return 0; }
void ScenarioPlayer::set_on_finished(std::function<void()>) {}
int ScenarioPlayer::steps() const { return 0; }
int ScenarioPlayer::expectations() const { return 0; }
int ScenarioPlayer::failed() const { return 0; }
int ScenarioPlayer::run_line(std::string_view) { return 0; }
namespace detail {
void install_page_observer() {}
std::size_t pages_finished() { return 0; }
void reset_device() {}
}
}  // namespace platform::sim
