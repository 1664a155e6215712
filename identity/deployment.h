#pragma once
// Compiled-in deployment values of the instance identity client (constants; any thread).
#include <string_view>

namespace identity {

// The device checkin endpoint and the token register endpoint of the identity service.
inline constexpr std::string_view kFIRInstanceIDCheckinURL = "https://checkin.example.net/checkin";
inline constexpr std::string_view kFIRInstanceIDRegisterURL = "https://iid.example.net/iid/register";

}  // namespace identity
