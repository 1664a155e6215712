// Single-flight checkin and scheduled retries, against the identity fake over TLS.
#include <barrier>
#include <cerrno>
#include <condition_variable>
#include <future>
#include <thread>

#include "core/gul_user_defaults.h"
#include "identity/auth_service.h"
#include "identity/utilities.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/notification.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;
using platform::dispatch::RunLoop;

// Holds checkin answers until released.
class CheckinGate {
 public:
  testing::fakes::Handler handler() {
    return [this](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
      std::unique_lock lock(mutex_);
      cv_.wait_for(lock, std::chrono::seconds(60), [this] { return open_; });
      const auto body = nlohmann::json::parse(req.body, nullptr, false);
      res.set_content(testing::fakes::IdentityService::checkin_reply(body.value("id", std::int64_t{0}),
                                                                       body.value("security_token", std::int64_t{0}))
                          .dump(),
                      "application/json");
    };
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class IdentityAuthServiceTest : public IdentityHarnessTest {
 protected:
  void SetUp() override {
    boot({.fakes = {testing::Fake::identity}});
    store_ = std::make_shared<FIRInstanceIDStore>(std::weak_ptr<FIRInstanceIDStoreDelegate>{});
  }
  void TearDown() override { gate_.open(); }
  std::shared_ptr<FIRInstanceIDAuthService> service() { return FIRInstanceIDAuthService::initWithStore(store_); }
  std::size_t checkins() { return harness().identity().count("POST", "/checkin"); }
  // Stores a record whose validity has lapsed, with the locale already stored.
  void storeExpiredCredentials(const std::string& id, const std::string& secret) {
    auto record = FIRInstanceIDCheckinPreferences::initWithDeviceID(id, secret);
    record->setLastCheckinTimestampMillis(1000);
    ASSERT_TRUE(store_->saveCheckinPreferences(*record, nullptr));
    core::GULUserDefaults::standardUserDefaults().setObject(fd::Value(FIRInstanceIDPreferredLocale()),
                                                           kFIRInstanceIDUserDefaultsKeyLocale);
  }

  std::shared_ptr<FIRInstanceIDStore> store_;
  CheckinGate gate_;
};

TEST_F(IdentityAuthServiceTest, CallersDuringOneCheckinShareItInArrivalOrder) {
  harness().identity().on("POST", "/checkin", gate_.handler());
  auto auth = service();
  std::mutex mutex;
  std::vector<int> order;
  std::vector<FIRInstanceIDCheckinPreferencesRef> records;
  for (int i = 0; i < 3; ++i) {
    auth->fetchCheckinInfoWithHandler([&, i](FIRInstanceIDCheckinPreferencesRef record, std::optional<fd::Error> error) {
      EXPECT_FALSE(error);
      std::lock_guard lock(mutex);
      order.push_back(i);
      records.push_back(record);
    });
    if (i == 0) {
      ASSERT_TRUE(harness().identity().wait_for([&] { return checkins() == 1; }, std::chrono::seconds(30)));
    }
  }
  gate_.open();
  ASSERT_TRUE(harness().run_until([&] {
    std::lock_guard lock(mutex);
    return order.size() == 3;
  }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(checkins(), 1u);
  ASSERT_TRUE(records[0]);
  EXPECT_EQ(records[0], records[2]);
  EXPECT_EQ(auth->checkinPreferences(), records[0]);
  EXPECT_TRUE(auth->hasValidCheckinInfo());
  EXPECT_TRUE(log_.has(5004));

  // A valid record answers at once, without a request.
  std::promise<FIRInstanceIDCheckinPreferencesRef> again;
  auth->fetchCheckinInfoWithHandler(
      [&](FIRInstanceIDCheckinPreferencesRef record, std::optional<fd::Error>) { again.set_value(record); });
  EXPECT_EQ(again.get_future().get(), records[0]);
  EXPECT_EQ(checkins(), 1u);

  // The credentials were stored, and the next service starts with them.
  auto next = service();
  ASSERT_TRUE(next->checkinPreferences());
  EXPECT_EQ(next->checkinPreferences()->deviceID(), records[0]->deviceID());
}

TEST_F(IdentityAuthServiceTest, TwoThreadsAtOnceMakeOneCheckin) {
  auto auth = service();
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    auth->resetCheckin(nullptr);
    ASSERT_EQ(auth->checkinPreferences(), nullptr);
    const auto before = checkins();
    std::barrier start(2);
    std::atomic<int> answered{0};
    auto caller = [&] {
      start.arrive_and_wait();
      auth->fetchCheckinInfoWithHandler([&](FIRInstanceIDCheckinPreferencesRef record, std::optional<fd::Error>) {
        EXPECT_TRUE(record);
        ++answered;
      });
    };
    std::thread a(caller), b(caller);
    a.join();
    b.join();
    ASSERT_TRUE(harness().run_until([&] { return answered == 2; }));
    EXPECT_EQ(checkins() - before, 1u);
  }
}

TEST_F(IdentityAuthServiceTest, NewCredentialsArePostedOnMain) {
  std::atomic<int> posted{0};
  auto token = fd::NotificationCenter::default_center().add_observer(
      nullptr, std::string(kFIRInstanceIDCheckinFetchedNotification), nullptr, nullptr,
      [&](const fd::Notification&) { ++posted; });
  auto auth = service();
  std::atomic<bool> done{false};
  auth->fetchCheckinInfoWithHandler([&](auto, auto) { done = true; });
  ASSERT_TRUE(harness().run_until([&] { return done && posted == 1; }));
  token.remove();
}

TEST_F(IdentityAuthServiceTest, SameIdsWithAFailingSaveStillSucceedAndPostNothing) {
  storeExpiredCredentials("9223372036854775807", "9007199254740993");
  auto auth = service();
  ASSERT_TRUE(auth->checkinPreferences());
  EXPECT_FALSE(auth->hasValidCheckinInfo());
  std::atomic<int> posted{0};
  auto token = fd::NotificationCenter::default_center().add_observer(
      nullptr, std::string(kFIRInstanceIDCheckinFetchedNotification), nullptr, nullptr,
      [&](const fd::Notification&) { ++posted; });
  platform::testing::fail_next(platform::os::FileOp::write, subDirectory(), ENOSPC);

  std::promise<std::pair<FIRInstanceIDCheckinPreferencesRef, std::optional<fd::Error>>> result;
  auth->fetchCheckinInfoWithHandler([&](auto record, auto error) { result.set_value({record, error}); });
  auto [record, error] = result.get_future().get();
  EXPECT_FALSE(error);
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->hasPreCachedAuthCredentials());
  EXPECT_EQ(record->deviceID(), "9223372036854775807");
  EXPECT_TRUE(log_.has(6000));
  RunLoop::main().run_pending();
  EXPECT_EQ(posted, 0);
  token.remove();
}

TEST_F(IdentityAuthServiceTest, NewIdsWithAFailingSaveAreError6AndEmptyTheRecord) {
  auto auth = service();
  platform::testing::fail_next(platform::os::FileOp::write, subDirectory(), ENOSPC);
  std::promise<std::pair<FIRInstanceIDCheckinPreferencesRef, std::optional<fd::Error>>> result;
  auth->fetchCheckinInfoWithHandler([&](auto record, auto error) { result.set_value({record, error}); });
  auto [record, error] = result.get_future().get();
  EXPECT_FALSE(record);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "com.davidize.iid");
  EXPECT_EQ(error->code, 6);
  EXPECT_TRUE(log_.has(7004));
  ASSERT_TRUE(auth->checkinPreferences());
  EXPECT_FALSE(auth->checkinPreferences()->hasCheckinInfo());
  // Nothing half-stored: no keychain item without its list.
  EXPECT_EQ(store_->cachedCheckinPreferences(), nullptr);
}

TEST_F(IdentityAuthServiceTest, FailedScheduledCheckinsBackOff) {
  auto clock = platform::testing::ManualClock::install();
  std::vector<double> attempts;
  FIRInstanceIDCheckinService::setCheckinTestBlock(
      [&](const platform::net::Request&, FIRInstanceIDCheckinService::DataCompletion done) {
        attempts.push_back(fd::Date::now().since_1970);
        done(std::nullopt, nullptr, fd::Error(std::string(fd::url_error::domain), fd::url_error::timed_out));
      });
  auto auth = service();
  EXPECT_EQ(auth->calculateNextCheckinRetryIntervalInSeconds(), 1);
  const double start = fd::Date::now().since_1970;
  auth->scheduleCheckin(false);
  EXPECT_TRUE(auth->hasScheduledCheckinTimer());
  auth->scheduleCheckin(false);
  EXPECT_TRUE(log_.has(5000));
  for (int second = 0; second < 1 + 2 + 4 + 8 + 16 + 32 + 32; ++second) {
    clock->advance(std::chrono::seconds(1));
    RunLoop::main().run_pending();
  }
  ASSERT_EQ(attempts.size(), 7u);
  std::vector<double> gaps;
  double last = start;
  for (double at : attempts) {
    gaps.push_back(at - last);
    last = at;
  }
  EXPECT_EQ(gaps, (std::vector<double>{1, 2, 4, 8, 16, 32, 32}));
  EXPECT_EQ(auth->checkinRetryCount(), 7);
  EXPECT_TRUE(log_.has(5001));
  FIRInstanceIDCheckinService::setCheckinTestBlock({});
}

TEST_F(IdentityAuthServiceTest, RetryIntervalsAndScheduling) {
  auto auth = service();
  // A scheduled checkin that succeeds stops retrying, but the count stays.
  auth->scheduleCheckin(true);
  ASSERT_TRUE(harness().run_until([&] { return auth->checkinRetryCount() == 1; }));
  EXPECT_TRUE(auth->hasValidCheckinInfo());
  EXPECT_FALSE(auth->hasScheduledCheckinTimer());
  auth->scheduleCheckin(false);
  EXPECT_FALSE(auth->hasScheduledCheckinTimer());
  // From another thread the call hops to main.
  auth->resetCheckin(nullptr);
  std::thread([&] { auth->scheduleCheckin(false); }).join();
  EXPECT_FALSE(auth->hasScheduledCheckinTimer());
  ASSERT_TRUE(harness().run_until([&] { return auth->hasScheduledCheckinTimer(); }));
  auth->clearScheduledCheckinTimer();
  EXPECT_FALSE(auth->hasScheduledCheckinTimer());
}

}  // namespace
}  // namespace identity_test
