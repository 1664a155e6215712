#include "platform/os/preferences.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "fixture.h"
#include "platform/foundation/error.h"
#include "platform/os/file_manager.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"

namespace platform::os::test {
namespace {

using namespace std::chrono_literals;
using foundation::Array;
using foundation::Bytes;
using foundation::Date;
using platform::testing::ManualClock;

class PreferencesTest : public OsTest {
 protected:
  void SetUp() override {
    OsTest::SetUp();
    clock_ = ManualClock::install();
    boot_device();
  }
  static Preferences& prefs() { return Preferences::shared(); }
  fs::path app_file() const { return container() / "Library" / "Preferences" / (std::string(kBundleId) + ".plist"); }
  // The dictionary stored in a domain file (null when absent or unreadable).
  static Value on_disk(const fs::path& file) {
    auto v = foundation::plist::read_file(file);
    return v ? *v : Value();
  }
  std::vector<std::string> system_log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(read_text(system_log_file()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::shared_ptr<ManualClock> clock_;
};

TEST_F(PreferencesTest, UnsynchronisedChangeIsOnDiskFiveSecondsAfterTheLastChange) {
  UserDefaults& d = UserDefaults::standard();
  d.set("a", Value(1));
  clock_->advance(3s);
  d.set("b", Value("two"));  // restarts the delay
  clock_->advance(4.9s);
  EXPECT_FALSE(fs::exists(app_file()));
  clock_->advance(0.1s);
  EXPECT_EQ(on_disk(app_file()), Value(Dict{{"a", 1}, {"b", "two"}}));
}

TEST_F(PreferencesTest, FlushAllAndSynchronizeWriteAtOnce) {
  auto suite = UserDefaults::suite("org.example.suite");
  suite->set("k", Value(true));
  UserDefaults::standard().set("s", Value("v"));
  prefs().flush_all();
  EXPECT_EQ(on_disk(app_file()), Value(Dict{{"s", "v"}}));
  EXPECT_EQ(on_disk(prefs().file_for_domain("org.example.suite")), Value(Dict{{"k", true}}));

  UserDefaults::standard().set("s", Value("w"));
  EXPECT_TRUE(UserDefaults::standard().synchronize());
  EXPECT_EQ(on_disk(app_file()), Value(Dict{{"s", "w"}}));
  EXPECT_TRUE(prefs().app_synchronize("org.example.nothing-changed"));
  EXPECT_FALSE(fs::exists(prefs().file_for_domain("org.example.nothing-changed")));
}

TEST_F(PreferencesTest, SuitePreferencesAndStandardShareOneStore) {
  const std::string domain = "org.example.measurement";
  auto suite = UserDefaults::suite(domain);
  ASSERT_NE(suite, nullptr);
  suite->set("x", Value(5));
  EXPECT_EQ(prefs().copy_app_value("x", domain), Value(5));
  prefs().set_app_value("y", Value("from cf"), domain);
  EXPECT_EQ(suite->object("y"), Value("from cf"));
  EXPECT_EQ(prefs().copy_key_list(domain), (std::vector<std::string>{"x", "y"}));

  // The current-application constant and the bundle id name one domain.
  prefs().set_app_value("z", Value(1), Preferences::current_application);
  EXPECT_EQ(UserDefaults::standard().object("z"), Value(1));
  EXPECT_EQ(prefs().copy_app_value("z", kBundleId), Value(1));
  EXPECT_EQ(UserDefaults::standard().domain(), kBundleId);
  EXPECT_EQ(UserDefaults::suite(kBundleId), nullptr);
}

TEST_F(PreferencesTest, DomainsReadBackAfterReboot) {
  auto suite = UserDefaults::suite("org.example.other");
  UserDefaults::standard().set("n", Value(Dict{{"list", Array{1, "b", Bytes{0xff}, Date{1600000000}}}}));
  suite->set("o", Value(2.5));
  prefs().flush_all();
  platform::testing::reset();

  clock_ = ManualClock::install();
  boot_device();
  EXPECT_EQ(UserDefaults::standard().object("n"), Value(Dict{{"list", Array{1, "b", Bytes{0xff}, Date{1600000000}}}}));
  EXPECT_EQ(UserDefaults::suite("org.example.other")->real("o"), 2.5);
}

TEST_F(PreferencesTest, NonPropertyListValuesAreRefusedWithASystemLogLine) {
  UserDefaults& d = UserDefaults::standard();
  d.set("keep", Value("safe"));
  ASSERT_TRUE(d.synchronize());
  const std::string before = read_text(app_file());

  const Value refused[] = {
      Value(nullptr),
      Value::object(std::make_shared<foundation::Error>("D", 1)),
      Value(Array{1, Value()}),
      Value(Dict{{"inner", Dict{{"deep", Value()}}}}),
  };
  for (const Value& v : refused) {
    SCOPED_TRACE(foundation::describe(v));
    auto lines_before = system_log_lines().size();
    EXPECT_FALSE(prefs().set_app_value("bad", v, Preferences::current_application));
    d.set("keep", v);
    auto lines = system_log_lines();
    ASSERT_EQ(lines.size(), lines_before + 2);
    EXPECT_NE(lines.back().find("not a property list"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("\"keep\""), std::string::npos) << lines.back();
  }
  EXPECT_EQ(d.object("keep"), Value("safe"));
  EXPECT_FALSE(d.object("bad").has_value());
  prefs().flush_all();
  clock_->advance(10s);
  EXPECT_EQ(read_text(app_file()), before);
}

TEST_F(PreferencesTest, CorruptDomainFileReadsEmptyWithASystemLogLine) {
  write_text(app_file(), "this is not a property list");
  EXPECT_FALSE(UserDefaults::standard().object("any").has_value());
  EXPECT_TRUE(UserDefaults::standard().dictionary_representation().empty());
  EXPECT_NE(read_text(system_log_file()).find("not a property-list dictionary"), std::string::npos);

  write_plist(prefs().file_for_domain("org.example.array"), Value(Array{1, 2}));  // not a dictionary
  EXPECT_TRUE(prefs().copy_key_list("org.example.array").empty());

  UserDefaults::standard().set("fresh", Value(1));
  ASSERT_TRUE(UserDefaults::standard().synchronize());
  EXPECT_EQ(on_disk(app_file()), Value(Dict{{"fresh", 1}}));
}

TEST_F(PreferencesTest, UnreadableDomainFileIsNotClobbered) {
  write_plist(app_file(), Value(Dict{{"old", "kept"}, {"v", 1}}));
  platform::testing::fail_next(platform::testing::FileOp::read, app_file(), EIO);
  UserDefaults& d = UserDefaults::standard();
  EXPECT_FALSE(d.object("old").has_value());  // the read failed: nothing known yet
  d.set("v", Value(2));
  ASSERT_TRUE(d.synchronize());  // reads the file again before writing
  EXPECT_EQ(on_disk(app_file()), Value(Dict{{"old", "kept"}, {"v", 2}}));
  EXPECT_EQ(d.object("old"), Value("kept"));

  platform::testing::fail_next(platform::testing::FileOp::read, prefs().file_for_domain("org.example.locked"), EIO);
  platform::testing::fail_next(platform::testing::FileOp::read, prefs().file_for_domain("org.example.locked"), EIO);
  write_plist(prefs().file_for_domain("org.example.locked"), Value(Dict{{"a", 1}}));
  auto locked = UserDefaults::suite("org.example.locked");
  locked->set("b", Value(2));
  EXPECT_FALSE(locked->synchronize());  // still unreadable: the file is left alone
  EXPECT_EQ(on_disk(prefs().file_for_domain("org.example.locked")), Value(Dict{{"a", 1}}));
  prefs().flush_all();
  EXPECT_EQ(on_disk(prefs().file_for_domain("org.example.locked")), Value(Dict{{"a", 1}, {"b", 2}}));
}

TEST_F(PreferencesTest, TypedGettersReadNumbersAndTextViews) {
  UserDefaults& d = UserDefaults::standard();
  struct Case {
    const char* key;
    Value value;
    bool boolean;
    std::int64_t integer;
    double real;
    std::optional<std::string> string;
  };
  const Case cases[] = {
      {"int", Value(2), true, 2, 2.0, "2"},
      {"zero", Value(0), false, 0, 0.0, "0"},
      {"real", Value(1.5), true, 1, 1.5, "1.5"},
      {"bool", Value(true), true, 1, 1.0, "1"},
      {"text-2", Value("2"), true, 2, 2.0, "2"},
      {"text-yes", Value("YES"), true, 0, 0.0, "YES"},
      {"text-true", Value("true"), true, 0, 0.0, "true"},
      {"text-abc", Value("abc"), false, 0, 0.0, "abc"},
      {"text-real", Value("2.75"), true, 2, 2.75, "2.75"},
      {"data", Value(Bytes{1}), false, 0, 0.0, std::nullopt},
      {"array", Value(Array{1}), false, 0, 0.0, std::nullopt},
  };
  for (const Case& c : cases) d.set(c.key, c.value);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(d.boolean(c.key), c.boolean);
    EXPECT_EQ(d.integer(c.key), c.integer);
    EXPECT_DOUBLE_EQ(d.real(c.key), c.real);
    EXPECT_EQ(d.string(c.key), c.string);
  }
  EXPECT_FALSE(d.boolean("absent"));
  EXPECT_EQ(d.integer("absent"), 0);
  EXPECT_EQ(d.string("absent"), std::nullopt);
}

TEST_F(PreferencesTest, RemovingKeysAndPersistentDomains) {
  auto suite = UserDefaults::suite("org.example.gone");
  suite->set("a", Value(1));
  suite->set("b", Value(2));
  ASSERT_TRUE(suite->synchronize());
  suite->remove("a");
  EXPECT_EQ(suite->dictionary_representation(), (Dict{{"b", 2}}));
  UserDefaults::standard().remove_persistent_domain("org.example.gone");
  EXPECT_TRUE(suite->dictionary_representation().empty());
  clock_->advance(5s);
  EXPECT_EQ(on_disk(prefs().file_for_domain("org.example.gone")), Value(Dict{}));
}

TEST_F(PreferencesTest, AppGroupSuitesLiveInTheSharedContainer) {
  auto group = UserDefaults::suite("group.org.example.bridge");
  group->set("event", Value("open"));
  ASSERT_TRUE(group->synchronize());
  fs::path file = device_ / "Containers/Shared/AppGroup/group.org.example.bridge/Library/Preferences" /
                  "group.org.example.bridge.plist";
  EXPECT_EQ(prefs().file_for_domain("group.org.example.bridge"), file);
  EXPECT_EQ(on_disk(file), Value(Dict{{"event", "open"}}));
}

TEST_F(PreferencesTest, FailedWriteStaysPendingAndKeepsTheOldFile) {
  UserDefaults& d = UserDefaults::standard();
  d.set("v", Value(1));
  ASSERT_TRUE(d.synchronize());
  platform::testing::fail_next(platform::testing::FileOp::write, app_file(), EIO);
  d.set("v", Value(2));
  EXPECT_FALSE(d.synchronize());
  EXPECT_EQ(on_disk(app_file()), Value(Dict{{"v", 1}}));
  EXPECT_NE(read_text(system_log_file()).find("cannot write domain"), std::string::npos);
  prefs().flush_all();  // at terminate: the change still goes out
  EXPECT_EQ(on_disk(app_file()), Value(Dict{{"v", 2}}));
}

TEST_F(PreferencesTest, ConcurrentWritersLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      auto suite = UserDefaults::suite("org.example.concurrent");
      for (int i = 0; i < 50; ++i) {
        suite->set("k" + std::to_string(t) + "-" + std::to_string(i), Value(i));
        if (i % 10 == 0) suite->synchronize();
      }
    });
  }
  for (auto& th : threads) th.join();
  clock_->advance(5s);
  const Value stored = on_disk(prefs().file_for_domain("org.example.concurrent"));
  ASSERT_NE(stored.dict(), nullptr);
  EXPECT_EQ(stored.dict()->size(), 400u);
}

TEST_F(PreferencesTest, PropertyListCheck) {
  EXPECT_TRUE(is_property_list(Value(Dict{{"a", Array{1, 2.5, "s", Bytes{}, Date{}, true}}})));
  EXPECT_FALSE(is_property_list(Value()));
  EXPECT_FALSE(is_property_list(Value(Array{Dict{{"x", Value()}}})));
}

}  // namespace
}  // namespace platform::os::test
