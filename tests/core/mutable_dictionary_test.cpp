// GULMutableDictionary: writes seen by later reads on other threads, removal
// by nothing, snapshots, and many threads at once.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/mutable_dictionary.h"

namespace {

using core::GULMutableDictionary;

TEST(CoreMutableDictionaryTest, WriteIsSeenByImmediateReadOnAnotherThread) {
  GULMutableDictionary<int> dict;
  for (int i = 0; i < 200; ++i) {
    dict.setObject(i, "key");
    std::optional<int> seen;
    std::thread reader([&] { seen = dict.objectForKey("key"); });
    reader.join();
    ASSERT_EQ(seen, i);
  }
}

TEST(CoreMutableDictionaryTest, NothingRemovesAndCountFollows) {
  GULMutableDictionary<std::string> dict;
  dict.setObject("a", "one");
  dict.setObject("b", "two");
  dict.setObject("c", "three");
  EXPECT_EQ(dict.count(), 3u);

  dict.setObject(std::nullopt, "two");
  EXPECT_EQ(dict.count(), 2u);
  EXPECT_FALSE(dict["two"]);
  EXPECT_EQ(dict["one"], "a");

  dict.setObject(std::nullopt, "absent");
  dict.removeObjectForKey("one");
  EXPECT_EQ(dict.count(), 1u);
  dict.removeAllObjects();
  EXPECT_EQ(dict.count(), 0u);
  EXPECT_FALSE(dict.objectForKey("three"));
}

TEST(CoreMutableDictionaryTest, SnapshotKeepsItsEntries) {
  GULMutableDictionary<int> dict;
  dict.setObject(1, "a");
  dict.setObject(2, "b");
  const std::map<std::string, int> snapshot = dict.dictionary();
  dict.setObject(10, "a");
  dict.removeObjectForKey("b");
  dict.setObject(3, "c");
  EXPECT_EQ(snapshot, (std::map<std::string, int>{{"a", 1}, {"b", 2}}));
  EXPECT_EQ(dict.dictionary(), (std::map<std::string, int>{{"a", 10}, {"c", 3}}));
}

TEST(CoreMutableDictionaryTest, DescriptionListsEntries) {
  GULMutableDictionary<std::string> dict;
  dict.setObject("value", "key");
  const std::string text = dict.description();
  EXPECT_NE(text.find("key = value;"), std::string::npos) << text;
}

TEST(CoreMutableDictionaryTest, WritesQueuedAtDestructionDoNotOutliveTheirState) {
  for (int i = 0; i < 50; ++i) {
    GULMutableDictionary<std::vector<int>> dict;
    for (int j = 0; j < 20; ++j) dict.setObject(std::vector<int>(64, j), std::to_string(j));
  }
  // Nothing to assert: the sanitizer build catches a write into freed state.
  SUCCEED();
}

TEST(CoreMutableDictionaryTest, EightThreadsWriteAndRead) {
  GULMutableDictionary<int> dict;
  constexpr int kThreads = 8, kRounds = 500;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = "thread" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        dict.setObject(i, own);
        dict.setObject(i, "shared");
        // A thread's own key holds its own last write.
        if (dict.objectForKey(own) != i) ++mismatches;
        (void)dict.objectForKey("shared");
        (void)dict.dictionary();
        if (i % 50 == 0) dict.removeObjectForKey("shared");
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(dict.objectForKey("thread" + std::to_string(t)), kRounds - 1);
}

}  // namespace
