#pragma once
// The OS side of the simulated device: every operation the system performs
// on the running app, each as one method. Call on the main thread after
// sim::boot. Every message to an app-side object goes through rt::send after
// a responds-to check, so replaced or exchanged methods see it; every
// completion handed to the app acts on its first call only. Each operation
// prints what the system does as os lines.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/value.h"
#include "platform/ui/application.h"

namespace platform::sim {

// The outcome of an operation: failed when it could not run (no app running,
// no visible web view, no such control...), with a message saying why.
struct Result {
  bool ok = true;
  std::string message;
  static Result success() { return {}; }
  static Result failure(std::string why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};

struct LaunchOptions {
  foundation::Dict options;                      // taken as they are
  std::optional<std::string> url;                // UIApplicationLaunchOptionsURLKey (a URL object)
  std::optional<std::string> activity;           // a browsing-web user activity for this page URL
  std::optional<foundation::Dict> notification;  // UIApplicationLaunchOptionsRemoteNotificationKey
};

enum class NetworkSetting { on, off, wwan };
enum class CrashKind { segv, abort, exception };

class Device {
 public:
  // ---- app lifecycle ----
  // Start-up with the AppImage (set_app): its classes and storyboards once,
  // then ui::application_launch with the launch options.
  Result launch(LaunchOptions options = {});
  bool running() const;  // launched and not terminated
  Result background();   // will-resign-active, did-enter-background; starts the background time
  Result foreground();   // will-enter-foreground, did-become-active
  Result terminate();    // will-terminate, preferences flushed, main run loop stopped
  Result memory_warning();
  // Runs the expiration handlers of every background task still running.
  Result expire_background_tasks();

  // ---- notifications ----
  Result authorize(bool allow);
  // did-register with these bytes; without hex, the device's automatic token.
  Result device_token(std::optional<std::string> hex = {});
  Result token_error(std::int64_t code);
  Result push(foundation::Dict payload, bool content_available = false);
  Result tap_notification(foundation::Dict payload, std::optional<std::string> action = {},
                          std::optional<std::string> text = {});
  Result dismiss_notification(foundation::Dict payload);

  // ---- URLs and activities ----
  // A user activity of `activity_type` (browsing-web unless given) whose
  // page address is `url`; without one the activity has no page address.
  Result universal_link(std::optional<std::string> url,
                        std::string activity_type = std::string(ui::activity_type_browsing_web));
  Result open_url(std::string url);
  Result background_session_events(std::string identifier);

  // ---- device state ----
  Result network(NetworkSetting setting);
  Result low_power(bool enabled);
  Result rotate(int orientation);

  // ---- page-side events on the visible web view ----
  Result tap_link(std::string href);
  Result close_window();
  Result js_alert(std::string message);
  Result js_confirm(std::string message);
  Result submit_form(std::string action);
  Result script_message(std::string name, foundation::Value body);

  // ---- user input on the visible screen ----
  Result pull_to_refresh();
  Result tap(std::string accessibility_id);
  Result tap_alert(std::string title);
  Result tap_back();

  // ---- store and location ----
  Result purchase(std::string product, int quantity = 1);
  // Accuracies (metres) not given are the profile's.
  Result location(double latitude, double longitude, std::optional<double> horizontal_accuracy = std::nullopt,
                  std::optional<double> vertical_accuracy = std::nullopt);

  // ---- state, as text (one item per line) ----
  std::string cookies() const;
  std::string defaults(std::optional<std::string> domain = {}) const;
  std::string keychain() const;
  std::string files(std::optional<std::string> dir = {}) const;

  // Really crashes the process: SIGSEGV from a bad memory access, abort(), or
  // an uncaught foundation::Exception.
  [[noreturn]] void crash(CrashKind kind);

  // Prints URLs the app opened since the last call (os lines).
  void report_opened_urls();
};

Device& device();

}  // namespace platform::sim
