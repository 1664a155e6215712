// Dispatch against the raw threads, mutexes and condition variables it wraps.
//
//   queue_async   N blocks async on a serial queue, then wait for the last one,
//                 vs one std::thread draining a mutex/condvar work queue.
//   semaphore     uncontended signal + wait, vs a mutex/condvar counter.
//   run_loop      N performs drained by run_pending(), vs a mutex-guarded deque.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/dispatch/dispatch.h"

namespace dispatch = platform::dispatch;

namespace {

constexpr int kBlocks = 1000;

void queue_async_ours(benchmark::State& state) {
  auto q = dispatch::Queue::serial("bench.serial");
  long sum = 0;  // touched only on q
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) q.async([&sum, i] { sum += i; });
    q.sync([] {});
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(queue_async_ours)->Name("queue_async/ours")->UseRealTime();

// A minimal serial work queue: one thread, one mutex, one condition variable.
class RawWorker {
 public:
  RawWorker() : thread_([this] { loop(); }) {}
  ~RawWorker() {
    {
      std::lock_guard lk(m_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  void async(std::function<void()> fn) {
    {
      std::lock_guard lk(m_);
      items_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }
  void wait_empty() {
    std::unique_lock lk(m_);
    done_cv_.wait(lk, [this] { return items_.empty() && !busy_; });
  }

 private:
  void loop() {
    std::unique_lock lk(m_);
    for (;;) {
      cv_.wait(lk, [this] { return stop_ || !items_.empty(); });
      if (items_.empty()) return;
      auto fn = std::move(items_.front());
      items_.pop_front();
      busy_ = true;
      lk.unlock();
      fn();
      lk.lock();
      busy_ = false;
      if (items_.empty()) done_cv_.notify_all();
    }
  }
  std::mutex m_;
  std::condition_variable cv_, done_cv_;
  std::deque<std::function<void()>> items_;
  bool stop_ = false, busy_ = false;
  std::thread thread_;
};

void queue_async_raw(benchmark::State& state) {
  RawWorker worker;
  long sum = 0;  // touched only by the worker
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) worker.async([&sum, i] { sum += i; });
    worker.wait_empty();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(queue_async_raw)->Name("queue_async/raw")->UseRealTime();

void semaphore_ours(benchmark::State& state) {
  dispatch::Semaphore s(0);
  for (auto _ : state) {
    s.signal();
    benchmark::DoNotOptimize(s.wait());
  }
}
BENCHMARK(semaphore_ours)->Name("semaphore/ours");

void semaphore_raw(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  long value = 0;
  for (auto _ : state) {
    {
      std::lock_guard lk(m);
      ++value;
      cv.notify_one();
    }
    std::unique_lock lk(m);
    cv.wait(lk, [&] { return value > 0; });
    --value;
  }
  benchmark::DoNotOptimize(value);
}
BENCHMARK(semaphore_raw)->Name("semaphore/raw");

void run_loop_ours(benchmark::State& state) {
  dispatch::RunLoop& loop = dispatch::RunLoop::current();
  long sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) loop.perform([&sum, i] { sum += i; });
    loop.run_pending();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(run_loop_ours)->Name("run_loop_perform/ours");

void run_loop_raw(benchmark::State& state) {
  std::mutex m;
  std::deque<std::function<void()>> items;
  long sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) {
      std::lock_guard lk(m);
      items.push_back([&sum, i] { sum += i; });
    }
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard lk(m);
        if (items.empty()) break;
        fn = std::move(items.front());
        items.pop_front();
      }
      fn();
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(run_loop_raw)->Name("run_loop_perform/raw");

}  // namespace

BENCHMARK_MAIN();
