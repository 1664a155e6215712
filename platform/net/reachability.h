#pragma once
// Network reachability of an address or a host name, read from the device's
// live network state (os::network_state()); the host's own routes and DNS
// are never consulted.
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/dispatch/run_loop.h"

namespace platform::net {

namespace reach_flags {
enum : std::uint32_t {
  transient = 1,
  reachable = 2,
  connection_required = 4,
  connection_on_traffic = 8,
  intervention_required = 16,
  connection_on_demand = 32,
  is_local_address = 0x10000,
  is_direct = 0x20000,
  is_wwan = 0x40000,
};
}  // namespace reach_flags

struct ScheduleOptions {
  // Also posts the current flags to the loop once, right after scheduling
  // (as a host-name target reports once its name resolves). Changes made
  // afterwards follow that report in order. Nothing is posted before boot.
  bool report_current = false;
};

// Thread-safe. A scheduled target follows the live network state: when its
// flags change, the callback runs on every run loop it is scheduled on, with
// the new flags; by default nothing is reported when first scheduled. Nothing
// is delivered after unschedule or destruction. A run loop must outlive its
// scheduling (unschedule before it goes away).
class Reachability {
 public:
  // AF_INET or AF_INET6 (the sockaddr is read as sockaddr_in / sockaddr_in6);
  // nullptr for another family. The all-zero address asks for any route.
  static std::shared_ptr<Reachability> for_address(const sockaddr& address);
  // nullptr for an empty name.
  static std::shared_ptr<Reachability> for_host(std::string_view name);

  // Reachable state: reachable, plus is_wwan on a cellular link and the
  // connection_required / connection_on_demand / intervention_required bits
  // the state carries; an unreachable state keeps only those three bits.
  // Loopback targets are always reachable | is_local_address | is_direct;
  // link-local ones add is_local_address. nullopt before the device boots.
  std::optional<std::uint32_t> flags() const;

  // Replaces the callback (an empty function removes it). Always true.
  bool set_callback(std::function<void(std::uint32_t)> callback);
  // True when `loop` is scheduled afterwards (also when it already was; the
  // current flags are then reported too when asked for).
  bool schedule(dispatch::RunLoop& loop, ScheduleOptions options = {});
  // False when `loop` was not scheduled.
  bool unschedule(dispatch::RunLoop& loop);

  ~Reachability();
  Reachability(const Reachability&) = delete;
  Reachability& operator=(const Reachability&) = delete;

  struct State;

 private:
  enum class Kind { any, local, link_local };
  explicit Reachability(Kind kind);
  std::shared_ptr<State> state_;
};

}  // namespace platform::net
