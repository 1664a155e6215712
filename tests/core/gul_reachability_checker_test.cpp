// The reachability checker: status from flags, reports to the delegate, the
// replaceable platform table, and the checker over the platform's reachability.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/gul_reachability_checker.h"
#include "core/logger.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/reachability.h"
#include "platform/os/system.h"
#include "tests/core/fixture.h"

namespace {

using namespace core;
namespace rf = platform::net::reach_flags;
using platform::dispatch::RunLoop;

class RecordingReachabilityDelegate : public GULReachabilityDelegate {
 public:
  explicit RecordingReachabilityDelegate(bool conforms = true) : conforms_(conforms) {}
  bool implements() const override { return conforms_; }
  void reachabilityStatusChanged(GULReachabilityChecker&, GULReachabilityStatus status) override {
    statuses.push_back(status);
  }
  std::vector<int> statuses;

 private:
  bool conforms_;
};

// A platform table that records its calls and hands the callback to the test.
struct FakeReachabilityApi {
  int created = 0, scheduled = 0, unscheduled = 0, released = 0;
  GULReachabilityCallback callback;
  bool failSchedule = false;

  GULReachabilityApi api() {
    GULReachabilityApi a;
    a.createWithNameFn = [this](std::string_view) -> GULReachabilityRef {
      ++created;
      return std::make_shared<int>(0);
    };
    a.setCallbackFn = [this](const GULReachabilityRef&, GULReachabilityCallback cb) {
      callback = std::move(cb);
      return true;
    };
    a.scheduleWithRunLoopFn = [this](const GULReachabilityRef&, RunLoop&) {
      ++scheduled;
      return !failSchedule;
    };
    a.unscheduleFromRunLoopFn = [this](const GULReachabilityRef&, RunLoop&) {
      ++unscheduled;
      return true;
    };
    a.releaseFn = [this](GULReachabilityRef) { ++released; };
    return a;
  }
};

class GULReachabilityCheckerTest : public core_test::CoreDeviceTest {
 protected:
  void SetUp() override {
    boot();
    GULSetLoggerLevel(GULLoggerLevelDebug);
    delegate_ = std::make_shared<RecordingReachabilityDelegate>();
  }
  static int countMessages(const std::string& text) {
    GULLoggerWaitForQueue();
    int n = 0;
    for (const auto& r : core_test::system_log_records()) n += r.message.find(text) != std::string::npos;
    return n;
  }

  std::shared_ptr<RecordingReachabilityDelegate> delegate_;
};

TEST_F(GULReachabilityCheckerTest, StatusFollowsTheFlagBits) {
  struct Case {
    std::uint32_t flags;
    GULReachabilityStatus status;
  };
  const std::vector<Case> cases = {
      {rf::reachable, kGULReachabilityViaWifi},
      {rf::reachable | rf::is_wwan, kGULReachabilityViaCellular},
      {rf::reachable | rf::connection_required, kGULReachabilityNotReachable},
      {rf::reachable | rf::connection_required | rf::connection_on_traffic, kGULReachabilityViaWifi},
      {rf::reachable | rf::connection_required | rf::connection_on_traffic | rf::intervention_required,
       kGULReachabilityNotReachable},
      {rf::reachable | rf::connection_required | rf::connection_on_demand | rf::is_wwan, kGULReachabilityViaCellular},
      {0, kGULReachabilityNotReachable},
      {rf::is_wwan | rf::connection_on_traffic, kGULReachabilityNotReachable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(GULReachabilityChecker::statusForFlags(c.flags), c.status);
  }
}

TEST_F(GULReachabilityCheckerTest, ReplacedTableReportsOnlyNewStatuses) {
  auto checker = GULReachabilityChecker::initWithReachabilityDelegate(delegate_, "analytics.example.net");
  ASSERT_TRUE(checker);
  FakeReachabilityApi fake;
  checker->setReachabilityApi(fake.api());

  ASSERT_TRUE(checker->start());
  ASSERT_TRUE(checker->start());
  EXPECT_EQ(fake.created, 1);
  EXPECT_EQ(fake.scheduled, 1);
  EXPECT_TRUE(checker->isActive());
  EXPECT_EQ(countMessages("[GULReachability][I-REA902003] Monitoring the network status"), 2);

  ASSERT_TRUE(fake.callback);
  // The second and the last report repeat the status before them.
  for (std::uint32_t flags : std::vector<std::uint32_t>{rf::reachable,
                                                        rf::reachable | rf::connection_required | rf::connection_on_traffic,
                                                        0, rf::reachable | rf::is_wwan, rf::reachable | rf::is_wwan}) {
    fake.callback(flags);
  }
  EXPECT_EQ(delegate_->statuses, (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(checker->reachabilityStatus(), kGULReachabilityViaCellular);
  EXPECT_EQ(countMessages("[I-REA902004] Network status has changed. Code:3, status:Connected"), 1);
  EXPECT_EQ(countMessages("[I-REA902004] Network status has changed. Code:1, status:Disconnected"), 1);

  // Running: the table stays as it is.
  FakeReachabilityApi other;
  checker->setReachabilityApi(other.api());
  EXPECT_EQ(countMessages("[GULReachability][I-REA902000] Cannot change reachability API while reachability is "
                          "running. Call stop first."),
            1);

  checker->stop();
  EXPECT_EQ(fake.unscheduled, 1);
  EXPECT_EQ(fake.released, 1);
  EXPECT_FALSE(checker->isActive());
  EXPECT_EQ(checker->reachabilityStatus(), kGULReachabilityUnknown);
  EXPECT_EQ(delegate_->statuses.size(), 3u);  // stop tells nobody

  // Stopped: the table can be replaced, and the first report after a new start always arrives.
  checker->setReachabilityApi(other.api());
  ASSERT_TRUE(checker->start());
  EXPECT_EQ(other.created, 1);
  other.callback(rf::reachable | rf::is_wwan);
  EXPECT_EQ(delegate_->statuses, (std::vector<int>{2, 1, 3, 3}));

  // Going away stops it.
  checker.reset();
  EXPECT_EQ(other.unscheduled, 1);
  EXPECT_EQ(other.released, 1);
}

TEST_F(GULReachabilityCheckerTest, FailedScheduleReleasesTheReference) {
  auto checker = GULReachabilityChecker::initWithReachabilityDelegate(delegate_, "analytics.example.net");
  FakeReachabilityApi fake;
  fake.failSchedule = true;
  checker->setReachabilityApi(fake.api());
  EXPECT_FALSE(checker->start());
  EXPECT_FALSE(checker->isActive());
  EXPECT_EQ(fake.released, 1);
  EXPECT_EQ(countMessages("[GULReachability][I-REA902002] Failed to start reachability handle"), 1);
  EXPECT_EQ(countMessages("Monitoring the network status"), 0);
}

TEST_F(GULReachabilityCheckerTest, InvalidHostAndRefusedDelegate) {
  EXPECT_EQ(GULReachabilityChecker::initWithReachabilityDelegate(delegate_, ""), nullptr);
  EXPECT_EQ(countMessages("[GULReachability][I-REA902001] Invalid host specified"), 1);

  auto checker = GULReachabilityChecker::initWithReachabilityDelegate(delegate_, "analytics.example.net");
  auto refused = std::make_shared<RecordingReachabilityDelegate>(false);
  checker->setReachabilityDelegate(refused);
  EXPECT_EQ(countMessages("[GULReachability][I-NET902005] Reachability delegate doesn't conform to Reachability "
                          "protocol."),
            1);
  EXPECT_EQ(checker->reachabilityDelegate().lock(), delegate_);
  // A cleared delegate is accepted.
  checker->setReachabilityDelegate({});
  EXPECT_EQ(checker->reachabilityDelegate().lock(), nullptr);
}

TEST_F(GULReachabilityCheckerTest, PlatformTableReportsAtStartAndOnChanges) {
  platform::os::set_network_state({.wwan = true});
  auto checker = GULReachabilityChecker::initWithReachabilityDelegate(delegate_, "analytics.example.net");
  ASSERT_TRUE(checker->start());
  EXPECT_TRUE(delegate_->statuses.empty());
  RunLoop::main().run_pending();
  EXPECT_EQ(delegate_->statuses, std::vector<int>{3});  // unprompted, on a steady network

  platform::os::set_network_state({.reachable = false});
  platform::os::set_network_state({});
  RunLoop::main().run_pending();
  EXPECT_EQ(delegate_->statuses, (std::vector<int>{3, 1, 2}));

  // Nothing after stop or destruction.
  checker->stop();
  platform::os::set_network_state({.reachable = false});
  ASSERT_TRUE(checker->start());
  checker.reset();
  platform::os::set_network_state({});
  RunLoop::main().run_pending();
  EXPECT_EQ(delegate_->statuses, (std::vector<int>{3, 1, 2}));
}

}  // namespace
