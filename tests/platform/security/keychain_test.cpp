#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/plist.h"
#include "platform/security/keychain.h"
#include "platform/security/testing_reset.h"
#include "tests/platform/security/fixture.h"

namespace platform::security::test {
namespace {

using foundation::Array;
using foundation::Bytes;
using foundation::Date;
using foundation::Dict;
using foundation::to_bytes;
using foundation::Value;

std::string s(std::string_view v) { return std::string(v); }

Dict password(std::string service, std::string account, std::string data = "secret") {
  return Dict{{s(kc::class_), s(kc::class_generic_password)},
              {s(kc::service), std::move(service)},
              {s(kc::account), std::move(account)},
              {s(kc::value_data), to_bytes(data)}};
}

Dict query(std::string service, std::string account) {
  return Dict{{s(kc::class_), s(kc::class_generic_password)}, {s(kc::service), std::move(service)},
              {s(kc::account), std::move(account)}};
}

Dict with(Dict d, std::string_view key, Value value) {
  d.set(s(key), std::move(value));
  return d;
}

class KeychainTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    boot_device();
  }
  fs::path keychain_file() const { return device_ / "Keychain" / "keychain.plist"; }
};

TEST_F(KeychainTest, StatusTable) {
  // Each step runs against the keychain the previous steps left.
  struct Step {
    const char* what;
    std::function<Status()> call;
    Status expected;
  };
  Value out;
  const std::vector<Step> steps = {
      {"look-up in an empty keychain", [&] { return item_copy_matching(query("svc", "a"), &out); }, -25300},
      {"add", [&] { return item_add(password("svc", "a")); }, 0},
      {"same service and account again", [&] { return item_add(password("svc", "a", "other")); }, -25299},
      {"same service, other account", [&] { return item_add(password("svc", "b")); }, 0},
      {"same service and account, other access group",
       [&] { return item_add(with(password("svc", "a"), kc::access_group, "group.x")); }, 0},
      {"same service and account, other generic attribute (not part of identity)",
       [&] { return item_add(with(password("svc", "b"), kc::generic, "g")); }, -25299},
      {"look-up", [&] { return item_copy_matching(query("svc", "b"), &out); }, 0},
      {"update of nothing", [&] { return item_update(query("none", "a"), Dict{{s(kc::label), "x"}}); }, -25300},
      {"delete of nothing", [&] { return item_delete(query("none", "a")); }, -25300},
      {"query without class", [&] { return item_copy_matching(Dict{{s(kc::service), "svc"}}, &out); }, -50},
      {"unknown class", [&] { return item_add(Dict{{s(kc::class_), "inet"}, {s(kc::service), "x"}}); }, -50},
      {"text as password data", [&] { return item_add(with(password("t", "t"), kc::value_data, "text")); }, -50},
      {"unknown match limit",
       [&] { return item_copy_matching(with(query("svc", "a"), kc::match_limit, "m_LimitTwo"), &out); }, -50},
      {"return flag that is no number",
       [&] { return item_copy_matching(with(query("svc", "a"), kc::return_data, "yes"), &out); }, -50},
      {"key reference of a password",
       [&] { return item_copy_matching(with(query("svc", "b"), kc::return_ref, true), &out); }, -50},
      {"update that changes the class",
       [&] { return item_update(query("svc", "b"), Dict{{s(kc::class_), s(kc::class_key)}}); }, -50},
      {"update without changes", [&] { return item_update(query("svc", "b"), Dict{}); }, -50},
      {"update data with text", [&] { return item_update(query("svc", "b"), Dict{{s(kc::value_data), "x"}}); }, -50},
      {"delete one", [&] { return item_delete(query("svc", "b")); }, 0},
      {"look-up after delete", [&] { return item_copy_matching(query("svc", "b"), &out); }, -25300},
  };
  for (const Step& step : steps) EXPECT_EQ(step.call(), step.expected) << step.what;
}

TEST_F(KeychainTest, ResultShapesFollowReturnFlagsAndLimit) {
  ASSERT_EQ(item_add(password("tokens", "a", "one")), 0);
  ASSERT_EQ(item_add(password("other", "a", "zero")), 0);
  ASSERT_EQ(item_add(password("tokens", "b", "two")), 0);
  const Dict by_service{{s(kc::class_), s(kc::class_generic_password)}, {s(kc::service), "tokens"}};

  // Data and attributes of all matches: one attribute dictionary per item, in
  // insertion order, each carrying its data under "v_Data".
  Value all;
  ASSERT_EQ(item_copy_matching(with(with(with(by_service, kc::return_data, true), kc::return_attributes, true),
                                    kc::match_limit, s(kc::match_limit_all)),
                               &all),
            0);
  ASSERT_TRUE(all.array());
  ASSERT_EQ(all.array()->size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const Value& item = all[i];
    ASSERT_TRUE(item.dict());
    EXPECT_EQ(item[kc::class_], Value("genp"));
    EXPECT_EQ(item[kc::service], Value("tokens"));
    EXPECT_EQ(item[kc::account], Value(i == 0 ? "a" : "b"));
    EXPECT_EQ(item[kc::value_data], Value(to_bytes(i == 0 ? "one" : "two")));
    EXPECT_TRUE(item[kc::modification_date].is_date());
  }

  struct Case {
    const char* what;
    Dict flags;
    std::function<void(const Value&)> check;
  };
  const std::vector<Case> cases = {
      {"data only", {{s(kc::return_data), true}}, [](const Value& v) { EXPECT_EQ(v, Value(to_bytes("one"))); }},
      {"attributes only", {{s(kc::return_attributes), true}},
       [](const Value& v) {
         ASSERT_TRUE(v.dict());
         EXPECT_EQ(v[kc::account], Value("a"));
         EXPECT_FALSE(v.dict()->contains(kc::value_data));
       }},
      {"no flag", {}, [](const Value& v) { EXPECT_TRUE(v.is_null()); }},
      {"data of all", {{s(kc::return_data), true}, {s(kc::match_limit), s(kc::match_limit_all)}},
       [](const Value& v) { EXPECT_EQ(v, Value(Array{to_bytes("one"), to_bytes("two")})); }},
      {"data, explicit limit one", {{s(kc::return_data), true}, {s(kc::match_limit), s(kc::match_limit_one)}},
       [](const Value& v) { EXPECT_EQ(v, Value(to_bytes("one"))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Dict q = by_service;
    for (const auto& [k, v] : c.flags) q.set(k, v);
    Value out = "untouched";
    ASSERT_EQ(item_copy_matching(q, &out), 0);
    c.check(out);
  }
  EXPECT_EQ(item_copy_matching(by_service, nullptr), 0);   // existence check without a result
}

TEST_F(KeychainTest, MatchingIsExactWithoutWildcards) {
  // An account stored as data (as the analytics wrapper does) is not the same
  // attribute as the same text.
  Dict as_data = password("app", "");
  as_data.set(s(kc::account), to_bytes("_pfo"));
  as_data.set(s(kc::generic), to_bytes("_pfo"));
  ASSERT_EQ(item_add(as_data), 0);
  ASSERT_EQ(item_add(with(password("svc", "acct"), kc::accessible, s(kc::accessible_always_this_device_only))), 0);

  struct Case {
    const char* what;
    Dict q;
    Status expected;
  };
  const Bytes pfo = to_bytes("_pfo");
  const std::vector<Case> cases = {
      {"data attribute by data", with(query("app", ""), kc::account, pfo), 0},
      {"data attribute by text", query("app", "_pfo"), -25300},
      {"data attribute by other bytes", with(query("app", ""), kc::account, to_bytes("_pf")), -25300},
      {"\"*\" is no wildcard", query("*", "acct"), -25300},
      {"attribute the item lacks", with(query("svc", "acct"), kc::label, "l"), -25300},
      {"every given attribute", with(query("svc", "acct"), kc::accessible, "dku"), 0},
      {"other accessibility", with(query("svc", "acct"), kc::accessible, "ak"), -25300},
      {"data byte for byte", with(query("svc", "acct"), kc::value_data, to_bytes("secret")), 0},
      {"other data", with(query("svc", "acct"), kc::value_data, to_bytes("secreT")), -25300},
      {"case matters", query("SVC", "acct"), -25300},
      {"class matters", with(query("svc", "acct"), kc::class_, s(kc::class_key)), -25300},
  };
  for (const Case& c : cases) {
    Value out;
    EXPECT_EQ(item_copy_matching(c.q, &out), c.expected) << c.what;
  }
}

TEST_F(KeychainTest, UpdateChangesEveryMatchAndStampsModificationDate) {
  ASSERT_EQ(item_add(with(password("svc", "a", "old"), kc::accessible, "dku")), 0);
  ASSERT_EQ(item_add(password("other", "a", "keep")), 0);
  Value before;
  ASSERT_EQ(item_copy_matching(with(query("svc", "a"), kc::return_attributes, true), &before), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  // The query keeps an attribute that is not changed, the change carries only the data.
  ASSERT_EQ(item_update(with(query("svc", "a"), kc::accessible, "dku"), Dict{{s(kc::value_data), to_bytes("new")}}),
            0);
  Value after;
  ASSERT_EQ(item_copy_matching(with(with(query("svc", "a"), kc::return_attributes, true), kc::return_data, true),
                               &after),
            0);
  EXPECT_EQ(after[kc::value_data], Value(to_bytes("new")));
  EXPECT_EQ(after[kc::accessible], Value("dku"));
  ASSERT_TRUE(before[kc::modification_date].date() && after[kc::modification_date].date());
  EXPECT_GT(*after[kc::modification_date].date(), *before[kc::modification_date].date());

  Value untouched;
  ASSERT_EQ(item_copy_matching(with(query("other", "a"), kc::return_data, true), &untouched), 0);
  EXPECT_EQ(untouched, Value(to_bytes("keep")));

  // Renaming onto another item's identity is refused and changes nothing.
  EXPECT_EQ(item_update(query("svc", "a"), Dict{{s(kc::service), "other"}}), -25299);
  EXPECT_EQ(item_copy_matching(query("svc", "a"), nullptr), 0);
}

TEST_F(KeychainTest, DeleteRemovesAllMatches) {
  const Dict tokens{{s(kc::class_), s(kc::class_generic_password)}, {s(kc::generic), "iid-tokens"}};
  for (const char* service : {"e:s1", "e:s2", "e:s3"}) ASSERT_EQ(item_add(with(password(service, "app"), kc::generic, "iid-tokens")), 0);
  ASSERT_EQ(item_add(with(password("checkin", "app"), kc::generic, "iid")), 0);

  EXPECT_EQ(item_delete(tokens), 0);
  EXPECT_EQ(item_copy_matching(tokens, nullptr), -25300);
  EXPECT_EQ(item_delete(tokens), -25300);
  Value left;
  ASSERT_EQ(item_copy_matching(Dict{{s(kc::class_), s(kc::class_generic_password)},
                                    {s(kc::return_attributes), true},
                                    {s(kc::match_limit), s(kc::match_limit_all)}},
                               &left),
            0);
  ASSERT_TRUE(left.array());
  ASSERT_EQ(left.array()->size(), 1u);
  EXPECT_EQ(left[0][kc::service], Value("checkin"));
}

TEST_F(KeychainTest, ItemsLiveInTheDeviceFileAndSurviveReinstall) {
  ASSERT_EQ(item_add(password("svc", "a", "kept")), 0);
  ASSERT_TRUE(fs::exists(keychain_file()));
  auto on_disk = foundation::plist::read_file(keychain_file());
  ASSERT_TRUE(on_disk.has_value());
  ASSERT_TRUE(on_disk->array());
  EXPECT_EQ((*on_disk)[0][kc::value_data], Value(to_bytes("kept")));

  // Reinstall: the app container goes, the device folder stays; then a new boot.
  platform::testing::reset();
  fs::remove_all(device_ / "Containers");
  boot_device();
  Value out;
  ASSERT_EQ(item_copy_matching(with(query("svc", "a"), kc::return_data, true), &out), 0);
  EXPECT_EQ(out, Value(to_bytes("kept")));
}

TEST_F(KeychainTest, ChangesByAnotherWriterAreSeen) {
  // The parsed file is reused only while the file is unchanged.
  ASSERT_EQ(item_add(password("svc", "a")), 0);
  ASSERT_EQ(item_copy_matching(query("svc", "a"), nullptr), 0);
  ASSERT_TRUE(foundation::plist::write_file_atomically(Value(Array{}), keychain_file(),
                                                       foundation::plist::Format::binary)
                  .has_value());
  EXPECT_EQ(item_copy_matching(query("svc", "a"), nullptr), -25300);
}

TEST_F(KeychainTest, CorruptFileReadsAsEmptyAndIsReplacedByTheNextAdd) {
  struct Case {
    const char* what;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"garbage", "\x01\x02not a property list"},
      {"empty file", ""},
      {"truncated binary plist", "bplist00\xd1\x01\x02"},
      {"dictionary root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::create_directories(keychain_file().parent_path());
    std::ofstream(keychain_file(), std::ios::binary | std::ios::trunc) << c.content;
    Value out;
    EXPECT_EQ(item_copy_matching(query("svc", "a"), &out), -26275);
    EXPECT_EQ(item_update(query("svc", "a"), Dict{{s(kc::label), "l"}}), -26275);
    EXPECT_EQ(item_delete(query("svc", "a")), -26275);
    EXPECT_EQ(item_add(password("svc", "a")), 0);
    EXPECT_EQ(item_copy_matching(query("svc", "a"), &out), 0);
    EXPECT_EQ(item_delete(query("svc", "a")), 0);
  }
}

TEST_F(KeychainTest, ElementsThatAreNoItemsAreSkipped) {
  fs::create_directories(keychain_file().parent_path());
  ASSERT_TRUE(foundation::plist::write_file_atomically(
                  Value(Array{Value("stray"), Value(password("svc", "a", "ok")), Value(42)}), keychain_file())
                  .has_value());
  Value out;
  ASSERT_EQ(item_copy_matching(with(query("svc", "a"), kc::return_data, true), &out), 0);
  EXPECT_EQ(out, Value(to_bytes("ok")));
}

TEST_F(KeychainTest, NothingBeforeBoot) {
  platform::testing::reset();
  EXPECT_EQ(item_add(password("svc", "a")), -50);
  EXPECT_EQ(item_copy_matching(query("svc", "a"), nullptr), -50);
}

TEST_F(KeychainTest, ConcurrentAddsAreAllKept) {
  // Every change rewrites the whole file; without one lock a writer would drop another's item.
  std::vector<std::thread> threads;
  std::vector<Status> results(80, 1);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t, &results] {
      for (int i = 0; i < 10; ++i)
        results[t * 10 + i] = item_add(password("svc", "acct" + std::to_string(t * 10 + i)));
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(results, std::vector<Status>(80, 0));
  Value all;
  ASSERT_EQ(item_copy_matching(Dict{{s(kc::class_), s(kc::class_generic_password)},
                                    {s(kc::match_limit), s(kc::match_limit_all)},
                                    {s(kc::return_data), true}},
                               &all),
            0);
  ASSERT_TRUE(all.array());
  EXPECT_EQ(all.array()->size(), 80u);
  platform::security::reset_for_testing();   // and the file itself holds them all
  ASSERT_EQ(item_copy_matching(Dict{{s(kc::class_), s(kc::class_generic_password)},
                                    {s(kc::match_limit), s(kc::match_limit_all)}, {s(kc::return_data), true}},
                               &all),
            0);
  EXPECT_EQ(all.array()->size(), 80u);
}

class NoEntitlementTest : public DeviceTest {};

TEST_F(NoEntitlementTest, EveryCallReportsMissingEntitlement) {
  os::DeviceProfile profile;
  profile.keychain_entitlement = false;
  boot_device(profile);
  Value out;
  EXPECT_EQ(item_add(password("svc", "a")), -34018);
  EXPECT_EQ(item_copy_matching(query("svc", "a"), &out), -34018);
  EXPECT_EQ(item_update(query("svc", "a"), Dict{{s(kc::label), "l"}}), -34018);
  EXPECT_EQ(item_delete(query("svc", "a")), -34018);
  EXPECT_FALSE(fs::exists(device_ / "Keychain" / "keychain.plist"));
}

}  // namespace
}  // namespace platform::security::test
