#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime_fixture.h"

namespace platform::rt::test {
namespace {

const Sel<int()> sel_value{"value"};
const Sel<int()> spare{"spare"};

// Each Imp owns a heap value, so a table swap that freed an Imp still in use
// would show as a use-after-free under the sanitizers.
Imp owning(const Sel<int()>& sel, int result) {
  auto payload = std::make_shared<int>(result);
  return Imp::make(sel, [payload](Object&) { return *payload; });
}

TEST_F(RuntimeTest, SendsStaySoundWhileTablesAndIsaChange) {
  Class& base = define("Counter");
  Class& sub = define("SubCounter", "Counter");
  base.add_method(sel_value, owning(sel_value, 1));
  base.add_method(spare, owning(spare, 2));
  Id object = base.create();
  static const char key = 0;

  constexpr int senders = 4;
  constexpr int sends_each = 100000;
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};

  std::thread writer([&] {
    for (int round = 0; !done.load(); ++round) {
      base.replace_method(sel_value, owning(sel_value, 1 + round % 3));
      exchange(*base.resolve(sel_value), *base.resolve(spare));
      if (round % 2 == 0) {
        sub.replace_method(sel_value, owning(sel_value, 2));
        object->set_isa(sub);
      } else {
        object->set_isa(base);
      }
      object->set_associated(&key, std::make_shared<int>(round));
    }
  });

  std::vector<std::thread> threads;
  for (int t = 0; t < senders; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < sends_each; ++i) {
        int result = send(*object, sel_value);
        if (result < 1 || result > 3) ++bad;
        if (!send_if_responds(*object, spare)) ++bad;
        std::any held = object->associated(&key);
        if (held.has_value() && !std::any_cast<std::shared_ptr<int>>(held)) ++bad;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  done = true;
  writer.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(RuntimeTest, ConcurrentDefinitionsAndLookupsKeepTheRegistryConsistent) {
  constexpr int threads_count = 4;
  constexpr int per_thread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < threads_count; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < per_thread; ++i) {
        std::string name = "C" + std::to_string(t) + "_" + std::to_string(i);
        Class& cls = define(name);
        EXPECT_EQ(runtime_.find(name), &cls);
        EXPECT_EQ(runtime_.allocate_subclass(cls, name), nullptr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(runtime_.classes().size(), 2u + threads_count * per_thread);
}

}  // namespace
}  // namespace platform::rt::test
