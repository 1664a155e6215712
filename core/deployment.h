#pragma once
// Compiled-in deployment values of the core (constants; any thread).
#include <string_view>

namespace core {

// The analytics collection host: the network client's default reachability
// host, and the host analytics uploads and configuration fetches go to.
inline constexpr std::string_view kAnalyticsCollectionHost = "analytics.example.net";

// The log collection endpoint the batched log uploader posts to.
inline constexpr std::string_view kLogCollectionEndpoint = "https://logs.example.net/log";

}  // namespace core
