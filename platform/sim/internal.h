#pragma once
// State shared by the simulator's sources.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"

namespace platform::sim {
struct Result;
}

namespace platform::sim::detail {

// Console capture: installs the console sinks (idempotent) / restores them.
void install_console_capture();
void remove_console_capture();
void reset_output();
void reset_services();
void reset_app_image();
void reset_device();
// The system log's size at boot, where system_log_lines() starts (system_log.cpp).
void mark_system_log_start();
void reset_system_log_mark();

// ---- the device's clock (clock.cpp) ----
// Moves the device's clock forward by `seconds` at once: wall, monotonic and
// uptime move together, and every deadline that falls within fires now. Fails
// when the installed clock does not advance by itself (a test's manual clock).
Result skip_time(double seconds);

// ---- web views (web_bridge.cpp) ----
void install_page_observer();
void remove_page_observer();
std::size_t pages_finished();  // main-frame finishes since boot
// One line about a web view ("web <url> "<title>" loading|finished"), nullopt
// for any other view.
std::optional<std::string> describe_web_view(const ui::View& view);
bool is_web_view(const ui::View& view);
bool is_loading(const ui::View& view);
// Cookies of the default website data store, one per line.
std::string web_cookies();
// Page-side events on a web view.
Result page_tap_link(ui::View& view, const std::string& href);
Result page_close_window(ui::View& view);
Result page_js_alert(ui::View& view, const std::string& message);
Result page_js_confirm(ui::View& view, const std::string& message);
Result page_submit_form(ui::View& view, const std::string& action);
Result page_script_message(ui::View& view, const std::string& name, const foundation::Value& body);

// ---- the visible screen (screen.cpp) ----
// The controller on top: the key window's root, then down the presented
// chain; nullptr without a key window.
ui::ViewController* top_controller();
// Depth-first over the views shown by the visible controllers, topmost
// presented controller first; stops when `visit` returns true and returns
// that view.
ui::View* find_visible_view(const std::function<bool(ui::View&)>& visit);
// The navigation controller showing the top controller, if any.
ui::NavigationController* visible_navigation_controller();

}  // namespace platform::sim::detail
