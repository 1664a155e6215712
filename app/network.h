#pragma once
// The registration of the push player id with the intranet server: the web
// cookie read and the POST to "/api/reraviror/register".
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/cookie.h"

namespace app {

// Below 11.0: returns at once and never calls `completion`. Otherwise reads
// every cookie of the default website data store and calls `completion` once,
// on the main thread, in store order; with a filter only cookies whose domain
// contains it (case-sensitive).
void getCookies(std::optional<std::string> domainFilter,
                std::function<void(std::vector<platform::net::Cookie>)> completion);

// The completion the navigation policy passes to getCookies: one
// registerPlayer call, with the whole list, per cookie named exactly "PHPSESSID".
void registerForSessionCookies(const std::vector<platform::net::Cookie>& cookies);

class Network {
 public:
  // Without a player id nothing happens. Otherwise the cookies go into the
  // shared HTTP session's cookie storage for the registration address (which
  // keeps only those that domain-match its host) and one JSON POST
  // {"player-id": id} starts; a failed reply prints its error as one plain line.
  static void registerPlayer(const std::vector<platform::net::Cookie>& cookies);
};

}  // namespace app
