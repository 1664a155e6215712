#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "runtime_fixture.h"

namespace platform::rt::test {
namespace {

std::vector<std::string> ran;

const LoadHook main_table[] = {
    {30, "screen", [] { ran.push_back("screen"); }},
    {10, "connector", [] { ran.push_back("connector"); }},
    {20, "diagnostics", [] { ran.push_back("diagnostics"); }},
    {20, "instance", [] { ran.push_back("instance"); }},
};

class LoadHookTest : public RuntimeTest {
 protected:
  void SetUp() override { ran.clear(); }
};

TEST_F(LoadHookTest, HooksRunByOrderAndEachNameOncePerProcess) {
  run_load_hooks(main_table);
  EXPECT_EQ(ran, (std::vector<std::string>{"connector", "diagnostics", "instance", "screen"}));

  run_load_hooks(main_table);
  EXPECT_EQ(ran.size(), 4u);

  // Keyed by name: another function under a known name does not run.
  const LoadHook second_table[] = {
      {1, "diagnostics", [] { ran.push_back("other diagnostics"); }},
      {5, "late", [] { ran.push_back("late"); }},
  };
  run_load_hooks(second_table);
  EXPECT_EQ(ran, (std::vector<std::string>{"connector", "diagnostics", "instance", "screen", "late"}));
}

const LoadHook reentrant_table[2] = {
    {1, "outer", [] {
       ran.push_back("outer");
       run_load_hooks(reentrant_table);
     }},
    {2, "inner", [] { ran.push_back("inner"); }},
};

TEST_F(LoadHookTest, AHookRunningTheTableAgainRunsNothingTwice) {
  run_load_hooks(reentrant_table);
  EXPECT_EQ(ran, (std::vector<std::string>{"outer", "inner"}));
}

TEST_F(LoadHookTest, HooksChangeMethodTablesAndAScopeStartsWithNoneRun) {
  static Class* target = nullptr;
  target = &define("Application");
  const LoadHook table[] = {{1, "category", [] {
                               const Sel<int()> badge{"badge"};
                               target->add_method(badge, Imp::make(badge, [](Object&) { return 3; }));
                             }}};
  run_load_hooks(table);
  EXPECT_EQ(send(*target->create(), Sel<int()>{"badge"}), 3);
  {
    Runtime::Scope inner;
    target = &runtime_.define({.name = "Application", .superclass = "NSObject"});
    run_load_hooks(table);
    EXPECT_TRUE(target->resolve(SelId("badge")).has_value());
  }
}

}  // namespace
}  // namespace platform::rt::test
