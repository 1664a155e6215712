#pragma once

namespace app {

class Helper {
 public:
  // A fresh reachability reference for the all-zero IPv4 address on every
  // call: connected exactly when reachable (2) is set and connection-required
  // (4) is not. No reference or no flags: not connected.
  static bool isConnectedToNetwork();
};

}  // namespace app
