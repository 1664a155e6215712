// The batched log uploader on a harness device without an application
// object, against the loopback log collector, under a ManualClock: the file
// format and its owner-only files, the size cap, roll-overs within one
// millisecond, torn writes, unwritable folders, the request's fields, status
// codes and retries, uploads during uploads, unreadable files, and flushes
// from many threads.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/logger.h"
#include "core/vivodode_logger.h"
#include "platform/os/file_manager.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"
#include "testing/harness/harness.h"
#include "tests/core/fixture.h"
#include "tests/core/log_request_support.h"
#include "tests/core/network_support.h"

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
using core::FIRVivododeLogger;
using core_log_test::Bytes;
using core_log_test::decode_log_request;
using core_log_test::event_with;
using core_log_test::events_of;
using core_log_test::payload_of;
using testing::Fake;

constexpr std::int64_t kStartMillis = 1600000000000;
constexpr std::int64_t kUptimeMillis = 3600000;  // the ManualClock's device booted an hour earlier

std::vector<std::string> core_messages(const std::string& code) {
  core::GULLoggerWaitForQueue();
  std::vector<std::string> out;
  for (const auto& r : core_test::system_log_records())
    if (r.message.find("[" + code + "]") != std::string::npos) out.push_back(r.level + ": " + r.message);
  return out;
}

Bytes read_bytes(const fs::path& path) { return platform::os::FileManager::shared().read(path).value_or(Bytes{}); }

std::vector<std::string> payloads(const Bytes& file) {
  std::vector<std::string> out;
  for (const auto& event : events_of(file)) out.push_back(payload_of(*event));
  return out;
}

class VivododeLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = platform::testing::ManualClock::install();
    harness_ = std::make_unique<testing::Harness>(testing::HarnessOptions{.fakes = {Fake::logs}});
    logger_ = FIRVivododeLogger::sharedInstance();
    ASSERT_TRUE(logger_->network());
    // The first reachability report has come in.
    ASSERT_TRUE(runUntil([&] { return logger_->network()->isNetworkConnected(); }));
  }

  bool runUntil(const std::function<bool()>& done) { return harness_->run_until(done, std::chrono::seconds(30)); }
  testing::fakes::LogCollector& collector() { return harness_->logs(); }

  void log(const std::string& payload) { logger_->logEvent(event_with(payload), 137, "greenhouse"); }

  // Every stored file, by path.
  std::vector<fs::path> files() const {
    std::vector<fs::path> out;
    std::error_code ec;
    if (!fs::exists(logger_->logDirectory(), ec)) return out;
    for (const auto& entry : fs::recursive_directory_iterator(logger_->logDirectory())) {
      if (entry.is_regular_file()) out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Flushes and pumps the main loop until the block ran.
  void flushAndWait() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    logger_->flushWithCompletionHandler([done] { *done = true; });
    ASSERT_TRUE(runUntil([&] { return done->load(); }));
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::Harness> harness_;
  std::shared_ptr<FIRVivododeLogger> logger_;
};

// ---- files ---------------------------------------------------------------------------

TEST_F(VivododeLoggerTest, StartsWithTheDefaultsOverCachesAndTheLogEndpoint) {
  EXPECT_EQ(logger_->logDirectory(),
            platform::os::FileManager::shared().url_for(platform::os::Directory::caches) / "FIRVivododeLogger");
  EXPECT_EQ(logger_->sendDelayMillis(), 900000);
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);
  EXPECT_EQ(logger_->maxRequestNumBytes(), 0x100000u);
  EXPECT_EQ(logger_->applicationBuild(), "0");
  EXPECT_FALSE(logger_->installIdentifier());
  EXPECT_FALSE(logger_->zwiebackCookie());
  ASSERT_TRUE(logger_->serverURL());
  EXPECT_EQ(logger_->serverURL()->absolute_string(), "https://logs.example.net/log");
  EXPECT_EQ(logger_->backgroundTaskId(), 0u);
  // Connected at the first report: the next send is scheduled.
  EXPECT_TRUE(runUntil([&] { return logger_->sendScheduled(); }));
}

TEST_F(VivododeLoggerTest, EventsBecomeLengthPrefixedRecordsOfOneOwnerOnlyFile) {
  log("first");
  log("second");
  logger_->waitForQueue();
  const auto stored = files();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0], logger_->logDirectory() / "greenhouse" / "137" / std::to_string(kStartMillis));
  struct stat info {};
  ASSERT_EQ(::stat(stored[0].c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const auto events = events_of(read_bytes(stored[0]));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(payload_of(*events[0]), "first");
  EXPECT_EQ(payload_of(*events[1]), "second");
  for (const auto& event : events) {
    EXPECT_EQ(wire::NANOGetInt64(event.get(), core_log_test::kEventTime), kStartMillis);
    EXPECT_EQ(wire::NANOGetInt64(event.get(), core_log_test::kEventUptime), kUptimeMillis);
  }
}

TEST_F(VivododeLoggerTest, TheLengthIsABase128VarintLowestGroupFirst) {
  struct Case {
    std::size_t encoded;
    Bytes prefix;
  };
  const std::vector<Case> cases = {{127, {0x7f}}, {128, {0x80, 0x01}}, {200, {0xc8, 0x01}}, {16384, {0x80, 0x80, 0x01}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoded);
    // An event (times set) whose encoding is exactly c.encoded bytes.
    std::shared_ptr<wire::CLRPBLogEvent> event;
    for (std::size_t n = 0; n <= c.encoded; ++n) {
      event = event_with(std::string(n, 'p'));
      wire::NANOSetInt64(event.get(), core_log_test::kEventTime, 1);
      wire::NANOSetInt64(event.get(), core_log_test::kEventUptime, 1);
      if (event->protoBuffer()->size() == c.encoded) break;
    }
    ASSERT_EQ(event->protoBuffer()->size(), c.encoded);
    const Bytes encoded = *event->protoBuffer();
    logger_->logEvent(event, 137, "greenhouse");
    logger_->waitForQueue();
    ASSERT_EQ(files().size(), 1u);
    Bytes expected = c.prefix;
    expected.insert(expected.end(), encoded.begin(), encoded.end());
    EXPECT_EQ(read_bytes(files()[0]), expected);
    fs::remove_all(logger_->logDirectory());
    flushAndWait();  // forgets the writer of the removed file
  }
}

TEST_F(VivododeLoggerTest, AnEventWithATimeKeepsItAndGainsAnUptimeOnTheCallersThread) {
  auto event = event_with("timed");
  wire::NANOSetInt64(event.get(), core_log_test::kEventTime, 1234);
  logger_->logEvent(event, 137, "greenhouse");
  EXPECT_EQ(wire::NANOGetInt64(event.get(), core_log_test::kEventTime), 1234);
  EXPECT_EQ(wire::NANOGetInt64(event.get(), core_log_test::kEventUptime), kUptimeMillis);
  logger_->waitForQueue();
  const auto events = events_of(read_bytes(files().at(0)));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(wire::NANOGetInt64(events[0].get(), core_log_test::kEventTime), 1234);
  EXPECT_EQ(wire::NANOGetInt64(events[0].get(), core_log_test::kEventUptime), kUptimeMillis);
}

TEST_F(VivododeLoggerTest, TheWriteThatPassesTheCapCompletesAndTheNextEventOpensANewFile) {
  const std::string big(300000, 'b');
  for (char c : std::string("12345")) log(std::string(1, c) + big);
  logger_->waitForQueue();
  const auto stored = files();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_GT(fs::file_size(stored[0]), 1048576u);
  EXPECT_LT(fs::file_size(stored[0]), 1048576u + 300100u);
  EXPECT_EQ(payloads(read_bytes(stored[0])).size(), 4u);   // the fourth passes 1 MiB and still goes in
  const auto rest = payloads(read_bytes(stored[1]));
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0][0], '5');
}

TEST_F(VivododeLoggerTest, RollOversWithinOneMillisecondKeepEveryFileAndEvent) {
  logger_->setMaxRequestNumBytes(1);  // every event closes its file
  for (const char* p : {"a", "b", "c"}) log(p);
  logger_->waitForQueue();
  const auto stored = files();
  ASSERT_EQ(stored.size(), 3u);
  std::vector<std::string> names, all;
  for (const auto& path : stored) {
    names.push_back(path.filename().string());
    for (const auto& p : payloads(read_bytes(path))) all.push_back(p);
  }
  EXPECT_EQ(names, (std::vector<std::string>{std::to_string(kStartMillis), std::to_string(kStartMillis + 1),
                                             std::to_string(kStartMillis + 2)}));
  EXPECT_EQ(all, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(core_messages("I-COR000016").empty());
}

TEST_F(VivododeLoggerTest, ATornWriteIsCutBackAndTheNextEventIsReadable) {
  log("whole");
  logger_->waitForQueue();
  const fs::path first = files().at(0);
  const auto size = fs::file_size(first);

  // The file may grow by a few bytes only: the length goes down, the event does not.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = size + 3;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  log(std::string(1000, 't'));
  logger_->waitForQueue();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);

  EXPECT_EQ(fs::file_size(first), size);
  log("after");
  logger_->waitForQueue();
  std::vector<std::string> all;
  for (const auto& path : files()) {
    auto records = core_log_test::split_records(read_bytes(path));
    ASSERT_TRUE(records) << path;
    for (const auto& p : payloads(read_bytes(path))) all.push_back(p);
  }
  EXPECT_EQ(all, (std::vector<std::string>{"whole", "after"}));
}

TEST_F(VivododeLoggerTest, AnUnwritableFolderDiscardsTheEventWithLogLinesAndTheNextOneIsKept) {
  platform::testing::fail_next(platform::os::FileOp::create_directory, logger_->logDirectory(), EACCES);
  log("lost");
  logger_->waitForQueue();
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(core_messages("I-COR000015").size(), 1u);
  const auto created = core_messages("I-COR000016");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_NE(created[0].find("error (2)"), std::string::npos) << created[0];
  EXPECT_EQ(core_messages("I-COR000017"),
            (std::vector<std::string>{"Error: 5.12.0 - [Davidize/Core][I-COR000017] Failure to write data for account "
                                      "greenhouse, logSource 137. Discarding."}));
  log("kept");
  logger_->waitForQueue();
  ASSERT_EQ(files().size(), 1u);
  EXPECT_EQ(payloads(read_bytes(files()[0])), (std::vector<std::string>{"kept"}));
}

TEST_F(VivododeLoggerTest, AccountNamesAreEscapedIntoOneFolderAndBack) {
  logger_->logEvent(event_with("x"), 7, "a b/c%");
  logger_->waitForQueue();
  ASSERT_EQ(files().size(), 1u);
  EXPECT_EQ(files()[0].parent_path(), logger_->logDirectory() / "a%20b%2Fc%25" / "7");
  flushAndWait();
  const auto posted = collector().requests("POST", "/log");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(wire::NANOGetInt32(decode_log_request(posted[0].body).request.get(), core_log_test::kRequestLogSource), 7);
}

// ---- uploads --------------------------------------------------------------------------

TEST_F(VivododeLoggerTest, AFlushPostsEachFileAsOneGzippedRequestAndDeletesIt) {
  log("one");
  log("two");
  logger_->waitForQueue();
  const Bytes file = read_bytes(files().at(0));
  flushAndWait();
  EXPECT_TRUE(files().empty());
  const auto posted = collector().requests("POST", "/log");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].header("Content-Encoding"), "gzip");
  EXPECT_TRUE(posted[0].body_decoded);

  const auto decoded = decode_log_request(posted[0].body);
  ASSERT_TRUE(decoded.request);
  auto* request = decoded.request.get();
  EXPECT_EQ(wire::NANOGetInt32(request, core_log_test::kRequestLogSource), 137);
  EXPECT_EQ(wire::NANOGetInt64(request, core_log_test::kRequestTime), kStartMillis);
  EXPECT_EQ(wire::NANOGetInt64(request, core_log_test::kRequestUptime), kUptimeMillis);
  EXPECT_FALSE(wire::NANOHasField(request, core_log_test::kRequestCookie));
  ASSERT_EQ(decoded.elements.size(), 1u);
  EXPECT_EQ(decoded.elements[0], file);
  ASSERT_EQ(decoded.events.size(), 2u);
  core_log_test::expect_device_client_info(*request);
  if (::testing::Test::HasFatalFailure()) return;
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);
  EXPECT_EQ(logger_->backgroundTaskId(), 0u);  // no application object, no task
}

TEST_F(VivododeLoggerTest, AFailedUploadKeepsItsFileAndLowersTheRetriesUntilASuccess) {
  collector().set_status_sequence("/log", {500});
  log("kept");
  auto done = std::make_shared<std::atomic<bool>>(false);
  logger_->flushWithCompletionHandler([done] { *done = true; });
  ASSERT_TRUE(runUntil([&] { return logger_->uploadRetriesRemaining() == 5; }));
  EXPECT_FALSE(*done);  // the block runs only when the list is worked through
  EXPECT_EQ(files().size(), 1u);
  EXPECT_EQ(core_messages("I-COR000020"),
            (std::vector<std::string>{"Error: 5.12.0 - [Davidize/Core][I-COR000020] Error posting to Vivodode: "
                                      "(null), with Status Code: 500"}));
  flushAndWait();
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);
  EXPECT_EQ(collector().count("POST", "/log"), 2u);
}

TEST_F(VivododeLoggerTest, AfterSixFailuresNothingMoreIsSentInThisProcess) {
  collector().set_status_sequence("/log", {500, 500, 500, 500, 500, 500});
  log("stuck");
  for (int i = 1; i <= 6; ++i) {
    logger_->flushWithCompletionHandler(nullptr);
    ASSERT_TRUE(runUntil([&] { return logger_->uploadRetriesRemaining() == 6 - i; })) << i;
    ASSERT_TRUE(runUntil([&] { return !logger_->network()->hasUploadInProgress(); }));
  }
  EXPECT_EQ(collector().count("POST", "/log"), 6u);
  EXPECT_TRUE(logger_->sendScheduled());  // sends stay scheduled
  logger_->flushWithCompletionHandler(nullptr);
  logger_->flushWithCompletionHandler(nullptr);
  clock_->advance(std::chrono::seconds(900));
  logger_->waitForQueue();
  // A send would have started on the queue: none is in flight, none arrived.
  EXPECT_FALSE(logger_->network()->hasUploadInProgress());
  harness_->run_until([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(collector().count("POST", "/log"), 6u);
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 0);
  EXPECT_EQ(files().size(), 1u);
}

TEST_F(VivododeLoggerTest, TheScheduledSendDeliversAfterTheDelay) {
  ASSERT_TRUE(runUntil([&] { return logger_->sendScheduled(); }));
  log("later");
  logger_->waitForQueue();
  clock_->advance(std::chrono::seconds(899));
  logger_->waitForQueue();
  EXPECT_EQ(collector().count("POST", "/log"), 0u);
  clock_->advance(std::chrono::seconds(1));
  ASSERT_TRUE(runUntil([&] { return collector().count("POST", "/log") == 1 && files().empty(); }));
  EXPECT_EQ(payloads(decode_log_request(collector().requests("POST", "/log")[0].body).elements.at(0)),
            (std::vector<std::string>{"later"}));
}

TEST_F(VivododeLoggerTest, TwoFlushesDuringAnUploadGiveOneUploadPerFile) {
  core_test::Gate gate;
  collector().on("POST", "/log", gate.handler());
  log("first");
  logger_->flushWithCompletionHandler(nullptr);
  ASSERT_TRUE(runUntil([&] { return gate.arrivals() == 1; }));
  log("second");
  logger_->flushWithCompletionHandler(nullptr);
  logger_->flushWithCompletionHandler(nullptr);
  logger_->waitForQueue();
  gate.open();
  ASSERT_TRUE(runUntil([&] { return files().empty() && !logger_->network()->hasUploadInProgress(); }));
  logger_->waitForQueue();
  harness_->run_until([] { return false; }, std::chrono::milliseconds(200));
  std::vector<std::string> sent;
  for (const auto& r : collector().requests("POST", "/log")) {
    for (const auto& p : payloads(decode_log_request(r.body).elements.at(0))) sent.push_back(p);
  }
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"first", "second"}));
}

TEST_F(VivododeLoggerTest, AnEmptyFlushRunsTheBlockAtOnceAndAnUnreadableFileIsDeleted) {
  flushAndWait();
  EXPECT_EQ(collector().count("POST", "/log"), 0u);

  log("sent");
  logger_->waitForQueue();
  const fs::path file = files().at(0);
  flushAndWait();
  log("unreadable");
  logger_->waitForQueue();
  const fs::path second = files().at(0);
  platform::testing::fail_next(platform::os::FileOp::read, second, EIO);
  flushAndWait();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(collector().count("POST", "/log"), 1u);
}

TEST_F(VivododeLoggerTest, FlushesFromEightThreadsAgainstFailingUploadsKeepRetriesInRangeAndSendEachFileOnce) {
  // Never six failures in a row, so uploading goes on.
  std::vector<int> statuses;
  for (int i = 0; i < 12; ++i) statuses.insert(statuses.end(), {500, 503, 200, 500, 200});
  collector().set_status_sequence("/log", statuses);
  std::mutex m;
  std::vector<std::pair<std::string, int>> answered;  // body, status
  collector().set_request_observer([&](const testing::fakes::RecordedRequest& r, int status) {
    std::lock_guard lock(m);
    answered.emplace_back(r.body, status);
  });
  logger_->setMaxRequestNumBytes(40);  // a few events per file

  // Time moves on with every event, so no file name comes back after its
  // file was sent (entries of sent files stay in the pending list).
  std::mutex tick_m;
  int tick = 0;
  std::atomic<int> finished{0};
  std::atomic<bool> outOfRange{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 6; ++i) {
        {
          std::lock_guard lock(tick_m);
          clock_->set_now_since_1970(platform::testing::ManualClock::kDefaultStartSince1970 + ++tick * 0.001);
          log("t" + std::to_string(t) + "-" + std::to_string(i));
        }
        logger_->flushWithCompletionHandler(nullptr);
        const int retries = logger_->uploadRetriesRemaining();
        if (retries < 0 || retries > 6) outOfRange = true;
      }
      ++finished;
    });
  }
  ASSERT_TRUE(runUntil([&] { return finished == 8; }));
  for (auto& thread : threads) thread.join();
  // Everything left goes up once the failures are used up.
  collector().set_status_sequence("/log", {});
  for (int round = 0; round < 200 && !files().empty(); ++round) {
    logger_->flushWithCompletionHandler(nullptr);
    runUntil([&] { return files().empty() || !logger_->network()->hasUploadInProgress(); });
  }
  ASSERT_TRUE(runUntil([&] { return files().empty() && !logger_->network()->hasUploadInProgress(); }));
  logger_->waitForQueue();
  collector().set_request_observer(nullptr);
  EXPECT_FALSE(outOfRange);
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);

  std::map<std::string, int> delivered;
  for (const auto& [body, status] : answered) {
    if (status != 200) continue;
    for (const auto& p : payloads(decode_log_request(body).elements.at(0))) ++delivered[p];
  }
  EXPECT_EQ(delivered.size(), 48u);
  for (const auto& [payload, times] : delivered) EXPECT_EQ(times, 1) << payload;
}

}  // namespace
