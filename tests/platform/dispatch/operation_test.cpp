#include <atomic>

#include "tests/platform/dispatch/fixture.h"

namespace platform::dispatch::test {
namespace {

using OperationTest = DispatchTest;

// An asynchronous operation in the kits' style: start() begins the work and
// returns; the work reports its end later through set_executing/set_finished.
class AsyncOperation : public Operation {
 public:
  explicit AsyncOperation(Log<std::string>* log) : log_(log) {}
  bool is_asynchronous() const override { return true; }
  void start() override {
    if (is_cancelled()) {
      set_finished(true);
      return;
    }
    set_executing(true);
    log_->add("async started");
  }
  void finish() {
    log_->add("async finished");
    set_executing(false);
    set_finished(true);
  }

 private:
  Log<std::string>* log_;
};

TEST_F(OperationTest, SerialOperationQueueKeepsOrder) {
  OperationQueue q("com.test.ops");
  q.set_max_concurrent(1);
  Log<int> log;
  std::atomic<int> inside{0}, overlaps{0};
  for (int i = 0; i < 100; ++i) {
    q.add([&, i] {
      if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
      log.add(i);
      inside.fetch_sub(1);
    });
  }
  q.wait_until_all_finished();
  auto items = log.items();
  ASSERT_EQ(items.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(items[i], i);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(q.operation_count(), 0u);
}

TEST_F(OperationTest, DependenciesOrderOperations) {
  OperationQueue q;
  Log<std::string> log;
  auto a = std::make_shared<BlockOperation>([&] { log.add("a"); });
  auto b = std::make_shared<BlockOperation>([&] { log.add("b"); });
  auto c = std::make_shared<BlockOperation>([&] { log.add("c"); });
  c->add_dependency(b);
  b->add_dependency(a);
  EXPECT_FALSE(c->is_ready());
  q.add_all({c, b, a}, true);
  EXPECT_EQ(log.items(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(a->is_finished() && b->is_finished() && c->is_finished());
  EXPECT_FALSE(c->is_executing());
}

TEST_F(OperationTest, SuspendedQueueHoldsWorkUntilResumed) {
  OperationQueue q("analytics entry");
  q.set_max_concurrent(1);
  q.set_suspended(true);  // created suspended, as the analytics entry's queue
  EXPECT_TRUE(q.is_suspended());
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) q.add([&] { ran.fetch_add(1); });
  wait_until_idle();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(q.operation_count(), 3u);
  q.set_suspended(false);
  q.wait_until_all_finished();
  EXPECT_EQ(ran.load(), 3);
}

TEST_F(OperationTest, AsynchronousOperationFinishingLateHoldsItsDependents) {
  OperationQueue q;
  q.set_max_concurrent(1);
  Log<std::string> log;
  auto async_op = std::make_shared<AsyncOperation>(&log);
  auto dependent = std::make_shared<BlockOperation>([&] { log.add("dependent"); });
  dependent->add_dependency(async_op);
  q.add(async_op);
  q.add(dependent);
  wait_until_idle();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"async started"}));
  EXPECT_TRUE(async_op->is_executing());
  EXPECT_FALSE(async_op->is_finished());
  EXPECT_EQ(q.operation_count(), 2u);  // start() returned, the slot is still taken
  async_op->finish();
  q.wait_until_all_finished();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"async started", "async finished", "dependent"}));
}

TEST_F(OperationTest, AsynchronousOperationFinishedByAManualClockDeadline) {
  auto clock = ManualClock::install();
  OperationQueue q;
  Log<std::string> log;
  auto async_op = std::make_shared<AsyncOperation>(&log);
  auto dependent = std::make_shared<BlockOperation>([&] { log.add("dependent"); });
  dependent->add_dependency(async_op);
  std::atomic<bool> completed{false};
  async_op->set_completion_block([&] { completed = true; });
  q.add(dependent);
  q.add(async_op);
  wait_until_idle();
  Queue::global().after(30s, [async_op] { async_op->finish(); });
  clock->advance(29s);
  EXPECT_EQ(log.items(), (std::vector<std::string>{"async started"}));
  EXPECT_FALSE(completed.load());
  clock->advance(1s);
  q.wait_until_all_finished();
  EXPECT_TRUE(completed.load());
  EXPECT_EQ(log.items(), (std::vector<std::string>{"async started", "async finished", "dependent"}));
}

TEST_F(OperationTest, CompletionBlockRunsBeforeWaitersReturn) {
  OperationQueue q;
  std::atomic<bool> completed{false};
  auto op = std::make_shared<BlockOperation>([] {});
  op->set_completion_block([&] { completed = true; });
  q.add(op);
  op->wait_until_finished();
  EXPECT_TRUE(completed.load());
  EXPECT_TRUE(op->is_finished());
}

TEST_F(OperationTest, CancelAllFinishesOperationsWithoutRunningThem) {
  OperationQueue q;
  q.set_suspended(true);
  std::atomic<int> ran{0}, completions{0};
  std::vector<std::shared_ptr<Operation>> ops;
  for (int i = 0; i < 4; ++i) {
    auto op = std::make_shared<BlockOperation>([&] { ran.fetch_add(1); });
    op->set_completion_block([&] { completions.fetch_add(1); });
    ops.push_back(op);
    q.add(op);
  }
  q.cancel_all();
  for (auto& op : ops) EXPECT_TRUE(op->is_cancelled());
  q.set_suspended(false);
  q.wait_until_all_finished();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(completions.load(), 4);
}

TEST_F(OperationTest, CancellingMakesAWaitingOperationReady) {
  OperationQueue q;
  Log<std::string> log;
  auto blocker = std::make_shared<AsyncOperation>(&log);
  auto waiting = std::make_shared<BlockOperation>([&] { log.add("ran"); });
  waiting->add_dependency(blocker);
  q.add(blocker);
  q.add(waiting);
  wait_until_idle();
  waiting->cancel();
  waiting->wait_until_finished();
  EXPECT_TRUE(waiting->is_finished());
  blocker->finish();
  q.wait_until_all_finished();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"async started", "async finished"}));
}

TEST_F(OperationTest, MaxConcurrentLimitsRunningOperations) {
  OperationQueue q;
  q.set_max_concurrent(2);
  std::atomic<int> inside{0}, peak{0};
  Semaphore go(0);
  for (int i = 0; i < 6; ++i) {
    q.add([&] {
      int now = inside.fetch_add(1) + 1;
      int p = peak.load();
      while (now > p && !peak.compare_exchange_weak(p, now)) {
      }
      go.wait();
      inside.fetch_sub(1);
    });
  }
  wait_until_idle();
  EXPECT_EQ(inside.load(), 2);
  for (int i = 0; i < 6; ++i) go.signal();
  q.wait_until_all_finished();
  EXPECT_EQ(peak.load(), 2);
}

TEST_F(OperationTest, CurrentQueueAndUnderlyingQueue) {
  OperationQueue q("named");
  q.set_underlying_queue(Queue::serial("com.test.underlying"));
  OperationQueue* seen = nullptr;
  std::string label;
  q.add([&] {
    seen = OperationQueue::current();
    label = Queue::current_label();
  });
  q.wait_until_all_finished();
  EXPECT_EQ(seen, &q);
  EXPECT_EQ(label, "com.test.underlying");
  EXPECT_EQ(q.name(), "named");
}

TEST_F(OperationTest, MainOperationQueueDrainsOnTheMainRunLoop) {
  OperationQueue* seen = nullptr;
  bool main_thread = false;
  OperationQueue::main().add([&] {
    seen = OperationQueue::current();
    main_thread = is_main_thread();
  });
  EXPECT_EQ(seen, nullptr);
  EXPECT_TRUE(RunLoop::main().run_until([&] { return seen != nullptr; }, 60s));
  EXPECT_EQ(seen, &OperationQueue::main());
  EXPECT_TRUE(main_thread);
  EXPECT_EQ(OperationQueue::current(), &OperationQueue::main());  // main thread, outside any operation
}

TEST_F(OperationTest, OperationsListsUnfinishedOperationsInOrder) {
  OperationQueue q;
  q.set_suspended(true);
  auto a = std::make_shared<BlockOperation>([] {});
  auto b = std::make_shared<BlockOperation>([] {});
  q.add(a);
  q.add(b);
  auto ops = q.operations();
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0], a);
  EXPECT_EQ(ops[1], b);
  q.set_suspended(false);
  q.wait_until_all_finished();
  EXPECT_TRUE(q.operations().empty());
}

TEST_F(OperationTest, QueueReleasedWhileItsOperationRuns) {
  Semaphore go(0), done(0);
  auto op = std::make_shared<BlockOperation>([&] { go.wait(); });
  op->set_completion_block([&] { done.signal(); });
  {
    OperationQueue q("per task");
    q.add(op);
  }  // released at once, as the task delegates' per-task queues
  go.signal();
  EXPECT_TRUE(done.wait());
}

// try_run_here runs the block as an operation of the queue on the calling
// thread, holding the queue's slot, so work added meanwhile waits behind it.
TEST_F(OperationTest, TryRunHereRunsOnTheCallerAsAnOperationOfTheQueue) {
  OperationQueue q("inline");
  q.set_max_concurrent(1);
  const pid_t caller = this_tid();
  Log<std::string> log;
  pid_t ran_on = 0;
  OperationQueue* seen = nullptr;
  std::string label;
  Semaphore added_ran(0);
  bool ran = q.try_run_here([&] {
    ran_on = this_tid();
    seen = OperationQueue::current();
    label = Queue::current_label();
    EXPECT_EQ(q.operation_count(), 1u);
    q.add([&] {
      log.add("added");
      added_ran.signal();
    });
    wait_until_idle();  // the added operation cannot start: the slot is taken here
    log.add("inline");
  });
  EXPECT_TRUE(ran);
  EXPECT_EQ(ran_on, caller);
  EXPECT_EQ(seen, &q);
  EXPECT_EQ(label, "platform.root.default-qos");
  EXPECT_EQ(OperationQueue::current(), is_main_thread() ? &OperationQueue::main() : nullptr);  // restored
  EXPECT_TRUE(added_ran.wait());
  q.wait_until_all_finished();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"inline", "added"}));
}

// resume_here runs what a one-slot queue would start on the calling thread,
// in order; other queues resume as set_suspended(false).
TEST_F(OperationTest, ResumeHereRunsTheReadyOperationsOnTheCallerInOrder) {
  const pid_t caller = this_tid();
  {
    OperationQueue q("here");
    q.set_max_concurrent(1);
    q.set_suspended(true);
    Log<int> log;
    std::vector<pid_t> threads;  // touched by the operations, one at a time
    std::vector<OperationQueue*> queues;
    for (int i = 0; i < 3; ++i) {
      q.add([&, i] {
        threads.push_back(this_tid());
        queues.push_back(OperationQueue::current());
        log.add(i);
      });
    }
    q.resume_here();
    EXPECT_EQ(log.items(), (std::vector<int>{0, 1, 2}));  // all ran before it returned
    EXPECT_EQ(threads, (std::vector<pid_t>(3, caller)));
    EXPECT_EQ(queues, (std::vector<OperationQueue*>(3, &q)));
    EXPECT_FALSE(q.is_suspended());
    EXPECT_EQ(q.operation_count(), 0u);
  }
  {
    OperationQueue wide("wide");
    wide.set_max_concurrent(2);
    wide.set_suspended(true);
    std::atomic<pid_t> ran_on{0};
    wide.add([&] { ran_on = this_tid(); });
    wide.resume_here();
    wide.wait_until_all_finished();
    EXPECT_NE(ran_on.load(), caller);
  }
}

// When the queue could not start the block at once, nothing runs.
TEST_F(OperationTest, TryRunHereRefusesWhenTheQueueWouldNotStartItAtOnce) {
  struct Case {
    const char* name;
    std::function<void(OperationQueue&, Semaphore&)> arrange;
  };
  const std::vector<Case> cases = {
      {"suspended", [](OperationQueue& q, Semaphore&) { q.set_suspended(true); }},
      {"underlying queue", [](OperationQueue& q, Semaphore&) { q.set_underlying_queue(Queue::serial("com.test.under")); }},
      {"slot taken", [](OperationQueue& q, Semaphore& go) {
         q.add([&go] { go.wait(); });
         q.add([] {});  // ready, held by the limit
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Semaphore go(0);
    {
      OperationQueue q;
      q.set_max_concurrent(1);
      c.arrange(q, go);
      wait_until_idle();
      const auto before = q.operation_count();
      bool ran = false;
      EXPECT_FALSE(q.try_run_here([&] { ran = true; }));
      EXPECT_FALSE(ran);
      EXPECT_EQ(q.operation_count(), before);
      q.set_suspended(false);
      go.signal();
      q.wait_until_all_finished();
    }
  }
  // A dependency that has not finished does not hold the block back: the
  // queue would start it at once too.
  OperationQueue q;
  q.set_max_concurrent(1);
  auto later = std::make_shared<BlockOperation>([] {});
  auto waiting = std::make_shared<BlockOperation>([] {});
  waiting->add_dependency(later);
  q.add(waiting);
  bool ran = false;
  EXPECT_TRUE(q.try_run_here([&] { ran = true; }));
  EXPECT_TRUE(ran);
  q.add(later);
  q.wait_until_all_finished();
}

}  // namespace
}  // namespace platform::dispatch::test
