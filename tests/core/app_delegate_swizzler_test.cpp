// The application-delegate proxy over a launched application in a fresh
// runtime registry: the run-time subclass and its methods, interceptors and
// their registry, the Info.plist switches, refusals and the observer.
// Installation is once per process, so each test runs in its own process.
#include <any>
#include <memory>
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "core/app_delegate_swizzler.h"
#include "core/logger.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/text.h"
#include "platform/runtime/runtime.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/ui/application.h"
#include "platform/ui/testing_reset.h"
#include "tests/core/fixture.h"

namespace {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace foundation = platform::foundation;
using core::GULAppDelegateObserver;
using core::GULAppDelegateSwizzler;
using foundation::Dict;
using foundation::Value;

std::vector<std::string>& calls() {
  static std::vector<std::string> c;
  return c;
}

// What the test delegate's and the interceptors' methods answer.
struct CoreProxyAnswers {
  bool delegate = false;
  bool interceptor = false;
};
CoreProxyAnswers& answers() {
  static CoreProxyAnswers a;
  return a;
}

// The test delegate ("AppDelegate") and the interceptors share this type;
// each class gets the methods a test chooses. Calls are recorded as
// "<who> <method>"; interceptors are the classes whose name starts with
// "Interceptor".
class CoreProxyResponder : public ui::Responder {
 public:
  explicit CoreProxyResponder(rt::Class& cls) : ui::Responder(cls) {}
  bool openUrl(rt::Id, foundation::Url url, Dict) { return answer("openURL:options: " + url.absolute_string()); }
  bool openUrlLegacy(rt::Id, foundation::Url url, std::optional<std::string> source, Value annotation) {
    return answer("openURL:sourceApplication:annotation: " + url.absolute_string() + " " + source.value_or("-") +
                  " " + foundation::describe(annotation));
  }
  bool continueActivity(rt::Id, std::shared_ptr<ui::UserActivity> activity, std::function<void(foundation::Array)>) {
    return answer("continueUserActivity: " + activity->activity_type);
  }
  void sessionEvents(rt::Id, std::string identifier, std::function<void()> done) {
    answer("handleEventsForBackgroundURLSession: " + identifier);
    done();
  }

 private:
  bool interceptor() const {
    for (const rt::Class* cls = &isa(); cls; cls = cls->superclass()) {
      if (cls->name().starts_with("Interceptor")) return true;
    }
    return false;
  }
  bool answer(const std::string& call) {
    const bool mine = interceptor();
    calls().push_back((mine ? "interceptor " : "delegate ") + call);
    return mine ? answers().interceptor : answers().delegate;
  }
};

enum CoreProxyMethods : unsigned { kOpenUrl = 1, kOpenUrlLegacy = 2, kContinue = 4, kSession = 8, kAll = 15 };

rt::Class& defineResponder(const std::string& name, unsigned methods, bool conforms = true) {
  rt::ClassBuilder<CoreProxyResponder> builder(name, "UIResponder");
  if (conforms) builder.protocols({"UIApplicationDelegate"});
  if (methods & kOpenUrl) builder.method(ui::sel::open_url, &CoreProxyResponder::openUrl);
  if (methods & kOpenUrlLegacy) builder.method(ui::sel::open_url_source_application, &CoreProxyResponder::openUrlLegacy);
  if (methods & kContinue) builder.method(ui::sel::continue_user_activity, &CoreProxyResponder::continueActivity);
  if (methods & kSession) builder.method(ui::sel::handle_events_for_background_session, &CoreProxyResponder::sessionEvents);
  return builder.define();
}

const std::string kUrl = "demo://open";

class CoreAppDelegateProxyTest : public core_test::CoreDeviceTest {
 protected:
  // Boots with these Info.plist keys and launches with an "AppDelegate" of
  // these methods; the logger shows debug lines.
  void launch(unsigned delegateMethods, Dict info = {}) {
    calls().clear();
    answers() = {};
    clock_ = platform::testing::ManualClock::install();
    boot({}, std::move(info));
    scope_.emplace();
    ui::register_runtime_classes();
    delegateClass_ = &defineResponder("AppDelegate", delegateMethods);
    ui::MainOptions options;
    options.delegate_class = "AppDelegate";
    app_ = &ui::application_launch(0, nullptr, options);
    core::GULSetLoggerLevel(core::GULLoggerLevelDebug);
  }

  void TearDown() override {
    if (!scope_) return;
    platform::dispatch::wait_until_idle();
    ui::reset_for_testing();
    scope_.reset();
    platform::testing::reset();
  }

  rt::Id delegate() const { return app_->delegate(); }

  // Sends each of the four messages the way the application does.
  std::optional<bool> openUrl() {
    return app_->send_to_delegate(ui::sel::open_url, app_->self_id(), *foundation::Url::parse(kUrl), Dict{});
  }
  std::optional<bool> openUrlLegacy() {
    return app_->send_to_delegate(ui::sel::open_url_source_application, app_->self_id(),
                                  *foundation::Url::parse(kUrl), std::optional<std::string>("src"), Value(7));
  }
  std::optional<bool> continueActivity() {
    return app_->send_to_delegate(ui::sel::continue_user_activity, app_->self_id(),
                                  std::make_shared<ui::UserActivity>("browse"),
                                  std::function<void(foundation::Array)>([](foundation::Array) {}));
  }
  int sessionEvents() {
    int completions = 0;
    app_->send_to_delegate(ui::sel::handle_events_for_background_session, app_->self_id(), std::string("bg-1"),
                           std::function<void()>([&] { ++completions; }));
    return completions;
  }

  // Whether the swizzler's service logged `code` at `level` with exactly `text`.
  static bool logged(const std::string& level, const std::string& code, const std::string& text) {
    core::GULLoggerWaitForQueue();
    const std::string tail = "[DozadaUtilities/AppDelegateSwizzler][" + code + "] " + text;
    for (const auto& record : core_test::system_log_records()) {
      if (record.level == level && record.message.ends_with(tail)) return true;
    }
    return false;
  }
  static std::string allLogged() {
    core::GULLoggerWaitForQueue();
    std::string out;
    for (const auto& record : core_test::system_log_records()) out += record.level + ": " + record.message + "\n";
    return out;
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::optional<rt::Runtime::Scope> scope_;
  rt::Class* delegateClass_ = nullptr;
  ui::Application* app_ = nullptr;
};

TEST_F(CoreAppDelegateProxyTest, DelegateBecomesANamedSubclassThatStillDescribesItselfAsItsClass) {
  launch(kContinue);
  rt::Object* before = delegate().get();
  GULAppDelegateSwizzler::proxyOriginalDelegate();

  ASSERT_EQ(delegate().get(), before);
  const rt::Class& subclass = delegate()->isa();
  const std::string name(subclass.name());
  const std::string prefix = "GUL_AppDelegate-";
  ASSERT_TRUE(name.starts_with(prefix)) << name;
  const std::string millis = name.substr(prefix.size());
  EXPECT_EQ(millis.size(), 13u) << name;
  EXPECT_TRUE(std::all_of(millis.begin(), millis.end(), [](unsigned char c) { return std::isdigit(c); })) << name;
  EXPECT_EQ(name, "GUL_AppDelegate-1600000000000");  // the manual clock's time in milliseconds
  EXPECT_EQ(subclass.superclass(), delegateClass_);
  EXPECT_EQ(rt::Runtime::shared().find(name), &subclass);
  EXPECT_TRUE(logged("Debug", "I-SWZ001008",
                     "Successfully created App Delegate Proxy automatically. To disable the proxy, set the flag "
                     "DozadaUtilitiesAppDelegateProxyEnabled to NO (Boolean) in the Info.plist"))
      << allLogged();

  const std::string address = foundation::text::pointer_text(dynamic_cast<const void*>(before));
  EXPECT_EQ(rt::send(*delegate(), rt::sel::description), "<AppDelegate: " + address + ">");
  EXPECT_TRUE(address.starts_with("0x"));

  // Attached: the class before proxying and the own implementations (empty when none).
  const std::any realClass = delegate()->associated(core::kGULRealClassKey);
  ASSERT_NE(std::any_cast<rt::Class*>(&realClass), nullptr);
  EXPECT_EQ(std::any_cast<rt::Class*>(realClass), delegateClass_);
  const std::pair<const char*, bool> kept[] = {{core::kGULContinueUserActivityIMPKey, true},
                                               {core::kGULOpenURLOptionsSourceAnnotationsIMPKey, false},
                                               {core::kGULHandleBackgroundSessionIMPKey, false}};
  for (const auto& [key, present] : kept) {
    const std::any value = delegate()->associated(key);
    ASSERT_NE(std::any_cast<rt::Imp>(&value), nullptr) << key;
    EXPECT_EQ(static_cast<bool>(std::any_cast<rt::Imp>(value)), present) << key;
  }
  EXPECT_FALSE(delegate()->associated(core::kGULOpenURLOptionsIMPKey).has_value());
}

// Without an own openURL:options: the subclass adds none, so the application
// still sees it absent; the other three are always there and, with nobody
// else to answer, answer false.
TEST_F(CoreAppDelegateProxyTest, OnlyTheThreeAlwaysAddedMethodsAppearAndAnswerFalseAlone) {
  launch(0);
  EXPECT_FALSE(app_->delegate_responds(ui::sel::continue_user_activity));
  GULAppDelegateSwizzler::proxyOriginalDelegate();

  EXPECT_FALSE(delegate()->responds_to(ui::sel::open_url));
  EXPECT_FALSE(app_->delegate_responds(ui::sel::open_url));
  for (rt::SelId added : {rt::SelId(ui::sel::open_url_source_application), rt::SelId(ui::sel::continue_user_activity),
                          rt::SelId(ui::sel::handle_events_for_background_session)}) {
    EXPECT_TRUE(app_->delegate_responds(added)) << added.name();  // the cache was taken again
  }
  EXPECT_EQ(openUrl(), std::nullopt);
  EXPECT_EQ(openUrlLegacy(), false);
  EXPECT_EQ(continueActivity(), false);
  EXPECT_EQ(sessionEvents(), 0);  // the proxy itself never calls the completion
  EXPECT_TRUE(calls().empty());
}

struct CoreProxyAnswerCase {
  bool interceptor;
  bool delegate;
  bool result;
};

// Every interceptor answering the selector runs first, then the delegate's
// own method; the answer is the OR of both, and the delegate always runs.
TEST_F(CoreAppDelegateProxyTest, InterceptorAndDelegateAnswersAreCombinedAndBothRun) {
  launch(kAll);
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  rt::Id interceptor = defineResponder("InterceptorAll", kAll).create();
  rt::Id silent = defineResponder("InterceptorSilent", 0).create();  // answers none of the four
  ASSERT_TRUE(GULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor));
  ASSERT_TRUE(GULAppDelegateSwizzler::registerAppDelegateInterceptor(silent));
  ASSERT_TRUE(app_->delegate_responds(ui::sel::open_url));

  const CoreProxyAnswerCase cases[] = {
      {false, false, false}, {true, false, true}, {false, true, true}, {true, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "interceptor " << c.interceptor << ", delegate " << c.delegate);
    answers() = {.delegate = c.delegate, .interceptor = c.interceptor};
    calls().clear();
    EXPECT_EQ(openUrl(), c.result);
    EXPECT_EQ(openUrlLegacy(), c.result);
    EXPECT_EQ(continueActivity(), c.result);
    const std::vector<std::string> expected{
        "interceptor openURL:options: " + kUrl,
        "delegate openURL:options: " + kUrl,
        "interceptor openURL:sourceApplication:annotation: " + kUrl + " src 7",
        "delegate openURL:sourceApplication:annotation: " + kUrl + " src 7",
        "interceptor continueUserActivity: browse",
        "delegate continueUserActivity: browse",
    };
    EXPECT_EQ(calls(), expected);
  }

  // The background-session completion is handed on unchanged: each caller of it reaches the system's.
  calls().clear();
  EXPECT_EQ(sessionEvents(), 2);
  EXPECT_EQ(calls(), (std::vector<std::string>{"interceptor handleEventsForBackgroundURLSession: bg-1",
                                               "delegate handleEventsForBackgroundURLSession: bg-1"}));
}

TEST_F(CoreAppDelegateProxyTest, RegistryGivesStableIdsRefusesBadInputAndPrunesVanishedInterceptors) {
  launch(0);
  rt::Id kept = defineResponder("InterceptorKept", kContinue).create();
  rt::Id vanishing = defineResponder("InterceptorVanishing", kContinue).create();
  rt::Id stranger = defineResponder("Stranger", kContinue, /*conforms=*/false).create();

  const auto id = GULAppDelegateSwizzler::registerAppDelegateInterceptor(kept);
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, "GUL_" + foundation::text::pointer_text(dynamic_cast<const void*>(kept.get())));
  EXPECT_EQ(GULAppDelegateSwizzler::registerAppDelegateInterceptor(kept), id);
  EXPECT_EQ(GULAppDelegateSwizzler::interceptors().count(), 1u);
  const auto vanishingId = GULAppDelegateSwizzler::registerAppDelegateInterceptor(vanishing);
  ASSERT_TRUE(vanishingId);

  EXPECT_EQ(GULAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr), std::nullopt);
  EXPECT_EQ(GULAppDelegateSwizzler::registerAppDelegateInterceptor(stranger), std::nullopt);
  GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(std::nullopt);
  GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("GUL_0x1");
  vanishing.reset();
  GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(vanishingId);  // gone: refused, not removed
  EXPECT_EQ(GULAppDelegateSwizzler::interceptors().count(), 2u);

  const std::pair<const char*, std::string> refusals[] = {
      {"I-SWZ001000", "AppDelegateProxy cannot add nil interceptor."},
      {"I-SWZ001001", "AppDelegateProxy interceptor does not conform to UIApplicationDelegate"},
      {"I-SWZ001003", "AppDelegateProxy cannot unregister empty interceptor ID."},
      {"I-SWZ001004", "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID GUL_0x1"},
      {"I-SWZ001004",
       "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID " + *vanishingId},
  };
  for (const auto& [code, text] : refusals) EXPECT_TRUE(logged("Error", code, text)) << code << "\n" << allLogged();

  // A callback prunes the vanished one and reaches the live one.
  std::vector<rt::Object*> reached;
  GULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
      ui::sel::continue_user_activity, [&](const rt::Id& interceptor) { reached.push_back(interceptor.get()); });
  EXPECT_EQ(reached, std::vector<rt::Object*>{kept.get()});
  EXPECT_TRUE(logged("Warning", "I-SWZ001010",
                     "AppDelegateProxy cannot find interceptor with ID " + *vanishingId + ". Removing the interceptor."))
      << allLogged();
  EXPECT_EQ(GULAppDelegateSwizzler::interceptors().count(), 1u);

  // An interceptor not answering the selector is skipped; unregistering a live one removes it.
  reached.clear();
  GULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
      ui::sel::open_url, [&](const rt::Id& interceptor) { reached.push_back(interceptor.get()); });
  EXPECT_TRUE(reached.empty());
  GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
  EXPECT_EQ(GULAppDelegateSwizzler::interceptors().count(), 0u);
}

struct CoreProxySwitchCase {
  const char* name;
  Dict info;
  bool enabled;
};

TEST_F(CoreAppDelegateProxyTest, SwitchesCountOnlyAsNumbers) {
  const std::string davidize(core::kGULDavidizeAppDelegateProxyEnabledPlistKey);
  const std::string dozada(core::kGULDozadaUtilitiesAppDelegateProxyEnabledPlistKey);
  const CoreProxySwitchCase cases[] = {
      {"none", Dict{}, true},
      {"utilities false", Dict{{dozada, false}}, false},
      {"core zero", Dict{{davidize, 0}}, false},
      {"string NO", Dict{{dozada, "NO"}, {davidize, "NO"}}, true},
      {"both true", Dict{{dozada, true}, {davidize, 1}}, true},
      {"one of two false", Dict{{dozada, true}, {davidize, false}}, false},
  };
  for (const auto& c : cases) {
    boot({}, c.info);
    EXPECT_EQ(GULAppDelegateSwizzler::isAppDelegateProxyEnabled(), c.enabled) << c.name;
  }
  // Without a class "FIRCore" the key is the utilities' one and there is no alternative text.
  EXPECT_EQ(GULAppDelegateSwizzler::correctAppDelegateProxyKey(), dozada);
  EXPECT_EQ(GULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated(), "");
}

TEST_F(CoreAppDelegateProxyTest, NumberFalseDisablesTheProxy) {
  launch(kContinue, Dict{{std::string(core::kGULDozadaUtilitiesAppDelegateProxyEnabledPlistKey), false}});
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(&delegate()->isa(), delegateClass_);
  EXPECT_FALSE(delegate()->associated(core::kGULRealClassKey).has_value());
  EXPECT_TRUE(logged("Notice", "I-SWZ001011", "App Delegate Proxy is disabled. ")) << allLogged();
  EXPECT_FALSE(GULAppDelegateObserver::sharedInstance().isObserving());
}

TEST_F(CoreAppDelegateProxyTest, StringNoKeepsTheProxyOn) {
  launch(kContinue, Dict{{std::string(core::kGULDozadaUtilitiesAppDelegateProxyEnabledPlistKey), "NO"}});
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(delegate()->isa().name().starts_with("GUL_AppDelegate-"));
  EXPECT_TRUE(GULAppDelegateObserver::sharedInstance().isObserving());
}

TEST_F(CoreAppDelegateProxyTest, NilDelegateIsRefused) {
  launch(kContinue);
  rt::send(*app_, ui::sel::set_delegate, rt::Id{});
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(logged("Error", "I-SWZ001012", "Cannot create App Delegate Proxy because App Delegate instance is nil. "))
      << allLogged();
  EXPECT_FALSE(GULAppDelegateObserver::sharedInstance().isObserving());
}

// Under the manual clock the time stands still, so a second proxy made in
// the same millisecond meets the first one's name.
TEST_F(CoreAppDelegateProxyTest, NameClashIsRefusedAndLeavesTheObjectUntouched) {
  launch(kContinue);
  rt::Id other = delegateClass_->create();
  GULAppDelegateSwizzler::createSubclassWithObject(delegate());
  GULAppDelegateSwizzler::createSubclassWithObject(other);

  EXPECT_TRUE(logged("Error", "I-SWZ001005",
                     "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: AppDelegate, "
                     "subclass: GUL_AppDelegate-1600000000000"))
      << allLogged();
  EXPECT_EQ(&other->isa(), delegateClass_);
  EXPECT_FALSE(other->associated(core::kGULRealClassKey).has_value());
  EXPECT_FALSE(other->associated(core::kGULContinueUserActivityIMPKey).has_value());

  // A millisecond later the name is free again.
  clock_->advance(std::chrono::milliseconds(1));
  GULAppDelegateSwizzler::createSubclassWithObject(other);
  EXPECT_EQ(other->isa().name(), "GUL_AppDelegate-1600000000001");
}

TEST_F(CoreAppDelegateProxyTest, ObserverKeepsTheProxyForTheSameObjectAndLetsGoForAnotherOne) {
  launch(kContinue);
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  rt::Id interceptor = defineResponder("InterceptorLegacy", kOpenUrlLegacy).create();
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  ASSERT_TRUE(GULAppDelegateObserver::sharedInstance().isObserving());

  rt::send(*app_, ui::sel::set_delegate, delegate());  // the same object again
  EXPECT_TRUE(GULAppDelegateObserver::sharedInstance().isObserving());
  EXPECT_EQ(openUrlLegacy(), false);
  EXPECT_EQ(calls(), std::vector<std::string>{"interceptor openURL:sourceApplication:annotation: " + kUrl + " src 7"});

  std::weak_ptr<rt::Object> proxied = delegate();
  rt::send(*app_, ui::sel::set_delegate, delegateClass_->create());
  EXPECT_FALSE(GULAppDelegateObserver::sharedInstance().isObserving());
  EXPECT_TRUE(proxied.expired());  // nothing here holds the former delegate any more
  EXPECT_EQ(&delegate()->isa(), delegateClass_);  // the new delegate is not proxied
}

}  // namespace
