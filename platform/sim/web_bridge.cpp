// Without the web module: no web views to find.
#include "platform/sim/device.h"
#include "platform/sim/internal.h"

namespace platform::sim::detail {
namespace {
Result none() { return Result::failure("no web view"); }
}  // namespace
void install_page_observer() {}
void remove_page_observer() {}
std::size_t pages_finished() { return 0; }
std::optional<std::string> describe_web_view(const ui::View&) { return std::nullopt; }
bool is_web_view(const ui::View&) { return false; }
bool is_loading(const ui::View&) { return false; }
std::string web_cookies() { return {}; }
Result page_tap_link(ui::View&, const std::string&) { return none(); }
Result page_close_window(ui::View&) { return none(); }
Result page_js_alert(ui::View&, const std::string&) { return none(); }
Result page_js_confirm(ui::View&, const std::string&) { return none(); }
Result page_submit_form(ui::View&, const std::string&) { return none(); }
Result page_script_message(ui::View&, const std::string&, const foundation::Value&) { return none(); }
}  // namespace platform::sim::detail
