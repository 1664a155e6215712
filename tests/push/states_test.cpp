#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/os/preferences.h"
#include "push/notification_settings.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "testing/harness/harness.h"

namespace {

using namespace push;
using platform::foundation::Dict;
using platform::foundation::Value;

platform::os::UserDefaults& defaults() { return platform::os::UserDefaults::standard(); }

// Counts the notifications of a state's own table.
template <class Observer, class State>
struct Counter : Observer {
  void onChanged(const std::shared_ptr<State>&) override { ++count; }
  int count = 0;
};
using PermissionCounter = Counter<OSPermissionStateObserver, OSPermissionState>;
using SubscriptionCounter = Counter<OSSubscriptionStateObserver, OSSubscriptionState>;

// Application observers: record each change object and the thread it came on.
struct AppObserver : OSPermissionObserver, OSSubscriptionObserver, OSEmailSubscriptionObserver {
  void onOSPermissionChanged(const std::shared_ptr<OSPermissionStateChanges>& c) override {
    permission.push_back(c);
    onMain.push_back(platform::dispatch::is_main_thread());
  }
  void onOSSubscriptionChanged(const std::shared_ptr<OSSubscriptionStateChanges>& c) override {
    subscription.push_back(c);
    onMain.push_back(platform::dispatch::is_main_thread());
  }
  void onOSEmailSubscriptionChanged(const std::shared_ptr<OSEmailSubscriptionStateChanges>& c) override {
    email.push_back(c);
    onMain.push_back(platform::dispatch::is_main_thread());
  }
  std::vector<std::shared_ptr<OSPermissionStateChanges>> permission;
  std::vector<std::shared_ptr<OSSubscriptionStateChanges>> subscription;
  std::vector<std::shared_ptr<OSEmailSubscriptionStateChanges>> email;
  std::vector<bool> onMain;
};

// Writes the facade's current permission state, as the OS adapters do.
class StatesScriptedAdapter : public RerAvirorNotificationSettings {
 public:
  bool accepted = false;
  std::int32_t types = 0;
  std::int32_t getNotificationTypes() override { return types; }
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override {
    auto state = RerAviror::currentPermissionState();
    state->setNotificationTypes(types);
    state->setAccepted(accepted);
    state->setAnsweredPrompt(accepted);
    return state;
  }
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override {
    completion(getNotificationPermissionState());
  }
  void promptForNotifications(std::function<void(bool)>) override {}
  void registerForProvisionalAuthorization(std::function<void(bool)>) override {}
  void onNotificationPromptResponse(std::int32_t) override {}
  void onAPNsResponse(bool) override {}
};

class StatesTest : public ::testing::Test {
 protected:
  StatesTest() : harness_(std::make_unique<testing::Harness>()) {}
  ~StatesTest() override { RerAviror::clearStatics(); }
  void runMain() { platform::dispatch::RunLoop::main().run_pending(); }

  std::unique_ptr<testing::Harness> harness_;
};

// ---- permission state ----

TEST_F(StatesTest, PermissionSettersNotifyOnlyWhenTheDerivedValueMoves) {
  auto state = std::make_shared<OSPermissionState>();
  auto counter = std::make_shared<PermissionCounter>();
  state->observable()->addObserver(counter);

  state->setAccepted(true);
  EXPECT_EQ(counter->count, 1);
  EXPECT_TRUE(state->answeredPrompt());
  EXPECT_TRUE(state->hasPrompted());
  EXPECT_EQ(state->status(), 2);

  state->setAnsweredPrompt(false);  // accepted still answers the derived value
  EXPECT_EQ(counter->count, 1);

  state->setHasPrompted(true);  // writes the key, derived value unchanged
  EXPECT_EQ(counter->count, 1);
  EXPECT_EQ(defaults().object("OS_HAS_PROMPTED_FOR_NOTIFICATIONS"), Value(true));

  state->setProvisional(true);
  EXPECT_EQ(counter->count, 2);
  EXPECT_EQ(defaults().object("RERAVIROR_PROVISIONAL_AUTHORIZATION"), Value(true));
  defaults().remove("RERAVIROR_PROVISIONAL_AUTHORIZATION");
  state->setProvisional(true);  // same value: nothing written, nothing sent
  EXPECT_EQ(counter->count, 2);
  EXPECT_FALSE(defaults().object("RERAVIROR_PROVISIONAL_AUTHORIZATION"));

  state->setAccepted(true);
  EXPECT_EQ(counter->count, 2);
}

TEST_F(StatesTest, PermissionStatusCompareAndTexts) {
  struct {
    bool accepted, answered, provisional;
    std::int64_t status;
    std::string text;
  } cases[] = {
      {false, false, false, 0, "NotDetermined"}, {true, false, true, 2, "Authorized"},
      {false, true, true, 1, "Denied"},          {false, false, true, 3, "Provisional"},
  };
  for (const auto& c : cases) {
    auto state = std::make_shared<OSPermissionState>();
    state->setAccepted(c.accepted);
    state->setAnsweredPrompt(c.answered);
    state->setProvisional(c.provisional);
    EXPECT_EQ(state->status(), c.status);
    EXPECT_EQ(state->statusAsString(), c.text);
  }

  auto a = std::make_shared<OSPermissionState>();
  auto b = std::make_shared<OSPermissionState>();
  b->setProvisional(true);
  b->setNotificationTypes(7);
  EXPECT_FALSE(a->compare(*b));
  b->setHasPrompted(true);
  EXPECT_TRUE(a->compare(*b));

  EXPECT_EQ(b->description(), "<OSPermissionState: hasPrompted: 1, status: Provisional, provisional: 1>");
  EXPECT_EQ(b->toDictionary(), (Dict{{"hasPrompted", true}, {"status", 3}, {"provisional", true}}));
}

TEST_F(StatesTest, PermissionCopyAndPersistUseStoredFlags) {
  auto state = std::make_shared<OSPermissionState>();
  state->setAccepted(true);
  state->setNotificationTypes(7);
  state->setProvidesAppNotificationSettings(true);
  auto copy = state->copy();
  EXPECT_TRUE(copy->accepted());
  EXPECT_TRUE(copy->providesAppNotificationSettings());
  EXPECT_EQ(copy->notificationTypes(), 0);

  copy->persistAsFrom();
  // The stored answered and prompted flags are NO, though the derived ones are YES.
  EXPECT_EQ(defaults().object("OS_NOTIFICATION_PROMPT_ANSWERED_LAST"), Value(false));
  EXPECT_EQ(defaults().object("OS_HAS_PROMPTED_FOR_NOTIFICATIONS_LAST"), Value(false));
  EXPECT_EQ(defaults().object("RERAVIROR_ACCEPTED_NOTIFICATION_LAST"), Value(true));
  auto from = OSPermissionState::initAsFrom();
  EXPECT_FALSE(from->compare(*state));
  EXPECT_TRUE(from->providesAppNotificationSettings());
}

// ---- subscription state ----

TEST_F(StatesTest, SubscribedNeedsIdTokenSwitchAndPermission) {
  defaults().set("GT_PLAYER_ID", Value("p1"));
  defaults().set("GT_DEVICE_TOKEN", Value("ab12"));
  auto state = OSSubscriptionState::initAsToWithPermision(false);
  auto counter = std::make_shared<SubscriptionCounter>();
  state->observable()->addObserver(counter);
  EXPECT_FALSE(state->subscribed());

  state->setAccepted(true);
  EXPECT_TRUE(state->subscribed());
  EXPECT_EQ(counter->count, 1);

  state->setUserSubscriptionSetting(false);
  EXPECT_EQ(counter->count, 2);
  EXPECT_FALSE(state->subscribed());
  EXPECT_TRUE(state->accpeted());

  state->setPushToken("ab12");  // same text: nothing
  EXPECT_EQ(counter->count, 2);
  state->setPushToken("cd34");
  EXPECT_EQ(counter->count, 3);
  EXPECT_EQ(defaults().string("GT_DEVICE_TOKEN"), "cd34");

  state->setUserId("p1");
  EXPECT_EQ(counter->count, 3);
  state->setUserId("p2");
  EXPECT_EQ(counter->count, 4);
}

TEST_F(StatesTest, AcceptedWithoutTokenStoresSilentlyAndDelayedUpdateHoldsBack) {
  auto state = OSSubscriptionState::initAsToWithPermision(false);
  auto counter = std::make_shared<SubscriptionCounter>();
  state->observable()->addObserver(counter);
  state->setAccepted(true);
  EXPECT_TRUE(state->accpeted());
  EXPECT_EQ(counter->count, 0);

  RerAviror::setShouldDelaySubscriptionSettingsUpdate(true);
  state->setAccepted(false);
  EXPECT_TRUE(state->accpeted());
  EXPECT_TRUE(state->delayedObserverUpdate());
  RerAviror::setShouldDelaySubscriptionSettingsUpdate(false);
}

TEST_F(StatesTest, SubscriptionCompareCopyPersistAndTexts) {
  auto a = std::make_shared<OSSubscriptionState>();
  auto b = std::make_shared<OSSubscriptionState>();
  b->setUserId("");
  EXPECT_FALSE(a->compare(*b));  // absent and empty ids are equal
  b->setPushToken("t");
  EXPECT_TRUE(a->compare(*b));

  EXPECT_EQ(a->description(), "<OSSubscriptionState: userId: (null), pushToken: (null), userSubscriptionSetting: 1, subscribed: 0>");
  EXPECT_EQ(a->toDictionary(), (Dict{{"userId", nullptr}, {"pushToken", nullptr}, {"userSubscriptionSetting", true},
                                     {"subscribed", false}}));

  b->setUserId("p1");
  b->setAccepted(true);
  b->setDelayedObserverUpdate(true);
  b->setUserSubscriptionSetting(false);
  auto copy = b->copy();
  EXPECT_FALSE(copy->compare(*b));
  EXPECT_FALSE(copy->delayedObserverUpdate());
  copy->persistAsFrom();
  EXPECT_EQ(defaults().object("RERAVIROR_SUBSCRIPTION_LAST"), Value("no"));
  EXPECT_EQ(defaults().object("GT_PLAYER_ID_LAST"), Value("p1"));
  EXPECT_EQ(defaults().object("RERAVIROR_PERMISSION_ACCEPTED_LAST"), Value(true));
  EXPECT_FALSE(OSSubscriptionState::initAsFrom()->compare(*b));

  auto cleared = std::make_shared<OSSubscriptionState>();
  cleared->persistAsFrom();
  EXPECT_FALSE(defaults().object("GT_PLAYER_ID_LAST"));
  EXPECT_FALSE(defaults().object("RERAVIROR_SUBSCRIPTION_LAST"));
}

// ---- e-mail state ----

TEST_F(StatesTest, EmailStateNotifiesOnEveryPresentIdAndPersists) {
  auto state = OSEmailSubscriptionState::init();
  auto counter = std::make_shared<Counter<OSEmailSubscriptionStateObserver, OSEmailSubscriptionState>>();
  state->observable()->addObserver(counter);
  state->setEmailUserId("e1");
  state->setEmailUserId("e1");
  EXPECT_EQ(counter->count, 2);
  state->setEmailAddress("a@b.c");
  state->setEmailAuthCode("h");
  state->setRequiresEmailAuth(true);
  EXPECT_EQ(counter->count, 2);
  EXPECT_TRUE(state->subscribed());
  EXPECT_EQ(state->description(), "<OSEmailSubscriptionState: emailAddress: a@b.c, emailUserId: e1>");
  EXPECT_EQ(state->toDictionary(), (Dict{{"emailUserId", "e1"}, {"emailAddress", "a@b.c"}}));

  state->persist();
  auto read = OSEmailSubscriptionState::init();
  EXPECT_FALSE(read->compare(*state));
  EXPECT_TRUE(read->requiresEmailAuth());
  EXPECT_EQ(read->emailAuthCode(), "h");
  EXPECT_EQ(state->copy()->emailAuthCode(), "h");
}

// ---- the facade's tables ----

TEST_F(StatesTest, PreviousStateMovesOnlyWhenAnAppObserverHeard) {
  auto permission = RerAviror::currentPermissionState();
  permission->setAccepted(true);
  EXPECT_FALSE(defaults().object("RERAVIROR_ACCEPTED_NOTIFICATION_LAST"));
  EXPECT_FALSE(RerAviror::lastPermissionState()->accepted());

  // A new observer hears at once about the change since the previous state.
  auto observer = std::make_shared<AppObserver>();
  RerAviror::addPermissionObserver(observer);
  EXPECT_TRUE(observer->permission.empty());  // queued on the main queue
  runMain();
  ASSERT_EQ(observer->permission.size(), 1u);
  EXPECT_EQ(observer->onMain, std::vector<bool>{true});
  EXPECT_FALSE(observer->permission[0]->from()->accepted());
  EXPECT_TRUE(observer->permission[0]->to()->accepted());
  EXPECT_EQ(defaults().object("RERAVIROR_ACCEPTED_NOTIFICATION_LAST"), Value(true));
  EXPECT_TRUE(RerAviror::lastPermissionState()->accepted());

  // Same state as the previous one: a second observer hears nothing.
  auto second = std::make_shared<AppObserver>();
  RerAviror::addPermissionObserver(second);
  runMain();
  EXPECT_TRUE(second->permission.empty());

  EXPECT_EQ(observer->permission[0]->description(),
            "<OSPermissionStateChanges:\nfrom: <OSPermissionState: hasPrompted: 0, status: NotDetermined, provisional: 0>,\n"
            "to:   <OSPermissionState: hasPrompted: 1, status: Authorized, provisional: 0>\n>");
  EXPECT_EQ(observer->permission[0]->toDictionary(),
            (Dict{{"from", Dict{{"hasPrompted", false}, {"status", 0}, {"provisional", false}}},
                  {"to", Dict{{"hasPrompted", true}, {"status", 2}, {"provisional", false}}}}));
}

TEST_F(StatesTest, VanishedObserversAreSkippedAndRemovalIsOnce) {
  auto subscription = RerAviror::currentSubscriptionState();
  auto gone = std::make_shared<AppObserver>();
  RerAviror::addSubscriptionObserver(gone);
  gone.reset();
  subscription->setUserId("p1");
  runMain();
  EXPECT_FALSE(defaults().object("GT_PLAYER_ID_LAST"));  // nobody heard it

  auto twice = std::make_shared<AppObserver>();
  RerAviror::addSubscriptionObserver(twice);  // fires at once: p1 differs from the previous state
  RerAviror::addSubscriptionObserver(twice);
  RerAviror::removeSubscriptionObserver(twice.get());
  runMain();
  EXPECT_EQ(twice->subscription.size(), 1u);  // queued before the removal, still delivered
  subscription->setUserId("p2");
  runMain();
  EXPECT_EQ(twice->subscription.size(), 1u);
  EXPECT_EQ(defaults().object("GT_PLAYER_ID_LAST"), Value("p1"));
}

TEST_F(StatesTest, TwoChangesQueueTwoIndependentCallsInOrder) {
  auto subscription = RerAviror::currentSubscriptionState();
  auto observer = std::make_shared<AppObserver>();
  RerAviror::addSubscriptionObserver(observer);
  subscription->setUserId("p1");
  subscription->setUserId("p2");
  runMain();
  ASSERT_EQ(observer->subscription.size(), 2u);
  EXPECT_EQ(observer->subscription[0]->from()->userId(), std::nullopt);
  EXPECT_EQ(observer->subscription[0]->to()->userId(), "p1");
  EXPECT_EQ(observer->subscription[1]->from()->userId(), "p1");
  EXPECT_EQ(observer->subscription[1]->to()->userId(), "p2");
  EXPECT_EQ(defaults().object("GT_PLAYER_ID_LAST"), Value("p2"));
}

TEST_F(StatesTest, AdapterFillsTheCurrentStateBeforeObserversAttachAndSubscriptionFollows) {
  auto adapter = std::make_shared<StatesScriptedAdapter>();
  adapter->accepted = true;
  adapter->types = 7;
  RerAviror::setOsNotificationSettings(adapter);
  defaults().set("GT_PLAYER_ID", Value("p1"));
  defaults().set("GT_DEVICE_TOKEN", Value("ab12"));

  auto observer = std::make_shared<AppObserver>();
  RerAviror::addSubscriptionObserver(observer);
  auto permission = RerAviror::currentPermissionState();
  auto subscription = RerAviror::currentSubscriptionState();
  EXPECT_TRUE(permission->accepted());
  EXPECT_EQ(RerAviror::lastNotificationTypes(), 7);
  EXPECT_TRUE(subscription->subscribed());
  runMain();
  ASSERT_EQ(observer->subscription.size(), 1u);  // the stored previous state had nothing

  permission->setAccepted(false);
  EXPECT_FALSE(subscription->accpeted());
  runMain();
  ASSERT_EQ(observer->subscription.size(), 2u);
  EXPECT_FALSE(observer->subscription[1]->to()->subscribed());
}

TEST_F(StatesTest, SnapshotHoldsTheLiveStates) {
  auto snapshot = RerAviror::getPermissionSubscriptionState();
  EXPECT_EQ(snapshot->subscriptionStatus()->userId(), std::nullopt);
  RerAviror::currentSubscriptionState()->setUserId("p9");
  EXPECT_EQ(snapshot->subscriptionStatus()->userId(), "p9");
  EXPECT_EQ(snapshot->permissionStatus(), RerAviror::currentPermissionState());
  EXPECT_EQ(snapshot->description(),
            "<OSPermissionSubscriptionState:\npermissionStatus: <OSPermissionState: hasPrompted: 0, status: "
            "NotDetermined, provisional: 0>,\nsubscriptionStatus: <OSSubscriptionState: userId: p9, pushToken: (null), "
            "userSubscriptionSetting: 1, subscribed: 0>\n>");
  EXPECT_EQ(snapshot->toDictionary().keys(),
            (std::vector<std::string>{"permissionStatus", "subscriptionStatus", "emailSubscriptionStatus"}));
  EXPECT_EQ(snapshot->toDictionary().get("emailSubscriptionStatus"),
            Value(Dict{{"emailUserId", nullptr}, {"emailAddress", nullptr}}));
}

TEST_F(StatesTest, EmailObserverHearsEverySetOfAnId) {
  auto email = RerAviror::currentEmailSubscriptionState();
  auto observer = std::make_shared<AppObserver>();
  RerAviror::addEmailSubscriptionObserver(observer);
  email->setEmailUserId("e1");
  email->setEmailUserId("e1");
  runMain();
  ASSERT_EQ(observer->email.size(), 2u);
  EXPECT_EQ(observer->email[1]->to()->emailUserId(), "e1");
  EXPECT_EQ(defaults().object("GT_EMAIL_PLAYER_ID"), Value("e1"));
  EXPECT_EQ(observer->email[0]->description(),
            "<OSEmailSubscriptionStateChanges:\nfrom: <OSEmailSubscriptionState: emailAddress: (null), emailUserId: (null)>,\n"
            "to:   <OSEmailSubscriptionState: emailAddress: (null), emailUserId: e1>\n>");
}

}  // namespace
