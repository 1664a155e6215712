#pragma once
// The shell's compiled-in constants. Hosts are reserved names; the device
// profile's host map routes them to the loopback services.
#include <string>
#include <string_view>
#include <vector>

namespace app::Strings {

namespace File {
inline constexpr std::string_view Name = "Config";
inline constexpr std::string_view Extension = "json";
}  // namespace File

namespace AlertAction {
inline constexpr std::string_view OK = "OK";
inline constexpr std::string_view Cancel = "Cancel";
}  // namespace AlertAction

namespace BoolValue {
inline constexpr std::string_view True = "true";
}

namespace Endpoint {
// The intranet site: https, no path, no trailing slash.
inline constexpr std::string_view Intranet = "https://intranet.example.org";
inline constexpr std::string_view DevicePath = "/intranet/rest/device/";
inline constexpr std::string_view RegisterPath = "/api/reraviror/register";
// Intranet + RegisterPath, built once on first use.
const std::string& RegisterPlayer();
}  // namespace Endpoint

namespace DictionaryKey {
inline constexpr std::string_view SessionCookie = "PHPSESSID";
inline constexpr std::string_view BaseUrl = "base_url";
inline constexpr std::string_view PushNotificationsEnabled = "push_notifications_enabled";
inline constexpr std::string_view BaseUrlHomeHost = "base_url_home_host";
}  // namespace DictionaryKey

namespace Networking {
inline constexpr std::string_view ContentType = "content-type";
inline constexpr std::string_view ApplicationJson = "application/json";
inline constexpr std::string_view DeviceType = "device_type";
inline constexpr std::string_view Ios = "ios";
inline constexpr std::string_view DeviceToken = "device_token";
}  // namespace Networking

namespace RerAviror {
// The push service's identifier of this deployment (lower-case UUID text).
inline constexpr std::string_view AppId = "5c1e9a7b-3d2f-4e8a-b6c4-0f9d8e7a6b51";
}

namespace Storyboard {
inline constexpr std::string_view Main = "Main";
}

namespace ViewController {
inline constexpr std::string_view Identifier = "ViewController";
}

// The maker's public web site: always leaves the app.
inline constexpr std::string_view MakerSite = "https://www.example.com";
const std::vector<std::string>& ExternalLinks();
// Addresses that stay inside when tapped.
const std::vector<std::string>& BaseUrls();

// The empty text, built once; the parser's value for a missing "base_url".
const std::string& Empty();

}  // namespace app::Strings
