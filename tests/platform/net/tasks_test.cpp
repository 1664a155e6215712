// Task lifecycle: suspend, resume, cancel, timeouts, the offline device,
// connection limits, task lists, invalidation, background sessions.
#include "fixture.h"

#include <future>
#include <map>

#include "platform/dispatch/operation.h"
#include "platform/net/connection.h"
#include "platform/runtime/runtime.h"

namespace platform::net::test {
namespace {

namespace ue = foundation::url_error;

class TasksTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    server_ = &add_server(kHost, [](TestServer& s, TestServer& server) {
      s.Get("/ok", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("ok", "text/plain"); });
      s.Get("/hold", [&server](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) { server.hold(req, res); });
      s.Get("/pause", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        res.set_content("paused", "text/plain");
      });
    });
    boot();
  }
  TestServer* server_ = nullptr;
};

TEST_F(TasksTest, SuspendHoldsTheTransferAndResumeFinishesIt) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto task = session->data_task(Request(https("/ok")));
  delegate->on_response = [task](const Response&, std::function<void(ResponseDisposition)> h) {
    task->suspend();
    h(ResponseDisposition::allow);
  };
  task->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->has("response"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(task->state(), TaskState::suspended);
  EXPECT_FALSE(delegate->has("data"));
  task->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(to_string(delegate->data), "ok");
  EXPECT_EQ(task->state(), TaskState::completed);
  delegate->on_response = nullptr;  // the hook held the task
}

TEST_F(TasksTest, CancelEndsWithCancelledInEveryState) {
  auto session = Session::make(Configuration::ephemeral());
  struct Case {
    const char* name;
    std::function<void(const std::shared_ptr<DataTask>&)> before_cancel;
  };
  const std::vector<Case> cases{
      {"never resumed", [](const auto&) {}},
      {"running, answer held",
       [this](const auto& t) {
         t->resume();
         ASSERT_TRUE(wait_until([&] { return server_->holding() >= 1; }));
       }},
      {"suspended after resume", [](const auto& t) {
         t->resume();
         t->suspend();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> done{false};
    std::optional<Error> error;
    auto task = session->data_task(Request(https("/hold")), [&](std::optional<Bytes>, std::shared_ptr<const Response>, std::optional<Error> e) {
      error = e;
      done = true;
    });
    c.before_cancel(task);
    task->cancel();
    ASSERT_TRUE(wait_until([&] { return done.load(); }));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ue::cancelled);
    EXPECT_EQ(task->state(), TaskState::completed);
    task->cancel();  // nothing more happens
    task->resume();
    EXPECT_EQ(task->state(), TaskState::completed);
  }
}

TEST_F(TasksTest, IdleAndResourceTimeoutsEndWithTimedOut) {
  auto session = Session::make(Configuration::ephemeral());
  auto run = [&](Session& s, Request r) {
    std::atomic<bool> done{false};
    std::optional<Error> error;
    s.data_task(r, [&](std::optional<Bytes>, std::shared_ptr<const Response>, std::optional<Error> e) {
      error = e;
      done = true;
    })->resume();
    EXPECT_TRUE(wait_until([&] { return done.load(); }));
    return error;
  };
  Request idle(https("/hold"));
  idle.timeout = 0.2;
  auto error = run(*session, idle);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, ue::timed_out);
  EXPECT_EQ(error->user_info.get(foundation::key_failing_url_string), foundation::Value(https("/hold").absolute_string()));

  auto config = Configuration::ephemeral();
  config.timeout_for_resource = 0.3;
  auto total = Session::make(config);
  error = run(*total, Request(https("/hold")));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, ue::timed_out);
}

// What the simulator's "wait idle" counts: a started task stays in flight
// until its completion handler has run, and a suspended one is not counted.
TEST_F(TasksTest, WorkInFlightLastsUntilTheCompletionHandlerHasRun) {
  auto session = Session::make(Configuration::ephemeral());
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  auto task = session->data_task(Request(https("/ok")), [&](std::optional<Bytes>, std::shared_ptr<const Response>,
                                                            std::optional<Error>) {
    entered.set_value();
    released.wait();
  });
  EXPECT_EQ(tasks_in_flight(), 0u);  // not resumed yet
  task->resume();
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(task->state(), TaskState::completed);
  EXPECT_EQ(tasks_in_flight(), 1u);
  release.set_value();
  ASSERT_TRUE(wait_until([] { return tasks_in_flight() == 0; }));

  auto held = session->data_task(Request(https("/hold")));
  held->resume();
  ASSERT_TRUE(wait_until([&] { return server_->holding() == 1; }));
  EXPECT_EQ(tasks_in_flight(), 1u);
  held->suspend();
  EXPECT_EQ(tasks_in_flight(), 0u);
  held->cancel();
  server_->release();
}

// A device that limits request timeouts ends a held request at its limit,
// also one that asks for the default 60 s or a longer timeout of its own.
class TimeoutLimitTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    server_ = &add_server(kHost, [](TestServer& s, TestServer& server) {
      s.Get("/hold", [&server](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) { server.hold(req, res); });
    });
    boot([](os::DeviceProfile& profile) { profile.request_timeout_limit_s = 0.3; });
  }
  TestServer* server_ = nullptr;
};

TEST_F(TimeoutLimitTest, TheDevicesLimitEndsALongerTimeout) {
  auto session = Session::make(Configuration::ephemeral());
  for (double timeout : {60.0, 3600.0}) {
    SCOPED_TRACE(timeout);
    Request request(https("/hold"));
    request.timeout = timeout;
    std::promise<std::optional<Error>> finished;
    session->data_task(request, [&](std::optional<Bytes>, std::shared_ptr<const Response>, std::optional<Error> e) {
      finished.set_value(e);
    })->resume();
    auto future = finished.get_future();
    // Well below either timeout: only the limit can end the request in time.
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto error = future.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ue::timed_out);
  }
}

TEST_F(TasksTest, OfflineDeviceFailsAtResumeAndLosesRunningTasks) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto running = session->data_task(Request(https("/hold")));
  running->resume();
  ASSERT_TRUE(wait_until([&] { return server_->holding() == 1; }));
  os::NetworkState off;
  off.reachable = false;
  os::set_network_state(off);
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, ue::network_connection_lost);

  std::atomic<bool> done{false};
  std::optional<Error> error;
  auto before = server_->requests().size();
  session->data_task(Request(https("/ok")), [&](std::optional<Bytes>, std::shared_ptr<const Response>, std::optional<Error> e) {
    error = e;
    done = true;
  })->resume();
  ASSERT_TRUE(wait_until([&] { return done.load(); }));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, ue::not_connected_to_internet);
  EXPECT_EQ(server_->requests().size(), before);
}

TEST_F(TasksTest, ConcurrentTasksShareAtMostTheHostLimitOfConnections) {
  auto config = Configuration::ephemeral();
  config.max_connections_per_host = 2;
  auto session = Session::make(config);
  std::atomic<int> done{0};
  std::vector<std::shared_ptr<DataTask>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(session->data_task(Request(https("/hold")), [&](auto, auto, auto) { ++done; }));
    held.back()->resume();
  }
  ASSERT_TRUE(wait_until([&] { return server_->holding() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(server_->holding(), 2);  // the others wait in the queue
  server_->release();
  ASSERT_TRUE(wait_until([&] { return done == 4; }));

  auto eight = Configuration::ephemeral();
  auto session8 = Session::make(eight);
  std::atomic<int> finished{0};
  std::atomic<int> failures{0};
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 8; ++i) {
      session8->data_task(Request(https("/pause")), [&](std::optional<Bytes> d, auto, std::optional<Error> e) {
        if (e || !d || to_string(*d) != "paused") ++failures;
        ++finished;
      })->resume();
    }
  }
  ASSERT_TRUE(wait_until([&] { return finished == 24; }));
  EXPECT_EQ(failures, 0);
  std::set<int> ports;
  for (const auto& r : server_->requests()) {
    if (r.path == "/pause") ports.insert(r.remote_port);
  }
  EXPECT_LE(ports.size(), static_cast<std::size_t>(eight.max_connections_per_host));
}

// Delegate calls of many tasks at once keep to the delegate queue, one at a
// time, each task's in order, even when that queue runs operations side by side.
TEST_F(TasksTest, DelegateCallsNeverOverlapOnAConcurrentQueue) {
  class Probe : public SessionDelegate {
   public:
    explicit Probe(dispatch::OperationQueue* q) : queue(q) {}
    void did_receive_response(Session&, DataTask& t, const Response&, std::function<void(ResponseDisposition)> h) override {
      enter(t, "response");
      h(ResponseDisposition::allow);
    }
    void did_receive_data(Session&, DataTask& t, const Bytes&) override { enter(t, "data"); }
    void did_finish_collecting_metrics(Session&, Task& t, const TaskMetrics&) override { enter(t, "metrics"); }
    void did_complete(Session&, Task& t, std::optional<Error> e) override {
      if (e) ++failures;
      enter(t, "complete");
    }
    void enter(Task& t, const std::string& what) {
      if (++inside > 1) ++overlaps;
      if (dispatch::OperationQueue::current() != queue) ++off_queue;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      {
        std::lock_guard lk(m);
        auto& seen = order[t.identifier()];
        if (seen.empty() || seen.back() != what) seen.push_back(what);
      }
      --inside;
      if (what == "complete") ++completed;
    }
    dispatch::OperationQueue* queue;
    std::atomic<int> inside{0}, overlaps{0}, off_queue{0}, failures{0}, completed{0};
    std::mutex m;
    std::map<std::uint64_t, std::vector<std::string>> order;
  };
  auto queue = std::make_shared<dispatch::OperationQueue>("test.concurrent-delegate");
  queue->set_max_concurrent(-1);
  auto delegate = std::make_shared<Probe>(queue.get());
  auto config = Configuration::ephemeral();
  config.max_connections_per_host = 8;
  auto session = Session::make(config, delegate, queue);
  for (int i = 0; i < 8; ++i) session->data_task(Request(https("/ok")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed == 8; }));
  EXPECT_EQ(delegate->overlaps, 0);
  EXPECT_EQ(delegate->off_queue, 0);
  EXPECT_EQ(delegate->failures, 0);
  std::lock_guard lk(delegate->m);
  EXPECT_EQ(delegate->order.size(), 8u);
  for (const auto& [id, seen] : delegate->order) {
    EXPECT_EQ(seen, (std::vector<std::string>{"response", "data", "metrics", "complete"})) << "task " << id;
  }
}

TEST_F(TasksTest, IdentifiersStatesAndTaskLists) {
  auto session = Session::make(Configuration::ephemeral());
  auto idle = session->data_task(Request(https("/ok")));
  auto running = session->data_task(Request(https("/hold")));
  auto suspended = session->data_task(Request(https("/hold")));
  EXPECT_EQ(idle->identifier(), 1u);
  EXPECT_EQ(running->identifier(), 2u);
  EXPECT_EQ(suspended->identifier(), 3u);
  EXPECT_EQ(Session::make(Configuration::ephemeral())->data_task(Request(https("/ok")))->identifier(), 1u);
  EXPECT_EQ(idle->state(), TaskState::suspended);
  running->resume();
  suspended->resume();
  suspended->suspend();
  EXPECT_EQ(running->state(), TaskState::running);
  std::atomic<bool> listed{false};
  std::vector<std::uint64_t> ids;
  session->get_tasks([&](std::vector<std::shared_ptr<DataTask>> data, auto uploads, auto downloads) {
    for (auto& t : data) ids.push_back(t->identifier());
    EXPECT_TRUE(uploads.empty());
    EXPECT_TRUE(downloads.empty());
    listed = true;
  });
  ASSERT_TRUE(wait_until([&] { return listed.load(); }));
  EXPECT_EQ(ids, std::vector<std::uint64_t>{2});
  running->cancel();
  suspended->cancel();
}

TEST_F(TasksTest, InvalidationEndsWithDidBecomeInvalidAndReleasesTheDelegate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/pause")))->resume();
  session->finish_tasks_and_invalidate();
  ASSERT_TRUE(wait_until([&] { return delegate->has("invalid"); }));
  EXPECT_EQ(delegate->collapsed(), (std::vector<std::string>{"response", "data", "will-cache", "metrics", "complete", "invalid"}));
  EXPECT_FALSE(delegate->error);
  EXPECT_TRUE(wait_until([&] { return delegate.use_count() == 1; }));
  EXPECT_EQ(session->delegate(), nullptr);

  std::atomic<bool> done{false};
  std::optional<Error> error;
  session->data_task(Request(https("/ok")), [&](auto, auto, std::optional<Error> e) {
    error = e;
    done = true;
  })->resume();
  ASSERT_TRUE(wait_until([&] { return done.load(); }));
  EXPECT_TRUE(error);

  auto second = std::make_shared<RecordingDelegate>();
  auto cancelling = Session::make(Configuration::ephemeral(), second);
  cancelling->data_task(Request(https("/hold")))->resume();
  ASSERT_TRUE(wait_until([&] { return server_->holding() >= 1; }));
  cancelling->invalidate_and_cancel();
  ASSERT_TRUE(wait_until([&] { return second->has("invalid"); }));
  ASSERT_TRUE(second->error);
  EXPECT_EQ(second->error->code, ue::cancelled);
  EXPECT_EQ(second->log_copy().back(), "invalid");
}

TEST_F(TasksTest, BackgroundSessions) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::background("org.example.bg"), delegate);
  EXPECT_EQ(session->configuration().identifier, "org.example.bg");
  Request post(https("/ok"));
  post.method = "POST";
  session->upload_task(post, to_bytes("data"))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_TRUE(delegate->error);

  EXPECT_FALSE(deliver_background_events("org.example.unknown"));
  auto held = session->data_task(Request(https("/hold")));
  held->resume();
  ASSERT_TRUE(wait_until([&] { return server_->holding() == 1; }));
  EXPECT_TRUE(deliver_background_events("org.example.bg"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(delegate->has("background-events"));
  server_->release();
  ASSERT_TRUE(wait_until([&] { return delegate->has("background-events"); }));
  auto log = delegate->log_copy();
  EXPECT_EQ(log.back(), "background-events");
  EXPECT_EQ(std::count(log.begin(), log.end(), "background-events"), 1);
}

TEST_F(TasksTest, CompletionHandlerTasksSkipResponseDataAndCompleteCallbacks) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  std::atomic<bool> done{false};
  session->data_task(Request(https("/ok")), [&](std::optional<Bytes> d, std::shared_ptr<const Response> r, std::optional<Error> e) {
    EXPECT_FALSE(e);
    EXPECT_EQ(to_string(*d), "ok");
    EXPECT_EQ(r->status, 200);
    done = true;
  })->resume();
  ASSERT_TRUE(wait_until([&] { return done.load(); }));
  EXPECT_EQ(delegate->collapsed(), std::vector<std::string>{"metrics"});
}

// A task started from the previous task's completion finds that task's
// connection free, so a chain of requests keeps one keep-alive connection, and
// every completion runs on the delegate queue.
TEST_F(TasksTest, ChainedTasksReuseOneConnectionAndCompleteOnTheDelegateQueue) {
  for (bool own_queue : {true, false}) {
    SCOPED_TRACE(own_queue ? "session's queue" : "caller's queue");
    std::shared_ptr<dispatch::OperationQueue> given;
    if (!own_queue) {
      given = std::make_shared<dispatch::OperationQueue>("test.delegate");
      given->set_max_concurrent(1);
    }
    auto session = Session::make(Configuration::ephemeral(), nullptr, given);
    const auto before = server_->requests().size();
    constexpr int kChain = 12;
    std::atomic<int> done{0}, off_queue{0}, failures{0};
    std::function<void()> next = [&] {
      session->data_task(Request(https("/ok")), [&](std::optional<Bytes> d, auto, std::optional<Error> e) {
        if (dispatch::OperationQueue::current() != &session->delegate_queue()) ++off_queue;
        if (e || !d || to_string(*d) != "ok") ++failures;
        if (++done < kChain) next();
      })->resume();
    };
    next();
    ASSERT_TRUE(wait_until([&] { return done == kChain; }));
    EXPECT_EQ(off_queue, 0);
    EXPECT_EQ(failures, 0);
    std::set<int> ports;
    auto requests = server_->requests();
    for (std::size_t i = before; i < requests.size(); ++i) ports.insert(requests[i].remote_port);
    EXPECT_EQ(requests.size() - before, static_cast<std::size_t>(kChain));
    EXPECT_EQ(ports.size(), 1u);
    session->finish_tasks_and_invalidate();
  }
}

// Tasks started from a completion handler run even while that handler is
// still busy: one it then waits for synchronously, and several at once.
TEST_F(TasksTest, TasksStartedFromACompletionHandlerRunWhileItIsBusy) {
  auto session = Session::make(Configuration::ephemeral());
  constexpr int kRounds = 20;
  std::atomic<int> done{0}, failures{0};
  std::function<void(int)> next = [&](int round) {
    session->data_task(Request(https("/ok")), [&, round](std::optional<Bytes> d, auto, std::optional<Error> e) {
      if (e || !d) ++failures;
      if (round % 2 == 0) {
        // Blocks this worker's handler until the new task has run elsewhere.
        auto sync = send_synchronous(Request(https("/ok")), 5);
        if (sync.error || !sync.data || to_string(*sync.data) != "ok") ++failures;
      } else {
        auto other = Session::make(Configuration::ephemeral());
        auto left = std::make_shared<std::atomic<int>>(3);
        auto all = std::make_shared<std::promise<void>>();
        for (int i = 0; i < 3; ++i) {
          other->data_task(Request(https("/ok")), [left, all, &failures](std::optional<Bytes> d2, auto, std::optional<Error> e2) {
            if (e2 || !d2) ++failures;
            if (--*left == 0) all->set_value();
          })->resume();
        }
        if (all->get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) ++failures;
        other->finish_tasks_and_invalidate();
      }
      if (++done < kRounds) next(round + 1);
    })->resume();
  };
  next(0);
  ASSERT_TRUE(wait_until([&] { return done == kRounds; }, std::chrono::seconds(60)));
  EXPECT_EQ(failures, 0);
  session->finish_tasks_and_invalidate();
}

TEST_F(TasksTest, SessionIsARuntimeObjectWithAssociatedObjects) {
  register_runtime_classes();
  auto* cls = rt::Runtime::shared().find("NSURLSessionConfiguration");
  ASSERT_NE(cls, nullptr);
  EXPECT_TRUE(cls->lookup_class(rt::SelId("backgroundSessionConfigurationWithIdentifier:")));
  auto session = Session::make(Configuration::ephemeral());
  EXPECT_TRUE(session->is_kind_of("NSURLSession"));
  static const char key = 0;
  session->set_associated(&key, std::make_shared<int>(42));
  auto value = std::any_cast<std::shared_ptr<int>>(session->associated(&key));
  EXPECT_EQ(*value, 42);
  EXPECT_EQ(Session::shared(), Session::shared());
}

}  // namespace
}  // namespace platform::net::test
