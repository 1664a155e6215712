#pragma once
// The composition root: the app's runtime classes, the code-defined
// storyboard "Main", the load-hook table and the deployment addresses.
#include <span>
#include <string_view>

#include "platform/runtime/runtime.h"

namespace app {

namespace deployment {
inline constexpr std::string_view intranet = "https://intranet.example.org";
inline constexpr std::string_view push_service = "https://push.example.net/";
inline constexpr std::string_view maker_site = "https://www.example.com";
}  // namespace deployment

// Accessibility ids of the storyboard's views (the simulator finds them by these).
namespace view_id {
inline constexpr std::string_view web_view = "webView";
inline constexpr std::string_view connection_lost = "connectionLostView";
inline constexpr std::string_view reload_button = "reloadButton";
inline constexpr std::string_view activity_indicator = "activityIndicatorView";
}  // namespace view_id

inline constexpr std::string_view delegate_class = "AppDelegate";

// The core's "FIRApp", analytics' "DAVIdovivove" and "DAVIdovivoveConnector", "AppDelegate" (UIResponder) with exactly the selectors
// it implements, and "ViewController" (UIViewController). Classes already
// registered stay.
void register_runtime_classes();
// "Main": a navigation controller around a ViewController; the scene
// "ViewController" with its outlets, reload button and legacy delegate.
void define_storyboards();
// The load hooks built so far, in the program's order.
std::span<const platform::rt::LoadHook> load_hooks();

// The program entry: registers the classes and storyboards, then the
// platform's application main with "AppDelegate". Returns 0.
int main(int argc, char** argv);

}  // namespace app
