#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/net/reachability.h"
#include "platform/os/system.h"
#include "tests/platform/net/cookie_fixture.h"

namespace platform::net::test {
namespace {

namespace rf = reach_flags;
using os::NetworkState;

std::shared_ptr<Reachability> for_ipv4(const char* text) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  EXPECT_EQ(inet_pton(AF_INET, text, &in.sin_addr), 1);
  return Reachability::for_address(reinterpret_cast<const sockaddr&>(in));
}

std::shared_ptr<Reachability> for_ipv6(const char* text) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  EXPECT_EQ(inet_pton(AF_INET6, text, &in6.sin6_addr), 1);
  return Reachability::for_address(reinterpret_cast<const sockaddr&>(in6));
}

class ReachabilityTest : public DeviceTest {};

TEST_F(ReachabilityTest, FlagsFollowTheLiveNetworkState) {
  boot();
  struct Case {
    const char* what;
    NetworkState state;
    std::uint32_t any;    // 0.0.0.0 and a host name
    std::uint32_t local;  // link-local address
  };
  const std::uint32_t link = rf::is_local_address | rf::is_direct;
  const std::vector<Case> cases = {
      {"wifi", {}, rf::reachable, rf::reachable | link},
      {"wwan", {.wwan = true}, rf::reachable | rf::is_wwan, rf::reachable | link},
      {"off", {.reachable = false}, 0, 0},
      {"off, wwan interface", {.reachable = false, .wwan = true}, 0, 0},
      {"vpn on demand",
       {.connection_required = true, .on_demand = true, .intervention_required = true},
       rf::reachable | rf::connection_required | rf::connection_on_demand | rf::intervention_required,
       rf::reachable | rf::connection_required | rf::connection_on_demand | rf::intervention_required | link},
      {"off, connection required", {.reachable = false, .connection_required = true}, rf::connection_required,
       rf::connection_required},
  };
  auto zero = for_ipv4("0.0.0.0");
  auto host = Reachability::for_host("intranet.example.org");
  auto v6 = for_ipv6("2001:db8::1");
  auto link_local = for_ipv4("169.254.10.1");
  auto loopback = for_ipv4("127.0.0.1");
  auto loopback6 = for_ipv6("::1");
  auto localhost = Reachability::for_host("LocalHost");
  ASSERT_TRUE(zero && host && v6 && link_local && loopback && loopback6 && localhost);
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.what);
    os::set_network_state(tc.state);
    EXPECT_EQ(zero->flags(), tc.any);
    EXPECT_EQ(host->flags(), tc.any);
    EXPECT_EQ(v6->flags(), tc.any);
    EXPECT_EQ(link_local->flags(), tc.local);
    // The loopback interface is there whatever the network does.
    for (const auto& r : {loopback, loopback6, localhost}) {
      EXPECT_EQ(r->flags(), rf::reachable | rf::is_local_address | rf::is_direct);
    }
  }
}

TEST_F(ReachabilityTest, NoAnswerBeforeBootOrForUnknownTargets) {
  EXPECT_EQ(for_ipv4("0.0.0.0")->flags(), std::nullopt);
  sockaddr unix_like{};
  unix_like.sa_family = AF_UNIX;
  EXPECT_EQ(Reachability::for_address(unix_like), nullptr);
  EXPECT_EQ(Reachability::for_host(""), nullptr);
}

TEST_F(ReachabilityTest, ChangesReachTheCallbackOnTheScheduledRunLoop) {
  boot();
  auto& loop = dispatch::RunLoop::main();
  auto r = Reachability::for_host("intranet.example.org");
  std::vector<std::uint32_t> seen;
  std::vector<std::thread::id> threads;
  ASSERT_TRUE(r->set_callback([&](std::uint32_t f) {
    seen.push_back(f);
    threads.push_back(std::this_thread::get_id());
  }));
  ASSERT_TRUE(r->schedule(loop));

  // Changed from another thread; delivered only when the loop runs.
  std::thread([] { os::set_network_state({.reachable = false}); }).join();
  EXPECT_TRUE(seen.empty());
  loop.run_pending();
  EXPECT_EQ(seen, std::vector<std::uint32_t>{0});

  os::set_network_state({.wwan = true});
  os::set_network_state({.reachable = true, .wwan = true, .connection_required = true});
  loop.run_pending();
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, rf::reachable | rf::is_wwan,
                                              rf::reachable | rf::is_wwan | rf::connection_required}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());

  // A change that leaves this target's flags as they were is not reported.
  seen.clear();
  auto loopback = for_ipv4("127.0.0.1");
  int loopback_calls = 0;
  loopback->set_callback([&](std::uint32_t) { ++loopback_calls; });
  loopback->schedule(loop);
  os::set_network_state({.reachable = false});
  loop.run_pending();
  EXPECT_EQ(loopback_calls, 0);
  EXPECT_EQ(seen, std::vector<std::uint32_t>{0});
}

TEST_F(ReachabilityTest, NothingIsDeliveredAfterUnscheduleOrDestruction) {
  boot();
  auto& loop = dispatch::RunLoop::main();
  int calls = 0;
  auto r = Reachability::for_host("intranet.example.org");
  r->set_callback([&](std::uint32_t) { ++calls; });
  EXPECT_FALSE(r->unschedule(loop));
  ASSERT_TRUE(r->schedule(loop));

  // Posted before unschedule, run after it: dropped.
  os::set_network_state({.reachable = false});
  EXPECT_TRUE(r->unschedule(loop));
  loop.run_pending();
  os::set_network_state({.wwan = true});
  loop.run_pending();
  EXPECT_EQ(calls, 0);

  // Scheduled again, then destroyed with a delivery pending.
  ASSERT_TRUE(r->schedule(loop));
  os::set_network_state({.reachable = false});
  r.reset();
  loop.run_pending();
  EXPECT_EQ(calls, 0);

  // Not scheduled at all: nothing.
  auto idle = Reachability::for_host("intranet.example.org");
  idle->set_callback([&](std::uint32_t) { ++calls; });
  os::set_network_state({});
  loop.run_pending();
  EXPECT_EQ(calls, 0);
}

TEST_F(ReachabilityTest, ReportCurrentPostsTheFlagsOnceOnTheNextTurn) {
  boot();
  auto& loop = dispatch::RunLoop::main();
  os::set_network_state({.wwan = true});
  auto r = Reachability::for_host("intranet.example.org");
  std::vector<std::uint32_t> seen;
  r->set_callback([&](std::uint32_t f) { seen.push_back(f); });

  ASSERT_TRUE(r->schedule(loop, {.report_current = true}));
  EXPECT_TRUE(seen.empty());  // posted, not called from schedule
  loop.run_pending();
  EXPECT_EQ(seen, std::vector<std::uint32_t>{rf::reachable | rf::is_wwan});
  loop.run_pending();
  EXPECT_EQ(seen.size(), 1u);  // once

  // A change made before the report's turn is delivered after it, in order.
  auto second = Reachability::for_host("analytics.example.net");
  std::vector<std::uint32_t> second_seen;
  second->set_callback([&](std::uint32_t f) { second_seen.push_back(f); });
  ASSERT_TRUE(second->schedule(loop, {.report_current = true}));
  os::set_network_state({.reachable = false});
  loop.run_pending();
  EXPECT_EQ(second_seen, (std::vector<std::uint32_t>{rf::reachable | rf::is_wwan, 0}));

  // The default stays changes-only.
  auto plain = Reachability::for_host("intranet.example.org");
  int plain_calls = 0;
  plain->set_callback([&](std::uint32_t) { ++plain_calls; });
  ASSERT_TRUE(plain->schedule(loop));
  loop.run_pending();
  EXPECT_EQ(plain_calls, 0);
}

TEST_F(ReachabilityTest, ReportCurrentIsDroppedByAnUnscheduleBeforeItsTurn) {
  boot();
  auto& loop = dispatch::RunLoop::main();
  auto r = Reachability::for_host("intranet.example.org");
  int calls = 0;
  r->set_callback([&](std::uint32_t) { ++calls; });
  ASSERT_TRUE(r->schedule(loop, {.report_current = true}));
  EXPECT_TRUE(r->unschedule(loop));
  loop.run_pending();
  EXPECT_EQ(calls, 0);

  // Scheduled again at once: only the new scheduling's report arrives.
  ASSERT_TRUE(r->schedule(loop, {.report_current = true}));
  EXPECT_TRUE(r->unschedule(loop));
  ASSERT_TRUE(r->schedule(loop, {.report_current = true}));
  loop.run_pending();
  EXPECT_EQ(calls, 1);
}

TEST_F(ReachabilityTest, CallbackRunsOnTheThreadOfAnotherScheduledLoop) {
  boot();
  auto r = for_ipv4("0.0.0.0");
  ASSERT_TRUE(r);
  std::mutex m;
  std::vector<std::uint32_t> seen;
  std::thread::id callback_thread;
  std::atomic<bool> scheduled{false};
  std::thread worker([&] {
    auto& loop = dispatch::RunLoop::current();
    r->set_callback([&](std::uint32_t f) {
      std::lock_guard lk(m);
      seen.push_back(f);
      callback_thread = std::this_thread::get_id();
    });
    r->schedule(loop);
    scheduled = true;
    loop.run_until(
        [&] {
          std::lock_guard lk(m);
          return !seen.empty();
        },
        std::chrono::seconds(30));
    r->unschedule(loop);
  });
  while (!scheduled) std::this_thread::yield();
  os::set_network_state({.wwan = true});
  const auto worker_id = worker.get_id();
  worker.join();
  std::lock_guard lk(m);
  EXPECT_EQ(seen, std::vector<std::uint32_t>{rf::reachable | rf::is_wwan});
  EXPECT_EQ(callback_thread, worker_id);
}

}  // namespace
}  // namespace platform::net::test
