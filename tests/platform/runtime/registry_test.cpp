#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/testing_reset.h"
#include "runtime_fixture.h"

namespace platform::rt::test {
namespace {

const Sel<bool(std::string)> open_url{"application:openURL:"};
const ClassSel<std::string()> bundle_identifier{"bundleIdentifier"};

std::vector<std::string> class_names() {
  std::vector<std::string> names;
  for (Class* cls : Runtime::shared().classes()) names.emplace_back(cls->name());
  return names;
}

class Delegate : public Object {
 public:
  explicit Delegate(Class& cls) : Object(cls) {}
  bool open(std::string url) {
    opened.push_back(url);
    return url.starts_with("app:");
  }
  std::string kind() const { return "delegate"; }
  std::vector<std::string> opened;
};

using RegistryTest = RuntimeTest;

TEST_F(RegistryTest, FreshRegistryHoldsOnlyTheRootBaseClasses) {
  EXPECT_EQ(class_names(), (std::vector<std::string>{"NSObject", "NSProxy"}));
  for (const char* name : {"NSObject", "NSProxy"}) {
    Class* cls = runtime_.find(name);
    ASSERT_NE(cls, nullptr) << name;
    EXPECT_EQ(cls->superclass(), nullptr) << name;
    EXPECT_EQ(cls->image(), foundation_image) << name;
    EXPECT_EQ(cls->instance_size(), sizeof(Object)) << name;
  }
  EXPECT_EQ(runtime_.find("AppDelegate"), nullptr);
  EXPECT_EQ(define("Widget").image(), main_image);
}

TEST(RuntimeScope, SwapsTheRegistryForItsLifetime) {
  Runtime& runtime = Runtime::shared();
  Runtime::Scope outer;
  Class& a = runtime.define({.name = "A", .superclass = "NSObject"});
  {
    Runtime::Scope inner;
    EXPECT_EQ(runtime.find("A"), nullptr);
    runtime.define({.name = "B", .superclass = "NSObject"});
    EXPECT_EQ(class_names(), (std::vector<std::string>{"NSObject", "NSProxy", "B"}));
  }
  EXPECT_EQ(runtime.find("A"), &a);
  EXPECT_EQ(runtime.find("B"), nullptr);
}

TEST_F(RegistryTest, ClassesListsRegisteredClassesInRegistrationOrder) {
  Class& zed = define("Zed");
  define("Alpha", "Zed");
  Class* pending = runtime_.allocate_subclass(zed, "Zed_Sub");
  ASSERT_NE(pending, nullptr);
  define("Mid");
  EXPECT_EQ(class_names(), (std::vector<std::string>{"NSObject", "NSProxy", "Zed", "Alpha", "Mid"}));
  EXPECT_EQ(runtime_.find("Zed_Sub"), nullptr);

  runtime_.register_subclass(*pending);
  runtime_.register_subclass(*pending);
  EXPECT_EQ(class_names(), (std::vector<std::string>{"NSObject", "NSProxy", "Zed", "Alpha", "Mid", "Zed_Sub"}));
  EXPECT_EQ(runtime_.find("Zed_Sub"), pending);
}

TEST_F(RegistryTest, ImageNamesAreTheDistinctNonEmptyImagesInRegistrationOrder) {
  EXPECT_EQ(runtime_.image_names(), (std::vector<std::string>{"Foundation"}));
  runtime_.define({.name = "View", .superclass = "NSObject", .image = "UIKitCore"});
  define("AppThing");  // main
  runtime_.define({.name = "Button", .superclass = "View", .image = "UIKitCore"});
  runtime_.define({.name = "Session", .superclass = "NSObject", .image = "CFNetwork"});
  Class* dynamic = runtime_.allocate_subclass(*runtime_.find("View"), "View_Dynamic");
  ASSERT_NE(dynamic, nullptr);
  runtime_.register_subclass(*dynamic);  // no image
  EXPECT_EQ(runtime_.image_names(), (std::vector<std::string>{"Foundation", "UIKitCore", "main", "CFNetwork"}));
}

TEST_F(RegistryTest, AllocateSubclassRefusesTakenNames) {
  Class& delegate = define("AppDelegate");
  ASSERT_NE(runtime_.allocate_subclass(delegate, "Pending"), nullptr);
  struct Case {
    const char* name;
    bool allocated;
  };
  for (Case c : {Case{"AppDelegate", false}, Case{"NSObject", false}, Case{"Pending", false}, Case{"", false},
                 Case{"Proxy_AppDelegate", true}}) {
    EXPECT_EQ(runtime_.allocate_subclass(delegate, c.name) != nullptr, c.allocated) << c.name;
  }
}

TEST_F(RegistryTest, AllocatedSubclassSharesTheSuperclassSizeAndHasNoImage) {
  Class& delegate = ClassBuilder<Delegate>("Delegate", "NSObject").define();
  Class* sub = runtime_.allocate_subclass(delegate, "Delegate_Sub");
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->superclass(), &delegate);
  EXPECT_EQ(sub->instance_size(), sizeof(Delegate));
  EXPECT_EQ(sub->image(), "");
  Class* larger = runtime_.allocate_subclass(delegate, "Delegate_Larger", 8);
  EXPECT_EQ(larger->instance_size(), sizeof(Delegate) + 8);

  // The inherited factory makes the superclass's C++ type with the subclass as isa.
  Id object = sub->create();
  ASSERT_NE(std::dynamic_pointer_cast<Delegate>(object), nullptr);
  EXPECT_EQ(&object->isa(), sub);
}

TEST_F(RegistryTest, DefineRejectsTakenNamesAndUnknownSuperclasses) {
  define("Widget");
  EXPECT_THROW(define("Widget"), std::invalid_argument);
  EXPECT_THROW(define("Orphan", "Missing"), std::invalid_argument);
  EXPECT_THROW(define(""), std::invalid_argument);
  EXPECT_EQ(runtime_.find("Orphan"), nullptr);
  EXPECT_EQ(class_names().size(), 3u);
}

TEST_F(RegistryTest, SetIsaChangesOneObjectOnly) {
  Class& delegate = define("AppDelegate");
  Id proxied = delegate.create();
  Id untouched = delegate.create();

  Class* sub = runtime_.allocate_subclass(delegate, "Proxy_AppDelegate");
  ASSERT_NE(sub, nullptr);
  ASSERT_TRUE(sub->add_method(open_url, Imp::make(open_url, [](Object&, std::string) { return true; })));
  runtime_.register_subclass(*sub);
  Object* before = proxied.get();
  proxied->set_isa(*sub);

  EXPECT_EQ(proxied.get(), before);
  EXPECT_EQ(&proxied->isa(), sub);
  EXPECT_EQ(&untouched->isa(), &delegate);
  EXPECT_TRUE(proxied->responds_to(open_url));
  EXPECT_FALSE(untouched->responds_to(open_url));
  EXPECT_TRUE(send(*proxied, open_url, "x"));
  EXPECT_THROW(send(*untouched, open_url, "x"), UnrecognizedSelector);
  EXPECT_TRUE(proxied->is_kind_of("AppDelegate"));
  EXPECT_TRUE(proxied->is_kind_of("Proxy_AppDelegate"));
  EXPECT_TRUE(proxied->is_kind_of("NSObject"));
  EXPECT_FALSE(untouched->is_kind_of("Proxy_AppDelegate"));
  EXPECT_FALSE(untouched->is_kind_of("NSProxy"));
}

TEST_F(RegistryTest, DescriptionDefaultsToClassAndAddressAndCanBeOverridden) {
  Class& delegate = ClassBuilder<Delegate>("AppDelegate", "NSObject").define();
  Id object = delegate.create();
  std::string text = send(*object, sel::description);
  EXPECT_EQ(text, "<AppDelegate: " + pointer_text(object.get()) + ">");
  std::string_view hex = std::string_view(text).substr(16, text.size() - 17);
  EXPECT_TRUE(text.starts_with("<AppDelegate: 0x") && text.ends_with(">")) << text;
  EXPECT_TRUE(!hex.empty() && hex.find_first_not_of("0123456789abcdef") == std::string_view::npos) << text;

  // A proxy subclass keeps presenting the object as its former class.
  static const char real_class_key = 0;
  Class* sub = runtime_.allocate_subclass(delegate, "Proxy_AppDelegate");
  ASSERT_TRUE(sub->add_method(sel::description, Imp::make(sel::description, [](Object& self) {
                                auto* real = std::any_cast<Class*>(self.associated(&real_class_key));
                                return "<" + std::string(real->name()) + ": " + pointer_text(&self) + ">";
                              })));
  runtime_.register_subclass(*sub);
  object->set_associated(&real_class_key, &delegate);
  object->set_isa(*sub);
  EXPECT_EQ(send(*object, sel::description), text);

  Id other = sub->create();
  EXPECT_EQ(send(*runtime_.find("NSObject")->create(), sel::description).substr(0, 11), "<NSObject: ");
  other->set_isa(delegate);
  EXPECT_EQ(send(*other, sel::description), "<AppDelegate: " + pointer_text(other.get()) + ">");
}

TEST_F(RegistryTest, ClassBuilderRegistersMembersProtocolsFactoryAndClassMethods) {
  Class& cls = ClassBuilder<Delegate>("AppDelegate", "NSObject")
                   .image("main")
                   .protocols({"UIApplicationDelegate"})
                   .method(open_url, &Delegate::open)
                   .method(Sel<std::string()>{"kind"}, &Delegate::kind)
                   .class_method(bundle_identifier, [](Class&) { return std::string("org.example.app"); })
                   .define(runtime_);
  EXPECT_EQ(cls.superclass(), runtime_.find("NSObject"));
  EXPECT_EQ(cls.instance_size(), sizeof(Delegate));
  EXPECT_TRUE(cls.declares_protocol("UIApplicationDelegate"));

  Id object = cls.create();
  auto delegate = std::dynamic_pointer_cast<Delegate>(object);
  ASSERT_NE(delegate, nullptr);
  EXPECT_EQ(&object->isa(), &cls);
  EXPECT_TRUE(send(*object, open_url, "app:home"));
  EXPECT_FALSE(send(*object, open_url, "https://x"));
  EXPECT_EQ(delegate->opened, (std::vector<std::string>{"app:home", "https://x"}));
  EXPECT_EQ(send(*object, Sel<std::string()>{"kind"}), "delegate");
  EXPECT_EQ(send(cls, bundle_identifier), "org.example.app");

  // A member Imp moved onto an object of another C++ type refuses the receiver.
  EXPECT_THROW(cls.lookup(open_url).call(open_url, *runtime_.find("NSObject")->create(), "x"), std::bad_cast);
}

TEST_F(RegistryTest, CreateGoesThroughTheNearestFactoryAndSetsTheIsa) {
  // A no-argument factory builds its object against some class; create() makes it this one.
  Class& nsobject = *runtime_.find("NSObject");
  Class& made = ClassBuilder<Delegate>("Made", "NSObject")
                    .factory([&nsobject] { return std::make_shared<Delegate>(nsobject); })
                    .define();
  Class& child = define("Child", "Made");
  EXPECT_EQ(&made.create()->isa(), &made);
  Id from_child = child.create();
  EXPECT_EQ(&from_child->isa(), &child);
  EXPECT_NE(std::dynamic_pointer_cast<Delegate>(from_child), nullptr);

  Class& plain = define("Plain");
  EXPECT_EQ(&plain.create()->isa(), &plain);

  ClassDefinition root;
  root.name = "FactorylessRoot";
  EXPECT_EQ(runtime_.define(std::move(root)).create(), nullptr);
}

int hook_runs = 0;
void count_hook() { ++hook_runs; }

TEST_F(RegistryTest, ResetForTestingDropsClassesAndLoadHookMemory) {
  define("Widget");
  const LoadHook hooks[] = {{1, "counter", &count_hook}};
  run_load_hooks(hooks);
  run_load_hooks(hooks);
  EXPECT_EQ(hook_runs, 1);

  reset_for_testing();
  EXPECT_EQ(runtime_.find("Widget"), nullptr);
  EXPECT_EQ(class_names(), (std::vector<std::string>{"NSObject", "NSProxy"}));
  run_load_hooks(hooks);
  EXPECT_EQ(hook_runs, 2);
}

}  // namespace
}  // namespace platform::rt::test
