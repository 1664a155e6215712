#include "platform/foundation/notification.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/operation.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/testing_reset.h"
#include "platform/testing/reset.h"

namespace {

using platform::dispatch::OperationQueue;
using platform::dispatch::RunLoop;
using platform::foundation::coalesce_none;
using platform::foundation::coalesce_on_name;
using platform::foundation::coalesce_on_sender;
using platform::foundation::Dict;
using platform::foundation::Exception;
using platform::foundation::Notification;
using platform::foundation::NotificationCenter;
using platform::foundation::NotificationQueue;
using platform::foundation::ObjectRef;
using platform::foundation::ObserverToken;
using platform::foundation::PostingStyle;
using platform::foundation::Value;

// Thread-safe record of what observers saw.
class Log {
 public:
  void add(std::string s) {
    std::lock_guard l(m_);
    items_.push_back(std::move(s));
  }
  void clear() {
    std::lock_guard l(m_);
    items_.clear();
  }
  std::vector<std::string> items() const {
    std::lock_guard l(m_);
    return items_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> items_;
};

class NotificationCenterTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
  NotificationCenter& center = NotificationCenter::default_center();
  Log log;
  int owner_a = 0, owner_b = 0;
  int sender_x = 0, sender_y = 0;

  ObserverToken record(const void* owner, std::string name, const void* object, std::string tag) {
    return center.add_observer(owner, std::move(name), object, nullptr,
                               [this, tag](const Notification& n) { log.add(tag + ":" + n.name); });
  }
};

TEST_F(NotificationCenterTest, ObserversRunInRegistrationOrderOnThePostingThread) {
  std::vector<std::thread::id> threads;
  for (std::string tag : {"1", "2", "3", "4"}) {
    // Name-specific and all-name observers interleaved: order is registration, not specificity.
    std::string name = (tag == "2") ? "" : "N";
    center.add_observer(&owner_a, name, nullptr, nullptr, [this, tag, &threads](const Notification&) {
      log.add(tag);
      threads.push_back(std::this_thread::get_id());
    });
  }
  center.post(Notification("N", &sender_x, Dict{{"k", Value(1)}}));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"1", "2", "3", "4"}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(NotificationCenterTest, ObserverReceivesNameSenderAndUserInfo) {
  Notification seen;
  center.add_observer(nullptr, "N", nullptr, nullptr, [&](const Notification& n) { seen = n; });
  auto sender = std::make_shared<std::string>("token");
  center.post(Notification("N", ObjectRef(sender), Dict{{"k", Value("v")}}));
  EXPECT_EQ(seen.name, "N");
  EXPECT_EQ(seen.sender(), sender.get());
  EXPECT_EQ(seen.user_info, (Dict{{"k", Value("v")}}));
  // The observer's copy keeps the sender alive.
  EXPECT_EQ(*std::static_pointer_cast<const std::string>(seen.object), "token");
}

TEST_F(NotificationCenterTest, FiltersOnNameAndSender) {
  record(&owner_a, "A", nullptr, "a-any");
  record(&owner_a, "A", &sender_x, "a-x");
  record(&owner_a, "", &sender_x, "all-x");
  record(&owner_a, "", nullptr, "all-any");

  struct Case {
    std::string name;
    const void* sender;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"A", nullptr, {"a-any:A", "all-any:A"}},
      {"A", &sender_x, {"a-any:A", "a-x:A", "all-x:A", "all-any:A"}},
      {"A", &sender_y, {"a-any:A", "all-any:A"}},
      {"B", &sender_x, {"all-x:B", "all-any:B"}},
      {"B", nullptr, {"all-any:B"}},
      {"a", nullptr, {"all-any:a"}},   // names are case-sensitive
  };
  for (const auto& c : cases) {
    log.clear();
    center.post(Notification(c.name, c.sender));
    EXPECT_EQ(log.items(), c.expected) << c.name << " from " << c.sender;
  }
}

TEST_F(NotificationCenterTest, SenderIsComparedByAddressWhetherOwnedOrNot) {
  auto owned = std::make_shared<int>(5);
  record(nullptr, "N", owned.get(), "obs");
  center.post(Notification("N", ObjectRef(owned)));
  center.post(Notification("N", static_cast<const void*>(owned.get())));
  center.post(Notification("N", ObjectRef(std::make_shared<int>(5))));   // equal value, other object
  EXPECT_EQ(log.items(), (std::vector<std::string>{"obs:N", "obs:N"}));
}

TEST_F(NotificationCenterTest, RemoveThroughTokenOrCentreStopsDelivery) {
  auto t1 = record(&owner_a, "N", nullptr, "1");
  auto t2 = record(&owner_a, "N", nullptr, "2");
  auto t3 = record(&owner_a, "N", nullptr, "3");
  EXPECT_TRUE(t1);
  center.remove(t1);
  EXPECT_FALSE(t1);
  center.remove(t1);    // again: nothing
  t3.remove();
  center.post(Notification("N"));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"2:N"}));
}

TEST_F(NotificationCenterTest, TokenMovesAndItsDestructionKeepsTheObserver) {
  {
    auto dropped = record(&owner_a, "N", nullptr, "dropped");
  }
  auto first = record(&owner_a, "N", nullptr, "moved");
  ObserverToken second(std::move(first));
  EXPECT_FALSE(first);
  first.remove();       // moved-from: removes nothing
  center.post(Notification("N"));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"dropped:N", "moved:N"}));

  second.remove();
  center.post(Notification("N"));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"dropped:N", "moved:N", "dropped:N"}));
}

TEST_F(NotificationCenterTest, RemoveAllRemovesOnlyThatOwnersRegistrations) {
  record(&owner_a, "N", nullptr, "a1");
  record(&owner_b, "N", nullptr, "b");
  record(&owner_a, "", nullptr, "a2");
  record(nullptr, "N", nullptr, "anon");
  center.remove_all(&owner_a);
  center.remove_all(nullptr);    // removes nothing, not the anonymous ones
  center.post(Notification("N"));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"b:N", "anon:N"}));
}

TEST_F(NotificationCenterTest, QueuedObserverRunsOnItsQueueAndPostDoesNotWait) {
  OperationQueue queue("observers");
  queue.set_max_concurrent(1);
  queue.set_suspended(true);
  std::atomic<int> calls{0};
  std::thread::id ran_on;
  Notification seen;
  center.add_observer(nullptr, "N", nullptr, &queue, [&](const Notification& n) {
    ran_on = std::this_thread::get_id();
    seen = n;
    ++calls;
  });
  record(nullptr, "N", nullptr, "sync");

  // The queue is suspended: a post that waited for the queued observer would never return.
  center.post(Notification("N", &sender_x, Dict{{"k", Value(7)}}));
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(log.items(), (std::vector<std::string>{"sync:N"}));

  queue.set_suspended(false);
  queue.wait_until_all_finished();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_NE(ran_on, std::this_thread::get_id());
  EXPECT_EQ(seen.name, "N");
  EXPECT_EQ(seen.sender(), &sender_x);
  EXPECT_EQ(seen.user_info, (Dict{{"k", Value(7)}}));
}

TEST_F(NotificationCenterTest, ObserverRemovedBeforeItsQueuedBlockRunsIsNotCalled) {
  OperationQueue queue("observers");
  queue.set_suspended(true);
  std::atomic<int> calls{0};
  auto token = center.add_observer(nullptr, "N", nullptr, &queue, [&](const Notification&) { ++calls; });
  center.post(Notification("N"));
  center.remove(token);
  queue.set_suspended(false);
  queue.wait_until_all_finished();
  EXPECT_EQ(calls.load(), 0);
}

TEST_F(NotificationCenterTest, MainQueueObserverRunsOnTheNextMainRunLoopTurn) {
  std::atomic<int> calls{0};
  center.add_observer(nullptr, "N", nullptr, &OperationQueue::main(), [&](const Notification&) { ++calls; });
  center.post(Notification("N"));
  EXPECT_EQ(calls.load(), 0);
  RunLoop::main().run_until([&] { return calls.load() == 1; }, std::chrono::hours(1));
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(NotificationCenterTest, ObserverMayPostAddAndRemoveDuringDelivery) {
  ObserverToken later;
  ObserverToken added;
  bool added_once = false;
  center.add_observer(nullptr, "outer", nullptr, nullptr, [&](const Notification&) {
    log.add("first");
    center.post(Notification("inner"));                       // nested post runs to completion here
    if (!added_once) {
      added_once = true;
      added = record(nullptr, "outer", nullptr, "added");     // first called by the next post
    }
    center.remove(later);                                     // not called in this post any more
  });
  record(nullptr, "inner", nullptr, "inner-observer");
  later = record(nullptr, "outer", nullptr, "later");

  center.post(Notification("outer"));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"first", "inner-observer:inner"}));

  center.post(Notification("outer"));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"first", "inner-observer:inner", "first",
                                                   "inner-observer:inner", "added:outer"}));
}

TEST_F(NotificationCenterTest, ObserverMayRemoveItself) {
  ObserverToken self;
  self = center.add_observer(nullptr, "N", nullptr, nullptr, [&](const Notification&) {
    log.add("once");
    center.remove(self);
  });
  record(nullptr, "N", nullptr, "other");
  center.post(Notification("N"));
  center.post(Notification("N"));
  EXPECT_EQ(log.items(), (std::vector<std::string>{"once", "other:N", "other:N"}));
}

// Removal from another thread while the observer runs returns only after the
// call ends, so the remover may then free what the observer writes to. Once
// removal has been asked for, the observer gives the remover ample time to
// return too early before it finishes.
TEST_F(NotificationCenterTest, RemovalWaitsForACallRunningOnAnotherThread) {
  struct Case {
    const char* name;
    bool queued;         // observer on an operation queue, else on the posting thread
    bool through_owner;  // remove_all(owner), else the token
  };
  for (const Case& c : {Case{"direct, token", false, false}, Case{"direct, owner", false, true},
                        Case{"queued, token", true, false}, Case{"queued, owner", true, true}}) {
    SCOPED_TRACE(c.name);
    OperationQueue queue("observers");
    auto* record = new std::vector<std::string>;  // freed as soon as removal returns
    std::atomic<bool> entered{false}, removing{false}, returned{false}, returned_early{false};
    int owner = 0;
    auto token = center.add_observer(&owner, "N", nullptr, c.queued ? &queue : nullptr, [&](const Notification& n) {
      entered = true;
      while (!removing) std::this_thread::yield();
      for (int i = 0; i < 10000 && !returned; ++i) std::this_thread::yield();
      returned_early = returned.load();
      record->push_back(n.name);
    });
    std::thread poster([&] { center.post(Notification("N")); });
    while (!entered) std::this_thread::yield();
    removing = true;
    if (c.through_owner) center.remove_all(&owner);
    else center.remove(token);
    returned = true;
    EXPECT_EQ(*record, std::vector<std::string>{"N"});
    delete record;
    poster.join();
    queue.wait_until_all_finished();
    EXPECT_FALSE(returned_early);
  }
}

// A call of the observer on the removing thread is never waited for: an
// observer may remove itself (or its owner's registrations) from its own
// call, directly or on its queue, and a nested post's call does not block
// the outer one's removal.
TEST_F(NotificationCenterTest, RemovalFromTheObserversOwnCallDoesNotWait) {
  for (bool queued : {false, true}) {
    SCOPED_TRACE(queued ? "queued" : "direct");
    OperationQueue queue("observers");
    int owner = 0;
    std::atomic<int> calls{0};
    center.add_observer(&owner, "N", nullptr, queued ? &queue : nullptr, [&](const Notification&) {
      ++calls;
      center.post(Notification("inner"));  // the inner observer removes both registrations
    });
    center.add_observer(&owner, "inner", nullptr, nullptr, [&](const Notification&) { center.remove_all(&owner); });
    center.post(Notification("N"));
    queue.wait_until_all_finished();
    center.post(Notification("N"));
    queue.wait_until_all_finished();
    EXPECT_EQ(calls.load(), 1);
  }
}

TEST_F(NotificationCenterTest, ExceptionInObserverReachesThePoster) {
  record(nullptr, "N", nullptr, "before");
  center.add_observer(nullptr, "N", nullptr, nullptr, [](const Notification&) {
    Exception::raise("FABException", "[Divivi] Cannot find Info.plist.");
  });
  record(nullptr, "N", nullptr, "after");

  try {
    center.post(Notification("N"));
    FAIL() << "post returned normally";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name, "FABException");
    EXPECT_EQ(e.reason, "[Divivi] Cannot find Info.plist.");
  }
  // The observers after the throwing one are skipped for that post.
  EXPECT_EQ(log.items(), (std::vector<std::string>{"before:N"}));

  // Any exception type, and the centre stays usable afterwards.
  center.add_observer(nullptr, "M", nullptr, nullptr, [](const Notification&) { throw std::runtime_error("boom"); });
  EXPECT_THROW(center.post(Notification("M")), std::runtime_error);
  EXPECT_THROW(center.post(Notification("N")), Exception);
}

TEST_F(NotificationCenterTest, ConcurrentPostsAddsAndRemovesAreSafe) {
  std::atomic<int> stable_calls{0};
  center.add_observer(nullptr, "N", nullptr, nullptr, [&](const Notification&) { ++stable_calls; });

  constexpr int kPosters = 4, kPosts = 500;
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    int owner = 0;
    while (!stop.load()) {
      auto t = center.add_observer(&owner, "N", nullptr, nullptr, [](const Notification&) {});
      center.add_observer(&owner, "", nullptr, nullptr, [](const Notification&) {});
      center.remove(t);
      center.remove_all(&owner);
    }
  });
  std::vector<std::thread> posters;
  for (int i = 0; i < kPosters; ++i) {
    posters.emplace_back([&] {
      for (int j = 0; j < kPosts; ++j) center.post(Notification("N"));
    });
  }
  for (auto& t : posters) t.join();
  stop = true;
  churn.join();
  EXPECT_EQ(stable_calls.load(), kPosters * kPosts);
}

TEST_F(NotificationCenterTest, ResetDropsEveryObserver) {
  record(&owner_a, "N", nullptr, "gone");
  platform::testing::reset();
  center.post(Notification("N"));
  EXPECT_TRUE(log.items().empty());
}

// ---- NotificationQueue -------------------------------------------------------

class NotificationQueueTest : public NotificationCenterTest {
 protected:
  NotificationQueue& queue = NotificationQueue::default_queue();

  // Records name and sender of every post of `name`.
  void watch(const std::string& name) {
    center.add_observer(nullptr, name, nullptr, nullptr, [this](const Notification& n) {
      log.add(n.name + (n.sender() == &sender_x ? "@x" : n.sender() == &sender_y ? "@y" : "@-"));
    });
  }
};

TEST_F(NotificationQueueTest, AsapPostsOnTheNextMainRunLoopTurn) {
  watch("N");
  queue.enqueue(Notification("N", &sender_x), PostingStyle::post_asap);
  EXPECT_TRUE(log.items().empty());
  EXPECT_EQ(queue.pending_count(), 1u);
  RunLoop::main().run_pending();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"N@x"}));
  EXPECT_EQ(queue.pending_count(), 0u);
}

TEST_F(NotificationQueueTest, CoalescingTable) {
  struct Enq {
    std::string name;
    const void* sender;
    unsigned mask;
  };
  struct Case {
    std::string what;
    std::vector<Enq> enqueues;
    std::vector<std::string> posted;
  };
  const unsigned both = coalesce_on_name | coalesce_on_sender;
  const std::vector<Case> cases = {
      {"same name and sender", {{"N", &sender_x, both}, {"N", &sender_x, both}}, {"N@x"}},
      {"different sender", {{"N", &sender_x, both}, {"N", &sender_y, both}}, {"N@x", "N@y"}},
      {"different name", {{"N", &sender_x, both}, {"M", &sender_x, both}}, {"N@x", "M@x"}},
      {"no coalescing", {{"N", &sender_x, coalesce_none}, {"N", &sender_x, coalesce_none}}, {"N@x", "N@x"}},
      {"on name only", {{"N", &sender_x, coalesce_on_name}, {"N", &sender_y, coalesce_on_name}}, {"N@y"}},
      {"on sender only", {{"N", &sender_x, coalesce_on_sender}, {"M", &sender_x, coalesce_on_sender}}, {"M@x"}},
      {"replacement goes to the end",
       {{"N", &sender_x, both}, {"M", &sender_x, both}, {"N", &sender_x, both}},
       {"M@x", "N@x"}},
      {"nil senders coalesce", {{"N", nullptr, both}, {"N", nullptr, both}}, {"N@-"}},
  };
  watch("N");
  watch("M");
  for (const auto& c : cases) {
    log.clear();
    for (const auto& e : c.enqueues) queue.enqueue(Notification(e.name, e.sender), PostingStyle::post_asap, e.mask);
    EXPECT_TRUE(log.items().empty()) << c.what;
    RunLoop::main().run_pending();
    EXPECT_EQ(log.items(), c.posted) << c.what;
  }
}

TEST_F(NotificationQueueTest, CoalescedPostCarriesTheLatestObjectAndUserInfo) {
  Notification seen;
  int calls = 0;
  center.add_observer(nullptr, "fcm-token", nullptr, nullptr, [&](const Notification& n) {
    seen = n;
    ++calls;
  });
  queue.enqueue(Notification("fcm-token", &sender_x, Dict{{"token", Value("old")}}));
  queue.enqueue(Notification("fcm-token", &sender_x, Dict{{"token", Value("new")}}));
  RunLoop::main().run_pending();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen.user_info.get("token"), Value("new"));
}

TEST_F(NotificationQueueTest, EnqueueFromAnotherThreadPostsOnTheMainThread) {
  std::thread::id posted_on;
  center.add_observer(nullptr, "N", nullptr, nullptr, [&](const Notification&) { posted_on = std::this_thread::get_id(); });
  std::thread([&] { queue.enqueue(Notification("N", &sender_x)); }).join();
  EXPECT_EQ(posted_on, std::thread::id());
  RunLoop::main().run_pending();
  EXPECT_EQ(posted_on, std::this_thread::get_id());
}

TEST_F(NotificationQueueTest, IdlePostsFollowAsapPostsInTheSameTurn) {
  watch("idle");
  watch("asap");
  queue.enqueue(Notification("idle", &sender_x), PostingStyle::post_when_idle);
  queue.enqueue(Notification("asap", &sender_x), PostingStyle::post_asap);
  RunLoop::main().run_pending();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"asap@x", "idle@x"}));
}

TEST_F(NotificationQueueTest, PostNowPostsAtOnceAndDropsMatchingPendingPosts) {
  watch("N");
  queue.enqueue(Notification("N", &sender_x));
  queue.enqueue(Notification("N", &sender_y));
  queue.enqueue(Notification("N", &sender_x), PostingStyle::post_now);
  EXPECT_EQ(log.items(), (std::vector<std::string>{"N@x"}));
  RunLoop::main().run_pending();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"N@x", "N@y"}));
}

TEST_F(NotificationQueueTest, ExceptionFromObserverReachesTheRunLoopAndLaterPostsStillGo) {
  center.add_observer(nullptr, "bad", nullptr, nullptr, [](const Notification&) {
    Exception::raise("com.davidize.instanceid", "Could not configure");
  });
  watch("good");
  queue.enqueue(Notification("bad", &sender_x));
  queue.enqueue(Notification("good", &sender_x));
  EXPECT_THROW(RunLoop::main().run_pending(), Exception);
  RunLoop::main().run_pending();
  EXPECT_EQ(log.items(), (std::vector<std::string>{"good@x"}));
}

TEST_F(NotificationQueueTest, ResetDropsPendingPosts) {
  watch("N");
  queue.enqueue(Notification("N", &sender_x));
  platform::foundation::reset_for_testing();
  watch("N");
  RunLoop::main().run_pending();
  EXPECT_TRUE(log.items().empty());
  EXPECT_EQ(queue.pending_count(), 0u);
}

}  // namespace
