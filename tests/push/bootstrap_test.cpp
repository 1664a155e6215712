#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/notify/center.h"
#include "platform/os/profile.h"
#include "platform/runtime/runtime.h"
#include "platform/testing/capture.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "platform/ui/application.h"
#include "push/app_delegate_injection.h"
#include "push/bootstrap.h"
#include "push/center_injection.h"

namespace {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace notify = platform::notify;
using namespace push;

const rt::Sel<std::string()> probe{"probe"};
const rt::Sel<std::string()> probeReplacement{"rerAvirorProbe"};

rt::Imp says(std::string text) {
  return rt::Imp::make(probe, [text](rt::Object&) { return text; });
}

rt::Class& define(std::string name, std::string super, std::vector<std::pair<rt::SelId, rt::Imp>> methods = {},
                  std::vector<std::string> protocols = {}) {
  rt::ClassDefinition definition;
  definition.name = std::move(name);
  definition.superclass = std::move(super);
  definition.methods = std::move(methods);
  definition.protocols = std::move(protocols);
  return rt::Runtime::shared().define(std::move(definition));
}

std::string call(rt::Class& cls, const rt::Sel<std::string()>& sel) {
  auto object = cls.create();
  return rt::send(*object, sel);
}

class InjectionFunctionsTest : public ::testing::Test {
 protected:
  rt::Runtime::Scope scope_;
};

TEST_F(InjectionFunctionsTest, OverridesComparesWithTheSuperclassAndTreatsTwoMissingEntriesAsEqual) {
  rt::Class& base = define("Base", "NSObject", {{probe.id, says("base")}});
  rt::Class& inherits = define("Inherits", "Base");
  rt::Class& overrides = define("Overrides", "Base", {{probe.id, says("own")}});
  rt::Class& lacking = define("Lacking", "NSObject");
  rt::Class& lackingChild = define("LackingChild", "Lacking");
  rt::Class* root = rt::Runtime::shared().find("NSObject");
  struct Case {
    const rt::Class* cls;
    bool expected;
  } cases[] = {{&base, true}, {&inherits, false}, {&overrides, true}, {&lacking, false}, {&lackingChild, false},
               {root, false}};
  for (const Case& c : cases) EXPECT_EQ(instanceOverridesSelector(*c.cls, probe.id), c.expected) << c.cls->name();
}

TEST_F(InjectionFunctionsTest, ClassWithProtocolFindsTheNearestDeclaringClassElseTheTopBelowTheRoot) {
  rt::Class& declaring = define("Declaring", "NSObject", {}, {"P"});
  rt::Class& belowDeclaring = define("BelowDeclaring", "Declaring");
  rt::Class& alsoDeclaring = define("AlsoDeclaring", "Declaring", {}, {"P"});
  rt::Class& top = define("Top", "NSObject");
  rt::Class& middle = define("Middle", "Top");
  rt::Class& bottom = define("Bottom", "Middle");
  rt::Class* root = rt::Runtime::shared().find("NSObject");
  struct Case {
    rt::Class* cls;
    rt::Class* expected;
  } cases[] = {{&declaring, &declaring}, {&belowDeclaring, &declaring}, {&alsoDeclaring, &alsoDeclaring},
               {&bottom, &top},          {&middle, &top},              {&top, &top},
               {root, nullptr},          {nullptr, nullptr}};
  for (const Case& c : cases) {
    EXPECT_EQ(classWithProtocolInHierarchy(c.cls, "P"), c.expected) << (c.cls ? c.cls->name() : "null");
  }
}

TEST_F(InjectionFunctionsTest, AddOrExchangeOnAnOwnMethodExchangesAndTheOldOneAnswersTheNewSelector) {
  rt::Class& source = define("Source", "NSObject", {{probeReplacement.id, says("client")}});
  rt::Class& target = define("Target", "NSObject", {{probe.id, says("app")}});
  EXPECT_TRUE(addOrExchangeMethod(source, probeReplacement.id, &target, probe.id));
  EXPECT_EQ(call(target, probe), "client");
  EXPECT_EQ(call(target, probeReplacement), "app");
  EXPECT_EQ(call(source, probeReplacement), "client");  // the carrier keeps its own
}

TEST_F(InjectionFunctionsTest, AddOrExchangeOnAnInheritedMethodExchangesTheAncestorsEntry) {
  rt::Class& source = define("Source", "NSObject", {{probeReplacement.id, says("client")}});
  rt::Class& ancestor = define("Ancestor", "NSObject", {{probe.id, says("ancestor")}});
  rt::Class& target = define("Target", "Ancestor");
  rt::Class& sibling = define("Sibling", "Ancestor");
  EXPECT_TRUE(addOrExchangeMethod(source, probeReplacement.id, &target, probe.id));
  EXPECT_EQ(call(target, probe), "client");
  EXPECT_EQ(call(target, probeReplacement), "ancestor");
  EXPECT_EQ(call(ancestor, probe), "client");  // the ancestor's entry moved
  EXPECT_EQ(call(sibling, probe), "client");
  EXPECT_FALSE(ancestor.resolve(probeReplacement.id));
}

TEST_F(InjectionFunctionsTest, AddOrExchangeWithoutTheMethodAddsItUnderThePlatformSelectorOnly) {
  rt::Class& source = define("Source", "NSObject", {{probeReplacement.id, says("client")}});
  rt::Class& target = define("Target", "NSObject");
  EXPECT_FALSE(addOrExchangeMethod(source, probeReplacement.id, &target, probe.id));
  EXPECT_EQ(call(target, probe), "client");
  EXPECT_FALSE(target.resolve(probeReplacement.id));
}

TEST_F(InjectionFunctionsTest, AMissingSourceMethodNeverEmptiesThePlatformSelector) {
  rt::Class& source = define("Source", "NSObject");
  rt::Class& target = define("Target", "NSObject", {{probe.id, says("app")}});
  EXPECT_TRUE(addOrExchangeMethod(source, probeReplacement.id, &target, probe.id));
  EXPECT_EQ(call(target, probe), "app");
  EXPECT_FALSE(target.resolve(probeReplacement.id));
}

TEST_F(InjectionFunctionsTest, TheMarkerIsAnEmptyEntryAddedOnceAndFoundTheSecondTime) {
  rt::Class& source = define("Source", "NSObject");
  rt::Class& target = define("Target", "NSObject");
  EXPECT_FALSE(addOrExchangeMethod(source, sel::rerAvirorLoadedTagSelector.id, &target,
                                   sel::rerAvirorLoadedTagSelector.id));
  ASSERT_TRUE(target.resolve(sel::rerAvirorLoadedTagSelector.id));
  EXPECT_FALSE(target.lookup(sel::rerAvirorLoadedTagSelector.id));
  EXPECT_TRUE(addOrExchangeMethod(source, sel::rerAvirorLoadedTagSelector.id, &target,
                                  sel::rerAvirorLoadedTagSelector.id));
}

TEST_F(InjectionFunctionsTest, InstallGoesToTheFirstOverridingCandidateElseTheFallback) {
  rt::Class& source = define("Source", "NSObject", {{probeReplacement.id, says("client")}});
  rt::Class& base = define("Base", "NSObject", {{probe.id, says("base")}});
  rt::Class& plain = define("Plain", "Base");
  rt::Class& overriding = define("Overriding", "Base", {{probe.id, says("overriding")}});

  installOnOverridingSubclass(probeReplacement.id, probe.id, subclassesOfClass(&plain), source, &base);
  EXPECT_EQ(call(base, probe), "client");  // no candidate overrides: the fallback

  rt::Runtime::Scope inner;
  rt::Class& source2 = define("Source", "NSObject", {{probeReplacement.id, says("client")}});
  rt::Class& base2 = define("Base", "NSObject", {{probe.id, says("base")}});
  rt::Class& plain2 = define("Plain", "Base");
  rt::Class& overriding2 = define("Overriding", "Base", {{probe.id, says("overriding")}});
  installOnOverridingSubclass(probeReplacement.id, probe.id, {&plain2, &overriding2}, source2, &base2);
  EXPECT_EQ(call(overriding2, probe), "client");
  EXPECT_EQ(call(overriding2, probeReplacement), "overriding");
  EXPECT_EQ(call(base2, probe), "base");
  EXPECT_EQ(call(plain2, probe), "base");
  EXPECT_FALSE(base2.resolve(probeReplacement.id));
  (void)overriding;
}

TEST_F(InjectionFunctionsTest, SubclassesAreListedInRegistryOrderWithTheBase) {
  rt::Class& lonely = define("Lonely", "NSObject");
  rt::Class& base = define("Base", "NSObject");
  define("Other", "NSObject");
  rt::Class& child = define("Child", "Base");
  rt::Class& grandchild = define("Grandchild", "Child");
  EXPECT_EQ(subclassesOfClass(&lonely), std::vector<rt::Class*>{&lonely});
  EXPECT_EQ(subclassesOfClass(&base), (std::vector<rt::Class*>{&base, &child, &grandchild}));
  EXPECT_TRUE(subclassesOfClass(nullptr).empty());
}

// ---- the bootstrap on a booted device ----

struct Recorded {
  std::vector<std::string> events;
};

class BootstrapTest : public ::testing::Test {
 protected:
  void boot(std::string version, bool userNotifications = true, std::string executable = "App") {
    device_ = std::make_unique<platform::testing::TempDevice>(
        "bootstrap-test", platform::foundation::Dict{{"CFBundleExecutable", executable}});
    platform::os::DeviceProfile profile;
    profile.system_version = std::move(version);
    if (!userNotifications) profile.frameworks.erase("UserNotifications");
    ASSERT_TRUE(device_->boot({.profile = profile}));
    ui::register_runtime_classes();
    notify::register_runtime_classes();
    application_ = rt::Runtime::shared().find("UIApplication");
    ASSERT_NE(application_, nullptr);
    auto& calls = injectionCalls();
    calls.updateCachedBadgeValue = [this](std::int64_t value) {
      auto* app = dynamic_cast<ui::Application*>(app_.get());
      record_.events.push_back("cache " + std::to_string(value) + " (badge " +
                               std::to_string(app ? app->badge_number() : -1) + ")");
    };
    calls.registerAsUNNotificationCenterDelegate = [this] { record_.events.push_back("register centre delegate"); };
  }
  void TearDown() override {
    resetInjectionCalls();
    app_.reset();
    platform::testing::reset();
    device_.reset();
  }
  // The setters are exchanged when UIApplication answers the replacement selectors.
  bool settersExchanged() const {
    return application_->resolve(app_sel::setRerAvirorDelegate.id).has_value() &&
           application_->lookup(ui::sel::set_badge.id) != rt::Imp{} &&
           application_->resolve(sel::reravirorSetApplicationIconBadgeNumber.id) &&
           application_->lookup(ui::sel::set_delegate.id) ==
               rt::Runtime::shared().find(kAppDelegateCarrier)->lookup(app_sel::setRerAvirorDelegate.id);
  }

  std::unique_ptr<platform::testing::TempDevice> device_;
  rt::Class* application_ = nullptr;
  rt::Id app_;
  Recorded record_;
};

TEST_F(BootstrapTest, OnlyVersionsAboveSevenPointZeroAreInjected) {
  const struct {
    const char* version;
    bool injected;
  } cases[] = {{"6.1", false}, {"7.0", false}, {"7.0.1", true}, {"7.1", true}, {"8.0", true}, {"13.5", true}};
  for (const auto& c : cases) {
    boot(c.version);
    reravirorLoad();
    EXPECT_EQ(settersExchanged(), c.injected) << c.version;
    EXPECT_EQ(application_->resolve(sel::rerAvirorLoadedTagSelector.id).has_value(), c.injected) << c.version;
    TearDown();
  }
}

TEST_F(BootstrapTest, DesignableAgentsAreLeftAlone) {
  for (const char* name : {"IBDesignablesAgentCocoaTouch", "IBDesignablesAgent-iOS", "App"}) {
    boot("13.5", true, name);
    reravirorLoad();
    EXPECT_EQ(settersExchanged(), std::string(name) == "App") << name;
    TearDown();
  }
}

TEST_F(BootstrapTest, ASecondLoadWarnsAndDoesNotExchangeAgain) {
  boot("13.5");
  platform::testing::CaptureSinks capture;
  reravirorLoad();
  ASSERT_TRUE(settersExchanged());
  const rt::Imp delegateSetter = application_->lookup(ui::sel::set_delegate.id);
  const rt::Imp badgeSetter = application_->lookup(ui::sel::set_badge.id);
  const rt::Imp centreSetter = rt::Runtime::shared().find(notify::kCenterClass)->lookup(notify::sel::center_set_delegate.id);
  reravirorLoad();
  EXPECT_EQ(application_->lookup(ui::sel::set_delegate.id), delegateSetter);
  EXPECT_EQ(application_->lookup(ui::sel::set_badge.id), badgeSetter);
  EXPECT_EQ(rt::Runtime::shared().find(notify::kCenterClass)->lookup(notify::sel::center_set_delegate.id),
            centreSetter);
  const auto lines = capture.log_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.find("Already swizzled UIApplication.setDelegate. Make sure the RerAviror "
                                             "library wasn't loaded into the runtime twice!") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(record_.events, std::vector<std::string>{"register centre delegate"});
}

TEST_F(BootstrapTest, TheCentreIsExchangedOnlyWhereItsClassExists) {
  for (bool userNotifications : {false, true}) {
    boot(userNotifications ? "13.5" : "9.3", userNotifications);
    reravirorLoad();
    EXPECT_TRUE(settersExchanged());
    rt::Class* centre = rt::Runtime::shared().find(notify::kCenterClass);
    ASSERT_EQ(centre != nullptr, userNotifications);
    if (centre) {
      rt::Class& carrier = *rt::Runtime::shared().find(kCenterCarrier);
      EXPECT_EQ(centre->lookup(notify::sel::center_set_delegate.id),
                carrier.lookup(center_sel::setRerAvirorUNDelegate.id));
      EXPECT_EQ(centre->lookup(notify::sel::request_authorization.id),
                carrier.lookup(center_sel::requestAuthorization.id));
      EXPECT_EQ(centre->lookup(notify::sel::get_settings.id), carrier.lookup(center_sel::getNotificationSettings.id));
      EXPECT_EQ(record_.events, std::vector<std::string>{"register centre delegate"});
    } else {
      EXPECT_TRUE(record_.events.empty());
    }
    TearDown();
  }
}

TEST_F(BootstrapTest, ABadgeGoesToTheCacheFirstThenToTheApplication) {
  boot("13.5");
  reravirorLoad();
  app_ = application_->create();
  rt::send(*app_, ui::sel::set_badge, std::int64_t{5});
  rt::send(*app_, ui::sel::set_badge, std::int64_t{0});
  EXPECT_EQ(record_.events, (std::vector<std::string>{"register centre delegate", "cache 5 (badge 0)",
                                                      "cache 0 (badge 5)"}));
  EXPECT_EQ(dynamic_cast<ui::Application&>(*app_).badge_number(), 0);
}

}  // namespace
