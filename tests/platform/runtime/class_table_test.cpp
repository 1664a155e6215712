#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime_fixture.h"

namespace platform::rt::test {
namespace {

const Sel<int()> value{"value"};
const Sel<void(std::string)> set_delegate{"setDelegate:"};
const Sel<void(std::string)> set_injected_delegate{"setInjectedDelegate:"};

class ClassTableTest : public RuntimeTest {
 protected:
  void SetUp() override {
    base_ = &define("Base");
    sub_ = &define("Sub", "Base");
    base_->add_method(value, returning(value, 1));
  }

  Class* base_ = nullptr;
  Class* sub_ = nullptr;
};

TEST_F(ClassTableTest, AddMethodRefusesAnOwnEntryButMayOverrideAnInheritedOne) {
  Imp two = returning(value, 2);
  EXPECT_TRUE(sub_->add_method(value, two));
  EXPECT_FALSE(sub_->add_method(value, returning(value, 3)));
  EXPECT_EQ(sub_->lookup(value), two);
  EXPECT_EQ(send(*base_->create(), value), 1);

  // An override with another signature is refused; the inherited entry stays.
  Class& other = define("Other", "Base");
  const Sel<std::string()> value_as_text{"value"};
  EXPECT_FALSE(other.add_method(value, Imp::make(value_as_text, [](Object&) { return std::string("x"); })));
  EXPECT_EQ(other.resolve(value)->owner, base_);

  // An empty Imp carries no signature and is accepted over anything.
  EXPECT_TRUE(other.add_method(value, Imp{}));
  EXPECT_EQ(other.resolve(value)->owner, &other);
}

TEST_F(ClassTableTest, ReplaceOnSubclassLeavesTheSuperclassUntouched) {
  Imp original = base_->lookup(value);
  Imp block = returning(value, 7);
  EXPECT_FALSE(sub_->replace_method(value, block));  // no own entry before: added
  EXPECT_EQ(sub_->resolve(value)->owner, sub_);
  EXPECT_EQ(sub_->lookup(value), block);
  EXPECT_EQ(base_->lookup(value), original);
  EXPECT_EQ(send(*base_->create(), value), 1);
  EXPECT_EQ(send(*sub_->create(), value), 7);

  Imp second = returning(value, 8);
  EXPECT_EQ(sub_->replace_method(value, second), block);
  EXPECT_EQ(send(*sub_->create(), value), 8);
}

TEST_F(ClassTableTest, ExchangingAnInheritedEntryChangesTheAncestor) {
  std::vector<std::string> log;
  base_->add_method(set_delegate,
                    Imp::make(set_delegate, [&log](Object&, std::string d) { log.push_back("platform " + d); }));
  // The replacement reaches the previous implementation by sending its own selector.
  Imp replacement = Imp::make(set_injected_delegate, [&log](Object& self, std::string d) {
    log.push_back("injected " + d);
    send_if_responds(self, set_injected_delegate, d);
  });
  Imp platform_imp = base_->lookup(set_delegate);

  ASSERT_TRUE(sub_->add_method(set_injected_delegate, replacement));
  std::optional<MethodRef> target = sub_->resolve(set_delegate);
  ASSERT_TRUE(target.has_value());
  EXPECT_EQ(target->owner, base_);
  ASSERT_TRUE(exchange(*target, *sub_->resolve(set_injected_delegate)));

  EXPECT_EQ(base_->lookup(set_delegate), replacement);
  EXPECT_EQ(sub_->lookup(set_injected_delegate), platform_imp);
  send(*sub_->create(), set_delegate, "a");
  EXPECT_EQ(log, (std::vector<std::string>{"injected a", "platform a"}));

  // A plain Base instance runs the replacement too, but has no previous to reach.
  log.clear();
  send(*base_->create(), set_delegate, "b");
  EXPECT_EQ(log, (std::vector<std::string>{"injected b"}));
}

TEST_F(ClassTableTest, ExchangeRefusalsChangeNothing) {
  const Sel<std::string()> name{"name"};
  const Sel<int()> count{"count"};
  const ClassSel<int()> class_count{"classCount"};
  base_->add_method(name, Imp::make(name, [](Object&) { return std::string("n"); }));
  base_->add_class_method(class_count, Imp::make(class_count, [](Class&) { return 3; }));
  base_->add_method(count, Imp::make(class_count, [](Class&) { return 4; }));  // same R(A...), class receiver

  struct Case {
    const char* what;
    MethodRef a;
    MethodRef b;
  };
  const Case cases[] = {
      {"signature mismatch", {base_, value.id}, {base_, name.id}},
      {"receiver side mismatch inside one table", {base_, value.id}, {base_, count.id}},
      {"instance against class entry", {base_, value.id}, {base_, class_count.id, true}},
      {"missing entry", {base_, value.id}, {sub_, value.id}},
      {"no owner", {nullptr, value.id}, {base_, value.id}},
  };
  Imp before_value = base_->lookup(value);
  Imp before_name = base_->lookup(name);
  for (const Case& c : cases) {
    EXPECT_FALSE(exchange(c.a, c.b)) << c.what;
    EXPECT_EQ(base_->lookup(value), before_value) << c.what;
    EXPECT_EQ(base_->lookup(name), before_name) << c.what;
  }

  // Class-side entries exchange with each other.
  const ClassSel<int()> other_count{"otherCount"};
  sub_->add_class_method(other_count, Imp::make(other_count, [](Class&) { return 5; }));
  ASSERT_TRUE(exchange(*sub_->resolve_class(class_count), *sub_->resolve_class(other_count)));
  EXPECT_EQ(send(*base_, class_count), 5);
  EXPECT_EQ(send(*sub_, other_count), 3);
}

TEST_F(ClassTableTest, ProtocolDeclarationsAreOwnWhileConformanceWalksTheChain) {
  Class& delegate = define("Delegate", "NSObject", {"AppDelegateProtocol"});
  Class& derived = define("Derived", "Delegate", {"Other"});
  struct Case {
    Class* cls;
    const char* protocol;
    bool declares;
    bool conforms;
  };
  for (Case c : {Case{&delegate, "AppDelegateProtocol", true, true}, Case{&derived, "AppDelegateProtocol", false, true},
                 Case{&derived, "Other", true, true}, Case{&delegate, "Other", false, false},
                 Case{runtime_.find("NSObject"), "AppDelegateProtocol", false, false}}) {
    EXPECT_EQ(c.cls->declares_protocol(c.protocol), c.declares) << c.cls->name() << " " << c.protocol;
    EXPECT_EQ(c.cls->conforms_to(c.protocol), c.conforms) << c.cls->name() << " " << c.protocol;
  }
}

}  // namespace
}  // namespace platform::rt::test
