#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/sync.h"
#include "platform/notify/center.h"
#include "platform/notify/legacy.h"
#include "platform/notify/system.h"
#include "fixture.h"

namespace platform::notify::test {
namespace {

using namespace std::chrono_literals;

// Where a completion ran.
struct Place {
  std::thread::id thread;
  bool main_thread = true;
  bool on_center_queue = false;

  static Place here(const Center& center) {
    return {std::this_thread::get_id(), dispatch::is_main_thread(), center.queue().is_current()};
  }
};

void expect_off_main(const Place& place) {
  EXPECT_NE(place.thread, std::this_thread::get_id());  // not inline on the caller
  EXPECT_FALSE(place.main_thread);
  EXPECT_TRUE(place.on_center_queue);
}

struct Answer {
  bool granted;
  bool has_error;
  Place place;
};

std::future<Answer> request(Center& center) {
  auto promise = std::make_shared<std::promise<Answer>>();
  auto future = promise->get_future();
  auto* raw = &center;
  center.request_authorization(badge | sound | alert, [promise, raw](bool granted, std::optional<foundation::Error> e) {
    promise->set_value({granted, e.has_value(), Place::here(*raw)});
  });
  return future;
}

Settings settings_of(Center& center) {
  std::promise<std::pair<Settings, Place>> promise;
  auto future = promise.get_future();
  center.get_notification_settings([&](Settings s) { promise.set_value({s, Place::here(center)}); });
  auto [settings, place] = future.get();
  expect_off_main(place);
  return settings;
}

void expect_all(const Settings& s, Setting each) {
  EXPECT_EQ(s.badge, each);
  EXPECT_EQ(s.sound, each);
  EXPECT_EQ(s.alert, each);
  EXPECT_EQ(s.lock_screen, each);
  EXPECT_EQ(s.notification_center, each);
}

std::shared_ptr<Center> booted_center(DeviceTest& t, std::string answer) {
  os::DeviceProfile profile;
  profile.push.prompt_answer = std::move(answer);
  t.boot_with(profile);
  register_runtime_classes();
  return Center::current();
}

class CenterTest : public DeviceTest {};

TEST_F(CenterTest, ProfileAnswerDecidesAuthorisationAndSettings) {
  struct Case {
    const char* answer;
    bool granted;
    AuthorizationStatus status;
    Setting each;
  };
  for (const Case& c : {Case{"allow", true, AuthorizationStatus::authorized, Setting::enabled},
                        Case{"deny", false, AuthorizationStatus::denied, Setting::disabled}}) {
    SCOPED_TRACE(c.answer);
    auto center = booted_center(*this, c.answer);
    ASSERT_NE(center, nullptr);
    EXPECT_EQ(settings_of(*center).authorization_status, AuthorizationStatus::not_determined);

    Answer answer = request(*center).get();
    EXPECT_EQ(answer.granted, c.granted);
    EXPECT_FALSE(answer.has_error);
    expect_off_main(answer.place);

    Settings settings = settings_of(*center);
    EXPECT_EQ(settings.authorization_status, c.status);
    expect_all(settings, c.each);

    dispatch::wait_until_idle();
    platform::testing::reset();
    clock_ = platform::testing::ManualClock::install();
  }
}

TEST_F(CenterTest, AskWaitsForTheAnswerThenKeepsIt) {
  for (bool granted : {true, false}) {
    SCOPED_TRACE(granted);
    auto center = booted_center(*this, "ask");
    ASSERT_NE(center, nullptr);
    auto first = request(*center);
    auto second = request(*center);
    dispatch::wait_until_idle();
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(settings_of(*center).authorization_status, AuthorizationStatus::not_determined);

    system::answer_authorization(granted);
    for (auto* waiting : {&first, &second}) {
      Answer answer = waiting->get();
      EXPECT_EQ(answer.granted, granted);
      expect_off_main(answer.place);
    }
    // Decided once: a later request answers at once; a second answer changes nothing.
    system::answer_authorization(!granted);
    EXPECT_EQ(request(*center).get().granted, granted);
    Settings settings = settings_of(*center);
    EXPECT_EQ(settings.authorization_status, granted ? AuthorizationStatus::authorized : AuthorizationStatus::denied);
    expect_all(settings, granted ? Setting::enabled : Setting::disabled);

    dispatch::wait_until_idle();
    platform::testing::reset();
    clock_ = platform::testing::ManualClock::install();
  }
}

TEST_F(CenterTest, CategoriesAnswerEvenWhenNeverSetAndRoundTrip) {
  auto center = booted_center(*this, "allow");
  ASSERT_NE(center, nullptr);

  // The caller blocks its (main) thread on a semaphore until the answer comes.
  auto ask = [&] {
    dispatch::Semaphore done;
    std::vector<Category> got{Category{"sentinel", {}, {}, 0}};
    Place place;
    center->get_notification_categories([&](std::vector<Category> categories) {
      got = std::move(categories);
      place = Place::here(*center);
      done.signal();
    });
    done.wait();
    expect_off_main(place);
    return got;
  };
  EXPECT_TRUE(ask().empty());

  center->set_notification_categories({Category{"old", {}, {}, 0}});
  center->set_notification_categories(
      {Category{"reply", {Action{"answer", "Answer", 4}, Action{"later", "Later", 0}}, {"intent"}, 1},
       Category{"plain", {}, {}, 0}});
  auto got = ask();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].identifier, "reply");
  ASSERT_EQ(got[0].actions.size(), 2u);
  EXPECT_EQ(got[0].actions[0].identifier, "answer");
  EXPECT_EQ(got[0].actions[0].options, 4u);
  EXPECT_EQ(got[0].intent_identifiers, std::vector<std::string>{"intent"});
  EXPECT_EQ(got[1].identifier, "plain");
}

std::vector<Notification> delivered(Center& center) {
  std::promise<std::vector<Notification>> promise;
  auto future = promise.get_future();
  center.get_delivered([&](std::vector<Notification> n) { promise.set_value(std::move(n)); });
  return future.get();
}

std::vector<std::string> ids(const std::vector<Notification>& notifications) {
  std::vector<std::string> out;
  for (const auto& n : notifications) out.push_back(n.request.identifier);
  return out;
}

TEST_F(CenterTest, RequestsAreDeliveredWhenTheirIntervalHasPassed) {
  auto center = booted_center(*this, "allow");
  ASSERT_NE(center, nullptr);
  const double start = clock_->now_since_1970();

  std::promise<std::pair<bool, Place>> added;
  Request timed{"timed", Content{"Title", "", "Body", 3, Sound{}, {}, "reply", {}},
                Trigger{Trigger::time_interval, 30, false, false}};
  center->add(timed, [&](std::optional<foundation::Error> e) { added.set_value({e.has_value(), Place::here(*center)}); });
  auto [failed, place] = added.get_future().get();
  EXPECT_FALSE(failed);
  expect_off_main(place);
  center->add(Request{"now", {}, std::nullopt}, {});
  center->add(Request{"repeating", {}, Trigger{Trigger::time_interval, 20, true, false}}, {});

  EXPECT_EQ(ids(delivered(*center)), (std::vector<std::string>{"now"}));
  clock_->advance(20s);
  EXPECT_EQ(ids(delivered(*center)), (std::vector<std::string>{"now", "repeating"}));
  clock_->advance(9s);
  EXPECT_EQ(ids(delivered(*center)).size(), 2u);
  clock_->advance(1s);
  auto got = delivered(*center);
  ASSERT_EQ(ids(got), (std::vector<std::string>{"now", "repeating", "timed"}));
  EXPECT_DOUBLE_EQ(got[2].date.since_1970, start + 30);
  EXPECT_EQ(got[2].request.content.body, "Body");
  EXPECT_EQ(got[2].request.content.badge, 3);
  EXPECT_EQ(got[2].request.content.category_identifier, "reply");

  center->remove_all_delivered();
  EXPECT_TRUE(delivered(*center).empty());
  clock_->advance(10s);  // the repeating request fires again at 40 s
  EXPECT_EQ(ids(delivered(*center)), (std::vector<std::string>{"repeating"}));
}

TEST_F(CenterTest, DeliveriesAreReportedOnTheMainThread) {
  auto center = booted_center(*this, "allow");
  ASSERT_NE(center, nullptr);
  std::vector<std::string> seen;
  system::set_delivery_observer([&](const Notification& n) {
    EXPECT_TRUE(dispatch::is_main_thread());
    seen.push_back(n.request.identifier);
  });
  center->add(Request{"timed", {}, Trigger{Trigger::time_interval, 5, false, false}}, {});
  center->add(Request{"now", {}, std::nullopt}, {});
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(seen, std::vector<std::string>{"now"});
  clock_->advance(5s);
  dispatch::wait_until_idle();
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(seen, (std::vector<std::string>{"now", "timed"}));

  system::set_delivery_observer({});
  center->add(Request{"unseen", {}, std::nullopt}, {});
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(CenterTest, WithoutUserNotificationsThereIsNoCentre) {
  boot_with_file(R"({"system_version": "9.3", "frameworks": ["WebKit", "StoreKit"]})");
  register_runtime_classes();
  EXPECT_EQ(rt::Runtime::shared().find(kCenterClass), nullptr);
  EXPECT_EQ(rt::Runtime::shared().find(kResponseClass), nullptr);
  EXPECT_EQ(Center::current(), nullptr);
  EXPECT_EQ(Response::make({}, std::string(default_action)), nullptr);
  EXPECT_FALSE(system::present(Notification{}, [](std::uint32_t) { ADD_FAILURE(); }));
  system::answer_authorization(true);  // nothing to answer

  // The legacy types stay available.
  auto local = LocalNotification::make();
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->isa().name(), kLocalNotificationClass);
  EXPECT_FALSE(local->fire_date.has_value());
}

}  // namespace
}  // namespace platform::notify::test
