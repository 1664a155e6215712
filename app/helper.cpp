#include "app/helper.h"

#include <netinet/in.h>

#include <cstring>

#include "platform/net/reachability.h"

namespace app {

bool Helper::isConnectedToNetwork() {
  sockaddr_in zero;
  std::memset(&zero, 0, sizeof zero);
  static_assert(sizeof zero == 16);
  zero.sin_family = AF_INET;
  auto reachability = platform::net::Reachability::for_address(reinterpret_cast<const sockaddr&>(zero));
  if (!reachability) return false;
  const auto flags = reachability->flags();
  if (!flags) return false;
  return (*flags & 6u) == 2u;
}

}  // namespace app
