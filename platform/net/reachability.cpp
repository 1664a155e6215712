#include "platform/net/reachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os/system.h"

namespace platform::net {

namespace {

std::uint32_t state_flags(const os::NetworkState& s) {
  std::uint32_t f = 0;
  if (s.connection_required) f |= reach_flags::connection_required;
  if (s.on_demand) f |= reach_flags::connection_on_demand;
  if (s.intervention_required) f |= reach_flags::intervention_required;
  if (s.reachable) {
    f |= reach_flags::reachable;
    if (s.wwan) f |= reach_flags::is_wwan;
  }
  return f;
}

bool is_loopback_v4(std::uint32_t host_order) { return (host_order >> 24) == 127; }
bool is_link_local_v4(std::uint32_t host_order) { return (host_order >> 16) == 0xa9fe; }  // 169.254/16

}  // namespace

struct Reachability::State {
  struct Scheduled {
    dispatch::RunLoop* loop;
    std::uint64_t epoch;
  };
  explicit State(Kind k) : kind(k) {}

  std::uint32_t flags_for(const os::NetworkState& s) const {
    switch (kind) {
      case Kind::local: return reach_flags::reachable | reach_flags::is_local_address | reach_flags::is_direct;
      case Kind::link_local: {
        std::uint32_t f = state_flags(s);
        if (f & reach_flags::reachable) f |= reach_flags::is_local_address | reach_flags::is_direct;
        return f & ~static_cast<std::uint32_t>(reach_flags::is_wwan);
      }
      case Kind::any: break;
    }
    return state_flags(s);
  }

  bool still_scheduled(dispatch::RunLoop* loop, std::uint64_t epoch) const {
    return std::any_of(loops.begin(), loops.end(),
                       [&](const Scheduled& s) { return s.loop == loop && s.epoch == epoch; });
  }

  static void on_change(const std::weak_ptr<State>& weak, const os::NetworkState& network) {
    auto st = weak.lock();
    if (!st) return;
    std::vector<Scheduled> targets;
    std::uint32_t f = 0;
    {
      std::lock_guard lk(st->m);
      if (!st->alive || st->loops.empty()) return;
      f = st->flags_for(network);
      if (f == st->last_flags) return;
      st->last_flags = f;
      targets = st->loops;
    }
    for (const auto& t : targets) post(weak, t, f);
  }

  // Delivers `f` on the loop's next turn, unless the target was unscheduled
  // from that loop (or destroyed) by then.
  static void post(const std::weak_ptr<State>& weak, const Scheduled& t, std::uint32_t f) {
    t.loop->perform([weak, t, f] {
      auto s = weak.lock();
      if (!s) return;
      std::function<void(std::uint32_t)> cb;
      {
        std::lock_guard lk(s->m);
        if (!s->alive || !s->still_scheduled(t.loop, t.epoch)) return;
        cb = s->callback;
      }
      if (cb) cb(f);
    });
  }

  const Kind kind;
  mutable std::mutex m;
  bool alive = true;
  std::function<void(std::uint32_t)> callback;
  std::vector<Scheduled> loops;
  std::uint64_t next_epoch = 1;
  std::optional<std::uint64_t> observer;
  std::uint32_t last_flags = 0;
};

Reachability::Reachability(Kind kind) : state_(std::make_shared<State>(kind)) {}

Reachability::~Reachability() {
  std::optional<std::uint64_t> observer;
  {
    std::lock_guard lk(state_->m);
    state_->alive = false;
    state_->loops.clear();
    state_->callback = nullptr;
    observer = state_->observer;
    state_->observer.reset();
  }
  if (observer) os::remove_network_observer(*observer);
}

std::shared_ptr<Reachability> Reachability::for_address(const sockaddr& address) {
  Kind kind = Kind::any;
  if (address.sa_family == AF_INET) {
    sockaddr_in in;
    std::memcpy(&in, &address, sizeof in);
    std::uint32_t a = ntohl(in.sin_addr.s_addr);
    if (is_loopback_v4(a)) kind = Kind::local;
    else if (is_link_local_v4(a)) kind = Kind::link_local;
  } else if (address.sa_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    const in6_addr& a = in6.sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) {
      kind = Kind::local;
    } else if (IN6_IS_ADDR_LINKLOCAL(&a)) {
      kind = Kind::link_local;
    } else if (IN6_IS_ADDR_V4MAPPED(&a)) {
      std::uint32_t v4;
      std::memcpy(&v4, &a.s6_addr[12], sizeof v4);
      v4 = ntohl(v4);
      if (is_loopback_v4(v4)) kind = Kind::local;
      else if (is_link_local_v4(v4)) kind = Kind::link_local;
    }
  } else {
    return nullptr;
  }
  return std::shared_ptr<Reachability>(new Reachability(kind));
}

std::shared_ptr<Reachability> Reachability::for_host(std::string_view name) {
  if (name.empty()) return nullptr;
  std::string host(name);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  sockaddr_in in{};
  sockaddr_in6 in6{};
  if (inet_pton(AF_INET, host.c_str(), &in.sin_addr) == 1) {
    in.sin_family = AF_INET;
    return for_address(reinterpret_cast<const sockaddr&>(in));
  }
  if (inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) == 1) {
    in6.sin6_family = AF_INET6;
    return for_address(reinterpret_cast<const sockaddr&>(in6));
  }
  bool local = host == "localhost" || host.ends_with(".localhost");
  return std::shared_ptr<Reachability>(new Reachability(local ? Kind::local : Kind::any));
}

std::optional<std::uint32_t> Reachability::flags() const {
  if (!os::booted()) return std::nullopt;
  return state_->flags_for(os::network_state());
}

bool Reachability::set_callback(std::function<void(std::uint32_t)> callback) {
  std::lock_guard lk(state_->m);
  state_->callback = std::move(callback);
  return true;
}

bool Reachability::schedule(dispatch::RunLoop& loop, ScheduleOptions options) {
  std::lock_guard lk(state_->m);
  auto it = std::find_if(state_->loops.begin(), state_->loops.end(),
                         [&](const State::Scheduled& s) { return s.loop == &loop; });
  if (it == state_->loops.end()) {
    if (!state_->observer) {
      std::weak_ptr<State> weak = state_;
      // The observer is added before the baseline is read, so no change falls between them.
      state_->observer = os::add_network_observer([weak](const os::NetworkState& s) { State::on_change(weak, s); });
      state_->last_flags = state_->flags_for(os::network_state());
    }
    state_->loops.push_back(State::Scheduled{&loop, state_->next_epoch++});
    it = std::prev(state_->loops.end());
  }
  // Posted under the lock: a change reported later is posted after this one.
  if (options.report_current && os::booted()) State::post(state_, *it, state_->last_flags);
  return true;
}

bool Reachability::unschedule(dispatch::RunLoop& loop) {
  std::optional<std::uint64_t> observer;
  {
    std::lock_guard lk(state_->m);
    auto it = std::find_if(state_->loops.begin(), state_->loops.end(),
                           [&](const State::Scheduled& s) { return s.loop == &loop; });
    if (it == state_->loops.end()) return false;
    state_->loops.erase(it);
    if (state_->loops.empty()) {
      observer = state_->observer;
      state_->observer.reset();
    }
  }
  if (observer) os::remove_network_observer(*observer);
  return true;
}

}  // namespace platform::net
