#pragma once
// The platform demo app: a small application delegate and a code-defined
// "Main" storyboard (a navigation controller around a web view showing the
// intranet home page). It exercises the platform on its own and reports what
// it sees on its console, so scenarios can wait for and expect its lines.
#include "platform/sim/app_image.h"

namespace appsim {

// Console lines the demo app writes (scenarios match on them).
//   "launched" [" for a notification"]
//   "user defaults: launch <n>"          (1 on the first launch of an install)
//   "keychain: install marker written" | "keychain: install marker kept from an earlier install"
//   "notifications allowed: true|false"
//   "device token <hex> (<n> bytes)" | "remote notifications failed: <code>"
//   "page finished: <url> \"<title>\"" | "page failed: <url>: <error>"
//   "cookies: <name>, ..." (the web view's cookie store after each finished page; "cookies: none")
//   "push in front: <alert>" | "push received: <alert>"
//   "notification tapped: <action>" and "opening <url>" for a payload with "targetUrl"
//   "active", "inactive", "in the background", "entering the foreground", "terminating"
platform::sim::AppImage demo_app_image();

}  // namespace appsim
