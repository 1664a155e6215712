// Message sends and associated values against the plain C++ they wrap.
#include <benchmark/benchmark.h>

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/runtime/runtime.h"

namespace rt = platform::rt;

namespace {

const rt::Sel<int(int)> add_one{"addOne:"};

int add(rt::Object&, int x) { return x + 1; }

// A three-level chain, the method on the root class, as for inherited platform methods.
rt::Id make_leaf() {
  rt::Runtime& runtime = rt::Runtime::shared();
  if (!runtime.find("BenchBase")) {
    rt::Class& base = runtime.define({.name = "BenchBase", .superclass = "NSObject"});
    base.add_method(add_one, rt::Imp::make(add_one, &add));
    runtime.define({.name = "BenchMid", .superclass = "BenchBase"});
    runtime.define({.name = "BenchLeaf", .superclass = "BenchMid"});
  }
  return runtime.find("BenchLeaf")->create();
}

void send_ours(benchmark::State& state) {
  rt::Id object = make_leaf();
  int x = 0;
  for (auto _ : state) {
    x = rt::send(*object, add_one, x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(send_ours)->Name("send/ours");

void send_raw(benchmark::State& state) {
  rt::Id object = make_leaf();
  const std::function<int(rt::Object&, int)> fn = &add;
  int x = 0;
  for (auto _ : state) {
    x = fn(*object, x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(send_raw)->Name("send/raw");

const char key = 0;

void associated_ours(benchmark::State& state) {
  rt::Id object = make_leaf();
  object->set_associated(&key, std::make_shared<int>(7));
  for (auto _ : state) {
    std::any value = object->associated(&key);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(associated_ours)->Name("associated/ours");

void associated_raw(benchmark::State& state) {
  std::mutex mutex;
  std::unordered_map<const void*, std::any> table{{&key, std::make_shared<int>(7)}};
  for (auto _ : state) {
    std::lock_guard lock(mutex);
    std::any value = table.find(&key)->second;
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(associated_raw)->Name("associated/raw");

}  // namespace

BENCHMARK_MAIN();
