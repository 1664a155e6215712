// The core's preferences store: key and value checks, typed access, the
// delayed synchronisation and the domains it writes.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/gul_user_defaults.h"
#include "core/logger.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/plist.h"
#include "platform/os/preferences.h"
#include "platform/testing/manual_clock.h"
#include "tests/core/fixture.h"

namespace {

using namespace core;
namespace foundation = platform::foundation;
using foundation::Value;
using platform::dispatch::RunLoop;
using platform::os::Preferences;
using namespace std::chrono_literals;

class GULUserDefaultsTest : public core_test::CoreDeviceTest {
 protected:
  void SetUp() override {
    clock_ = platform::testing::ManualClock::install();
    boot();
  }
  static std::vector<std::string> messages() {
    GULLoggerWaitForQueue();
    std::vector<std::string> out;
    for (const auto& r : core_test::system_log_records()) out.push_back(r.message);
    return out;
  }
  // The keys of a domain's file on disk; empty when there is no file.
  static foundation::Dict onDisk(std::string_view domain) {
    const auto file = Preferences::shared().file_for_domain(domain);
    if (!std::filesystem::exists(file)) return {};
    auto parsed = foundation::plist::read_file(file);
    if (!parsed || !parsed->is_dict()) return {};
    return *parsed->dict();
  }
  void advance(double seconds) {
    clock_->advance(std::chrono::duration<double>(seconds));
    RunLoop::main().run_pending();
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
};

TEST_F(GULUserDefaultsTest, InvalidKeysAndValuesWarnAndChangeNothing) {
  GULUserDefaults defaults(std::string_view("org.example.suite"));
  defaults.setObject(Value("kept"), "key");

  struct Case {
    const char* what;
    std::function<void()> call;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"read with an empty key", [&] { EXPECT_EQ(defaults.objectForKey(""), std::nullopt); },
       " - <DozadaUtilities>[I-GUL000001] Cannot get object for invalid user default key."},
      {"write with an empty key", [&] { defaults.setObject(Value("x"), ""); },
       " - [DozadaUtilities/UserDefaults][I-GUL000002] Cannot set object for invalid user default key."},
      {"null value", [&] { defaults.setObject(Value(), "key"); },
       " - [DozadaUtilities/UserDefaults][I-GUL000003] Cannot set invalid object to user defaults. Must be a string, "
       "number, array, dictionary, date, or data. Value: <null>"},
      {"array holding an object",
       [&] { defaults.setObject(Value(foundation::Array{Value::object(std::make_shared<int>(1))}), "key"); },
       "[I-GUL000003] Cannot set invalid object to user defaults."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = messages().size();
    c.call();
    const auto after = messages();
    ASSERT_EQ(after.size(), before + 1);
    EXPECT_NE(after.back().find(c.expected), std::string::npos) << after.back();
    EXPECT_EQ(defaults.objectForKey("key"), Value("kept"));
  }
  EXPECT_EQ(Preferences::shared().copy_key_list("org.example.suite"), std::vector<std::string>{"key"});
}

TEST_F(GULUserDefaultsTest, TypedAccessReadsTheStoredValue) {
  GULUserDefaults defaults;
  defaults.setInteger(42, "int");
  defaults.setDouble(2.5, "double");
  defaults.setFloat(0.25f, "float");
  defaults.setBool(true, "bool");
  defaults.setObject(Value("17.5"), "text");
  defaults.setObject(Value(foundation::Array{Value(1), Value("a")}), "array");

  EXPECT_EQ(defaults.integerForKey("int"), 42);
  EXPECT_EQ(defaults.doubleForKey("double"), 2.5);
  EXPECT_EQ(defaults.floatForKey("float"), 0.25f);
  EXPECT_TRUE(defaults.boolForKey("bool"));
  EXPECT_EQ(defaults.integerForKey("text"), 17);
  EXPECT_EQ(defaults.doubleForKey("text"), 17.5);
  EXPECT_EQ(defaults.integerForKey("absent"), 0);
  EXPECT_FALSE(defaults.boolForKey("absent"));
  // No type check: a number read as a string is the number.
  EXPECT_EQ(defaults.stringForKey("int"), Value(42));
  EXPECT_EQ(defaults.arrayForKey("array"), Value(foundation::Array{Value(1), Value("a")}));
  EXPECT_EQ(defaults.dictionaryForKey("text"), Value("17.5"));

  defaults.removeObjectForKey("int");
  EXPECT_EQ(defaults.objectForKey("int"), std::nullopt);
}

TEST_F(GULUserDefaultsTest, WritesAreSynchronisedOnceASecondAfterTheLast) {
  GULUserDefaults defaults(std::string_view("org.example.suite"));
  defaults.setObject(Value(1), "a");
  advance(0.5);
  defaults.setObject(Value(2), "b");
  advance(0.4);
  defaults.setObject(Value(3), "c");
  // The earlier requests (due at 1.0 s and 1.5 s) were replaced.
  advance(0.99);
  EXPECT_TRUE(onDisk("org.example.suite").empty());
  advance(0.01);  // 1.9 s, long before the platform's own 5 s write
  const auto disk = onDisk("org.example.suite");
  EXPECT_EQ(disk.size(), 3u);
  EXPECT_EQ(disk.get("c"), Value(3));
  EXPECT_EQ(RunLoop::main().run_pending(), 0u);
}

TEST_F(GULUserDefaultsTest, ClearAllDataRemovesEveryKeyAndSchedulesOnlyWhenThereWereKeys) {
  GULUserDefaults empty(std::string_view("org.example.empty"));
  empty.clearAllData();
  clock_->advance(2s);
  EXPECT_EQ(RunLoop::main().run_pending(), 0u);

  GULUserDefaults defaults(std::string_view("org.example.suite"));
  defaults.setObject(Value("x"), "one");
  defaults.setObject(Value("y"), "two");
  advance(1.0);
  ASSERT_EQ(onDisk("org.example.suite").size(), 2u);
  defaults.clearAllData();
  EXPECT_TRUE(Preferences::shared().copy_key_list("org.example.suite").empty());
  clock_->advance(1s);
  EXPECT_EQ(RunLoop::main().run_pending(), 1u);
  EXPECT_TRUE(onDisk("org.example.suite").empty());
}

TEST_F(GULUserDefaultsTest, SuiteAndApplicationDomainsWriteTheirOwnFiles) {
  GULUserDefaults suite(std::string_view("org.example.suite"));
  GULUserDefaults app(std::string_view(""));
  EXPECT_EQ(app.appNameRef(), Preferences::current_application);
  EXPECT_EQ(&GULUserDefaults::standardUserDefaults(), &GULUserDefaults::standardUserDefaults());
  EXPECT_EQ(GULUserDefaults::standardUserDefaults().appNameRef(), Preferences::current_application);

  suite.setObject(Value("suite value"), "key");
  app.setObject(Value("app value"), "key");
  suite.synchronize();
  app.synchronize();
  EXPECT_EQ(onDisk("org.example.suite").get("key"), Value("suite value"));
  EXPECT_EQ(onDisk(platform::testing::TempDevice::bundle_identifier).get("key"), Value("app value"));
  EXPECT_EQ(GULUserDefaults::standardUserDefaults().objectForKey("key"), Value("app value"));
}

TEST_F(GULUserDefaultsTest, DestructionCancelsThePendingSynchronisation) {
  {
    GULUserDefaults defaults(std::string_view("org.example.suite"));
    defaults.setObject(Value(1), "a");
  }
  clock_->advance(1s);
  EXPECT_EQ(RunLoop::main().run_pending(), 0u);
}

}  // namespace
