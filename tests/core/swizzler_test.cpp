// The swizzler over classes of a fresh runtime registry: replacing inherited,
// own and missing methods on either side, reading current implementations,
// and many threads replacing and reading at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/swizzler.h"
#include "platform/runtime/runtime.h"

namespace {

namespace rt = platform::rt;
using core::GULSwizzler;

const rt::Sel<int()> kValue{"coreSwizzlerValue"};
const rt::Sel<int()> kMissing{"coreSwizzlerMissing"};
const rt::ClassSel<std::string()> kKind{"coreSwizzlerKind"};

class CoreSwizzlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::ClassDefinition base;
    base.name = "CoreSwizzlerBase";
    base.superclass = "NSObject";
    base.methods = {{kValue.id, rt::Imp::make(kValue, [](rt::Object&) { return 1; })}};
    base.class_methods = {{kKind.id, rt::Imp::make(kKind, [](rt::Class&) { return std::string("base"); })}};
    base_ = &rt::Runtime::shared().define(std::move(base));
    rt::ClassDefinition sub;
    sub.name = "CoreSwizzlerSub";
    sub.superclass = "CoreSwizzlerBase";
    sub_ = &rt::Runtime::shared().define(std::move(sub));
  }

  rt::Runtime::Scope scope_;
  rt::Class* base_ = nullptr;
  rt::Class* sub_ = nullptr;
};

TEST_F(CoreSwizzlerTest, InheritedInstanceMethodIsReplacedOnTheSubclassOnly) {
  const rt::Imp inherited = base_->lookup(kValue);
  EXPECT_EQ(GULSwizzler::currentImplementationForClass(sub_, kValue, false), inherited);

  GULSwizzler::swizzleClass(sub_, kValue, [](rt::Object&) { return 2; });

  const rt::Imp current = GULSwizzler::currentImplementationForClass(sub_, kValue, false);
  ASSERT_TRUE(current);
  EXPECT_NE(current, inherited);
  EXPECT_EQ(current, sub_->lookup(kValue));
  EXPECT_EQ(sub_->resolve(kValue)->owner, sub_);
  EXPECT_EQ(rt::send(*sub_->create(), kValue), 2);
  EXPECT_EQ(current.call(kValue, *sub_->create()), 2);
  EXPECT_EQ(base_->lookup(kValue), inherited);
  EXPECT_EQ(rt::send(*base_->create(), kValue), 1);
  EXPECT_EQ(GULSwizzler::currentImplementationForClass(base_, kValue, false), inherited);
}

TEST_F(CoreSwizzlerTest, ClassSelectorsChangeTheClassSideOnly) {
  EXPECT_TRUE(GULSwizzler::selectorExistsInClass(kKind, sub_, true));
  EXPECT_FALSE(GULSwizzler::selectorExistsInClass(kKind, sub_, false));
  GULSwizzler::swizzleClass(sub_, kKind, [](rt::Class& cls) { return "swizzled " + std::string(cls.name()); });

  EXPECT_EQ(rt::send(*sub_, kKind), "swizzled CoreSwizzlerSub");
  EXPECT_EQ(rt::send(*base_, kKind), "base");
  EXPECT_EQ(GULSwizzler::currentImplementationForClass(sub_, kKind, true), sub_->lookup_class(kKind));
  EXPECT_FALSE(GULSwizzler::currentImplementationForClass(sub_, kKind, false));
  EXPECT_FALSE(GULSwizzler::selectorExistsInClass(kKind, sub_, false));
}

TEST_F(CoreSwizzlerTest, MissingMethodIsAddedAndAbsentInputsGiveNothing) {
  struct Case {
    const char* name;
    const rt::Class* cls;
    rt::SelId selector;
    bool classSide;
  };
  const Case nothing[] = {
      {"null class", nullptr, kValue, false},
      {"null class, class side", nullptr, kKind, true},
      {"empty selector", sub_, rt::SelId(), false},
      {"missing selector", sub_, kMissing, false},
      {"missing class selector", sub_, kMissing, true},
  };
  for (const auto& c : nothing) {
    EXPECT_FALSE(GULSwizzler::currentImplementationForClass(c.cls, c.selector, c.classSide)) << c.name;
    EXPECT_FALSE(GULSwizzler::selectorExistsInClass(c.selector, c.cls, c.classSide)) << c.name;
  }

  GULSwizzler::swizzleClass(nullptr, kMissing, [](rt::Object&) { return 0; });  // changes nothing
  GULSwizzler::swizzleClass(sub_, kMissing, [](rt::Object&) { return 3; });
  EXPECT_TRUE(GULSwizzler::selectorExistsInClass(kMissing, sub_, false));
  EXPECT_FALSE(GULSwizzler::selectorExistsInClass(kMissing, base_, false));
  EXPECT_EQ(rt::send(*sub_->create(), kMissing), 3);

  // No undoing and no record of the replaced implementation; no instance variables.
  GULSwizzler::unswizzleClass(sub_, kMissing, false);
  EXPECT_EQ(rt::send(*sub_->create(), kMissing), 3);
  EXPECT_FALSE(GULSwizzler::originalImplementationForClass(sub_, kValue, false));
  EXPECT_TRUE(GULSwizzler::ivarObjectsForObject(*sub_->create()).empty());
}

// Replacements and reads from many threads: every read finds one of the
// installed blocks, whole, and calling it answers that block's value.
TEST_F(CoreSwizzlerTest, ConcurrentReplacementsAndReadsStayConsistent) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  rt::Id object = sub_->create();
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        GULSwizzler::swizzleClass(sub_, kValue, [t](rt::Object&) { return 100 + t; });
        const rt::Imp current = GULSwizzler::currentImplementationForClass(sub_, kValue, false);
        const int read = current ? current.call(kValue, *object) : -1;
        const int sent = rt::send(*object, kValue);
        if (read < 100 || read >= 100 + kThreads || sent < 100 || sent >= 100 + kThreads) ++bad;
        if (!GULSwizzler::selectorExistsInClass(kValue, sub_, false)) ++bad;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(rt::send(*base_->create(), kValue), 1);
}

}  // namespace
