// The component registry: registrants, the first registration per protocol,
// timings, caching, lifecycle on deletion; and the per-host association.
#include "core/app_selectors.h"
#include "core/component.h"
#include "tests/core/app_fixture.h"

namespace core_app_test {
namespace {

using namespace core;

class ComponentObject : public rt::Object {
 public:
  using rt::Object::Object;
  int number = 0;
};

// Registrant classes and the instances their components make.
struct Made {
  std::map<std::string, int> counts;   // protocol -> creations
  std::vector<std::string> deleted;    // "appWillBeDeleted: <app>"
};

Made& made() {
  static Made m;
  return m;
}

rt::Class& define_instance_class(const std::string& name, std::initializer_list<std::string_view> protocols,
                                 bool answers_deletion) {
  rt::ClassBuilder<ComponentObject> builder(name, "NSObject");
  builder.protocols(protocols);
  if (answers_deletion) {
    builder.method(sel::appWillBeDeleted, [name](ComponentObject&, std::shared_ptr<FIRApp> app) {
      made().deleted.push_back(name + " appWillBeDeleted: " + (app ? app->name() : "nil"));
    });
  }
  return builder.define();
}

// A block making an instance of `cls`, counted under `protocol`.
FIRComponentCreationBlock maker(const std::string& protocol, rt::Class& cls, bool cacheable, int number = 0) {
  return [protocol, &cls, cacheable, number](FIRComponentContainer&, bool& isCacheable) -> rt::Id {
    ++made().counts[protocol];
    isCacheable = cacheable;
    auto object = std::dynamic_pointer_cast<ComponentObject>(cls.create());
    object->number = number;
    return object;
  };
}

rt::Class& define_registrant(const std::string& name, std::vector<std::shared_ptr<FIRComponent>> components) {
  return rt::ClassBuilder<ComponentObject>(name, "NSObject")
      .protocols({"FIRComponentRegistrant"})
      .class_method(sel::componentsToRegister, [components](rt::Class&) { return components; })
      .define();
}

int number_of(const rt::Id& object) {
  auto c = std::dynamic_pointer_cast<ComponentObject>(object);
  return c ? c->number : -1;
}

class CoreComponentTest : public CoreAppTest {
 protected:
  void SetUp() override {
    made() = {};
    boot();
  }
};

TEST_F(CoreComponentTest, OnlyRegistrantClassesAreAccepted) {
  rt::Class& good = define_registrant("GoodRegistrant", {});
  rt::Class& no_protocol = rt::ClassBuilder<ComponentObject>("NoProtocol", "NSObject")
                               .class_method(sel::componentsToRegister,
                                             [](rt::Class&) { return std::vector<std::shared_ptr<FIRComponent>>{}; })
                               .define();
  rt::Class& no_method =
      rt::ClassBuilder<ComponentObject>("NoMethod", "NSObject").protocols({"FIRComponentRegistrant"}).define();
  for (rt::Class* bad : {&no_protocol, &no_method}) {
    FIRRegistrantSet set;
    EXPECT_EQ(raised_reason([&] { FIRComponentContainer::registerAsComponentRegistrant(bad, &set); },
                            "NSInvalidArgumentException"),
              "Class " + std::string(bad->name()) +
                  " attempted to register components, but it does not conform to `FIRComponentRegistrant` or provide "
                  "a `componentsToRegister:` method.");
    EXPECT_TRUE(set.empty());
  }
  FIRRegistrantSet set;
  FIRComponentContainer::registerAsComponentRegistrant(&good, &set);
  FIRComponentContainer::registerAsComponentRegistrant(&good, &set);
  EXPECT_EQ(set, FIRRegistrantSet{&good});
  FIRComponentContainer::registerAsComponentRegistrant(&good, nullptr);
  const auto logged = records_with("I-COR000025");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].level, "Warning");
  EXPECT_EQ(logged[0].message,
            "5.12.0 - [Davidize/Core][I-COR000025] Attempted to store registered components in an empty set.");
}

TEST_F(CoreComponentTest, FirstRegistrationWinsAndLookupsFollowCaching) {
  rt::Class& impl = define_instance_class("ImplP", {"P", "Q"}, false);
  rt::Class& stranger = define_instance_class("Stranger", {}, false);
  FIRRegistrantSet set;
  FIRComponentContainer::registerAsComponentRegistrant(
      &define_registrant("First", {FIRComponent::componentWithProtocol("P", maker("P", impl, true, 1)),
                                   FIRComponent::componentWithProtocol("Q", maker("Q", impl, false, 3))}),
      &set);
  FIRComponentContainer::registerAsComponentRegistrant(
      &define_registrant("Second", {FIRComponent::componentWithProtocol("P", maker("P", impl, true, 2)),
                                    FIRComponent::componentWithProtocol("S", maker("S", stranger, false, 4))}),
      &set);
  FIRComponentContainer container(nullptr, set);
  const auto duplicate = records_with("I-COR000029");
  ASSERT_EQ(duplicate.size(), 1u);
  EXPECT_EQ(duplicate[0].message,
            "5.12.0 - [Davidize/Core][I-COR000029] Attempted to register protocol P, but it already has an "
            "implementation.");
  EXPECT_TRUE(made().counts.empty());   // all lazy

  auto p = container.instanceForProtocol("P");
  EXPECT_EQ(number_of(p), 1);
  EXPECT_EQ(container.instanceForProtocol("P"), p);   // cached
  auto q = container.instanceForProtocol("Q");
  EXPECT_EQ(number_of(q), 3);
  EXPECT_NE(container.instanceForProtocol("Q"), q);   // fresh every time
  EXPECT_EQ(made().counts, (std::map<std::string, int>{{"P", 1}, {"Q", 2}}));
  EXPECT_EQ(FIRComponentType::instanceForProtocol("P", &container), p);
  EXPECT_FALSE(FIRComponentType::instanceForProtocol("P", nullptr));

  // A missing protocol gives nil without a line; a non-conforming instance is logged and still used.
  EXPECT_FALSE(container.instanceForProtocol("Missing"));
  EXPECT_EQ(number_of(container.instanceForProtocol("S")), 4);
  EXPECT_EQ(records_with("I-COR000030").at(0).message,
            "5.12.0 - [Davidize/Core][I-COR000030] An instance conforming to S was requested, but the instance "
            "provided does not conform to the protocol");
  EXPECT_EQ(count_code("I-COR000030"), 1u);
  EXPECT_FALSE(container.instantiateInstanceForProtocol("P", {}));
  EXPECT_FALSE(container.instantiateInstanceForProtocol(
      "P", [](FIRComponentContainer&, bool& cacheable) -> rt::Id {
        cacheable = true;
        return nullptr;
      }));
  EXPECT_EQ(container.instanceForProtocol("P"), p);

  // Made from a block table, without registrants.
  FIRComponentContainer from_blocks(nullptr, std::map<std::string, FIRComponentCreationBlock>{{"P", maker("P", impl, false, 9)}});
  EXPECT_EQ(number_of(from_blocks.instanceForProtocol("P")), 9);
}

TEST_F(CoreComponentTest, EagerComponentsAreMadeWithTheirContainer) {
  rt::Class& impl = define_instance_class("EagerImpl", {"Lazy", "Always", "DefaultOnly"}, false);
  rt::Class& registrant = define_registrant(
      "EagerRegistrant",
      {FIRComponent::componentWithProtocol("Lazy", maker("Lazy", impl, true)),
       FIRComponent::componentWithProtocol("Always", FIRInstantiationTiming::alwaysEager, {}, maker("Always", impl, true)),
       FIRComponent::componentWithProtocol("DefaultOnly", FIRInstantiationTiming::eagerInDefaultApp,
                                           {FIRDependency::dependencyWithProtocol("Lazy", false)},
                                           maker("DefaultOnly", impl, false))});
  FIRComponentContainer::registerAsComponentRegistrant(&registrant);

  FIRApp::configureWithName("named", valid_options());
  EXPECT_EQ(made().counts, (std::map<std::string, int>{{"Always", 1}}));
  FIRApp::configure();
  EXPECT_EQ(made().counts, (std::map<std::string, int>{{"Always", 2}, {"DefaultOnly", 1}}));
  // Not cacheable, so the default app makes it again on request; the named app makes it on first request.
  FIRApp::defaultApp()->container()->instanceForProtocol("DefaultOnly");
  FIRApp::appNamed("named")->container()->instanceForProtocol("DefaultOnly");
  EXPECT_EQ(made().counts.at("DefaultOnly"), 3);
  EXPECT_EQ(FIRApp::appNamed("named")->container()->app(), FIRApp::appNamed("named"));
}

TEST_F(CoreComponentTest, DeletingAnAppTellsItsCachedLifecycleMaintainers) {
  rt::Class& maintainer = define_instance_class("Maintainer", {"FIRComponentLifecycleMaintainer", "M"}, true);
  rt::Class& unmarked = define_instance_class("Unmarked", {"U"}, true);   // answers, but does not conform
  rt::Class& silent = define_instance_class("Silent", {"FIRComponentLifecycleMaintainer", "S"}, false);
  FIRComponentContainer::registerAsComponentRegistrant(&define_registrant(
      "LifecycleRegistrant", {FIRComponent::componentWithProtocol("M", maker("M", maintainer, true)),
                              FIRComponent::componentWithProtocol("Fresh", maker("Fresh", maintainer, false)),
                              FIRComponent::componentWithProtocol("U", maker("U", unmarked, true)),
                              FIRComponent::componentWithProtocol("S", maker("S", silent, true))}));
  FIRApp::configureWithName("doomed", valid_options());
  auto app = FIRApp::appNamed("doomed");
  auto container = app->container();
  auto m = container->instanceForProtocol("M");
  for (const char* protocol : {"Fresh", "U", "S"}) container->instanceForProtocol(protocol);
  app->deleteApp({});
  EXPECT_EQ(made().deleted, (std::vector<std::string>{"Maintainer appWillBeDeleted: doomed"}));
  // The cache is empty afterwards.
  EXPECT_NE(container->instanceForProtocol("M"), m);
}

TEST_F(CoreComponentTest, AssociationMakesOneObjectPerHostAndKeyAndRefusesReentry) {
  rt::Class& cls = define_instance_class("AssociationHost", {}, false);
  auto host = cls.create();
  auto other_host = cls.create();
  int creations = 0;
  auto make = [&]() -> rt::Id {
    ++creations;
    return cls.create();
  };
  auto first = FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "k", make);
  ASSERT_TRUE(first);
  EXPECT_EQ(FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "k", make), first);
  EXPECT_NE(FIRAppAssociationRegistration::registeredObjectWithHost(other_host.get(), "k", make), first);
  EXPECT_EQ(creations, 2);
  EXPECT_FALSE(FIRAppAssociationRegistration::registeredObjectWithHost(nullptr, "k", make));

  // Another key of the same host from inside a creation block is fine; the same key raises.
  rt::Id inner;
  auto outer = FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "outer", [&]() -> rt::Id {
    inner = FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "inner", make);
    return cls.create();
  });
  EXPECT_TRUE(outer);
  EXPECT_EQ(FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "inner", make), inner);
  const std::string reason = raised_reason(
      [&] {
        FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "again", [&]() -> rt::Id {
          return FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "again", make);
        });
      },
      "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
  EXPECT_EQ(reason.rfind("host: <AssociationHost: 0x", 0), 0u) << reason;
  EXPECT_EQ(reason.substr(reason.size() - 11), " key: again");
  // The failed creation left the key free; a nil result is not kept either.
  EXPECT_TRUE(FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "again", make));
  int nil_calls = 0;
  auto nil_maker = [&]() -> rt::Id {
    ++nil_calls;
    return nullptr;
  };
  EXPECT_FALSE(FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "nil", nil_maker));
  EXPECT_FALSE(FIRAppAssociationRegistration::registeredObjectWithHost(host.get(), "nil", nil_maker));
  EXPECT_EQ(nil_calls, 2);
}

}  // namespace
}  // namespace core_app_test
