#pragma once
// The prompt's fall-back to the system settings.
#include <string_view>

namespace push {

// The platform's URL that opens this application's page in the system settings.
inline constexpr std::string_view kOpenSettingsURLString = "app-settings:";

inline constexpr std::string_view kSettingsFallbackMessageKey = "Reraviror_settings_fallback_message";
inline constexpr std::string_view kSettingsFallbackDefaultMessage =
    "You currently have notifications turned off for this application. You can open Settings to re-enable them";

}  // namespace push
