#pragma once
// Where a notification's launch URL opens: in the in-app browser screen, or
// outside the app through the application, after an optional confirmation.
#include <memory>
#include <string_view>

#include "platform/foundation/url.h"

namespace push {

class RerAvirorWebView;

// Standard user defaults: open launch URLs in the app (absent: YES, stored on first use).
inline constexpr std::string_view kInAppLaunchURLKey = "RERAVIROR_INAPP_LAUNCH_URL";
// Links on the store's web host always leave the app.
inline constexpr std::string_view kAppStoreWebHost = "apps.store.example.net";
// Delay on the main queue before the URL opens.
inline constexpr double kLaunchURLOpenDelaySeconds = 0.25;

namespace RerAvirorHelper {

// Decides where the URL opens and opens it on the main queue 0.25 s after an
// asynchronous hop there; with the prompt switch on, the user confirms first.
void displayWebView(const platform::foundation::Url& url);

// The process-wide browser screen; nullptr until a URL first opened in the app.
std::shared_ptr<RerAvirorWebView> webVC();

}  // namespace RerAvirorHelper
}  // namespace push
