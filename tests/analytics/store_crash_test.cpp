// The analytics database under SIGKILL: a child process stores steps in
// transactions and is killed at random points; every acknowledged step must
// be complete afterwards, a later one complete or absent, and the file the
// same one. A second case kills the child during the migration of an old
// file of 50,000 raw events.
#include <sys/stat.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/analytics/store_support.h"
#include "testing/harness/appsim_process.h"
#include "wire/measurement/measurement.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
using namespace std::chrono_literals;

constexpr int kEventsPerStep = 20;
constexpr int kRounds = 20;
constexpr int kMigrationRows = 50000;

class AnalyticsStoreCrashTest : public StoreDeviceTest {
 protected:
  static std::filesystem::path file() {
    return analytics::APMApplicationSupportPath(analytics::APMDatabase::kDatabaseName);
  }
  std::unique_ptr<::testing::AppSimProcess> spawn(std::vector<std::string> arguments) {
    ::testing::AppSimOptions options;
    options.executable = ANALYTICS_STORE_CRASH_HELPER;
    options.deadline = 120s;
    arguments.insert(arguments.begin(), {device().device().string(), device().bundle().string()});
    return std::make_unique<::testing::AppSimProcess>(std::move(arguments), options);
  }
  static ino_t inode() {
    struct stat info {};
    return ::stat(file().c_str(), &info) == 0 ? info.st_ino : 0;
  }
  // The highest step number the child printed.
  static int lastAcknowledged(const ::testing::AppSimProcess& child) {
    int last = 0;
    for (const auto& line : child.lines()) {
      if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) last = std::max(last, std::stoi(line));
    }
    return last;
  }
};

TEST_F(AnalyticsStoreCrashTest, AcknowledgedStepsSurviveSigkill) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  ino_t firstInode = 0;
  int acknowledged = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto child = spawn({"loop", std::to_string(kEventsPerStep)});
    const int acks = std::uniform_int_distribution<int>(1, 4)(random);
    const int target = acknowledged + acks;
    ASSERT_TRUE(child->wait_for_line(
        [target](const std::string& line) {
          return !line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) && std::stoi(line) >= target;
        },
        60s))
        << child->wait().transcript();
    // Kill at a random point of a later step.
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(random)));
    child->kill();
    child->wait();
    acknowledged = std::max(acknowledged, lastAcknowledged(*child));

    if (round == 0) firstInode = inode();
    EXPECT_EQ(inode(), firstInode);
    auto database = analytics::APMDatabase::initWithDatabaseName(analytics::APMDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    {
      RawSqlite raw(file());
      ASSERT_EQ(raw.one("PRAGMA integrity_check"), "ok");
      const int stored = database->queryAppMetadata(nullptr)->lastBundleIndex();
      ASSERT_GE(stored, acknowledged);
      ASSERT_LE(stored, acknowledged + 1);  // the step in flight: all or nothing
      EXPECT_EQ(raw.one("SELECT count(*) FROM raw_events"), std::to_string(stored * kEventsPerStep));
      EXPECT_EQ(raw.one("SELECT count(DISTINCT metadata_fingerprint) FROM raw_events"), std::to_string(stored));
      EXPECT_EQ(raw.one("SELECT max(metadata_fingerprint) FROM raw_events"), std::to_string(stored));
      auto bundles = database->queryBundlesWithCountLimit(1000000, 1 << 30, nullptr);
      ASSERT_TRUE(bundles);
      ASSERT_EQ(bundles->size(), static_cast<std::size_t>(stored));
      for (std::size_t i = 0; i < bundles->size(); ++i) {
        EXPECT_EQ(wire::NANOGetString((*bundles)[i].first.get(), 14), "step-" + std::to_string(i + 1));
      }
      acknowledged = stored;
    }
    database.reset();
  }
}

TEST_F(AnalyticsStoreCrashTest, KillDuringMigrationKeepsEveryRawEvent) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto makeOldFile = [this] {
    std::filesystem::remove(file());
    for (const char* suffix : {"-journal", "-wal", "-shm"}) std::filesystem::remove(file().string() + suffix);
    std::filesystem::create_directories(file().parent_path());
    RawSqlite raw(file());
    raw.exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, metadata_fingerprint INTEGER "
             "NOT NULL, data BLOB NOT NULL)");
    raw.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
             std::to_string(kMigrationRows) +
             ") INSERT INTO raw_events SELECT 'e' || i, i, i % 7, randomblob(64) FROM n");
  };
  // How long a whole open takes, start-up included.
  makeOldFile();
  const auto start = std::chrono::steady_clock::now();
  auto whole = spawn({"open"});
  const auto result = whole->wait();
  ASSERT_EQ(result.exit_code, 0) << result.transcript();
  const auto measured = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  for (int attempt = 0; attempt < 6; ++attempt) {
    const auto delay = measured * attempt / 6 +
                       std::chrono::microseconds(std::uniform_int_distribution<long>(0, measured.count() / 6)(random));
    SCOPED_TRACE("delay " + std::to_string(delay.count()) + " us of " + std::to_string(measured.count()));
    makeOldFile();
    auto child = spawn({"open"});
    std::this_thread::sleep_for(delay);
    child->kill();
    child->wait();
    auto database = analytics::APMDatabase::initWithDatabaseName(analytics::APMDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    RawSqlite raw(file());
    EXPECT_EQ(raw.one("SELECT count(*) || ',' || sum(timestamp) || ',' || typeof(timestamp) FROM raw_events"),
              std::to_string(kMigrationRows) + "," + std::to_string(std::int64_t{kMigrationRows} * (kMigrationRows + 1) / 2) +
                  ".0,real");
    EXPECT_EQ(raw.one("SELECT count(*) FROM sqlite_master WHERE name = 'raw_events_old'"), "0");
  }
}

}  // namespace
}  // namespace analytics_test
