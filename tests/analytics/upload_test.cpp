// The upload road against a loopback collector: first contact, configuration
// answers, upload answers with retry and back-off, the schedule's next time,
// the device filter of a batch, and a refused in-progress list.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/audiences/audience_fields.h"
#include "analytics/identity/identity.h"
#include "analytics/upload/config_fetch.h"
#include "tests/analytics/audience_support.h"
#include "tests/analytics/upload_support.h"

namespace {

namespace fd = platform::foundation;
using analytics_test::drainWorker;
using analytics_test::kTestAppID;
using analytics_test::kUploadStart;
using analytics_test::MonitorRecorder;
using analytics_test::uploadBundle;
using analytics_test::uploadConfigBytes;
using testing::fakes::FakeService;

bool uploadLogged(const MonitorRecorder& monitor, std::int64_t code) {
  const auto codes = monitor.codes();
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

class UploadRoad : public analytics_test::UploadRoadTest {};

TEST_F(UploadRoad, FirstContactFetchesTheConfigurationThenPostsTheLaunchBatch) {
  collector().set_config(uploadConfigBytes(std::string(kTestAppID), 7), "Sun, 13 Sep 2020 09:00:00 GMT");
  ASSERT_TRUE(uploadPass(2));
  ASSERT_TRUE(harness().run_until([&] { return collector().upload_count() == 1 && !pending(); }));

  const auto fetches = collector().config_fetches();
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].path, "/config/app/" + std::string(kTestAppID));
  const std::string instance = fetches[0].param("app_instance_id");
  EXPECT_EQ(instance.size(), 32u);
  EXPECT_TRUE(std::all_of(instance.begin(), instance.end(),
                          [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'); }))
      << instance;
  EXPECT_EQ(fetches[0].param("platform"), "ios");
  EXPECT_EQ(fetches[0].param("ruv_version"), "50300");
  EXPECT_FALSE(fetches[0].has_header("If-Modified-Since"));
  EXPECT_EQ(engine().instanceRemoteConfig()->version(), 7);

  // The fetch came first, then one gzip POST of the launch's events.
  const auto all = collector().requests();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].method, "GET");
  const auto upload = all[1];
  EXPECT_EQ(upload.path, "/a");
  EXPECT_EQ(upload.header("Content-Encoding"), "gzip");
  const auto bundles = analytics_test::decode_batch(upload.body);
  ASSERT_TRUE(bundles);
  ASSERT_EQ(bundles->size(), 1u);
  const auto& bundle = bundles->front();
  EXPECT_EQ(bundle.protocol_version(), 1);
  EXPECT_EQ(bundle.platform(), "ios");
  EXPECT_EQ(bundle.app_id(), "org.example.intranet");
  EXPECT_EQ(bundle.service_app_id(), kTestAppID);
  EXPECT_EQ(bundle.app_instance_id(), instance);
  EXPECT_EQ(bundle.library_version_at_creation(), 50300);
  EXPECT_EQ(bundle.library_version_at_upload(), 50300);
  EXPECT_EQ(bundle.upload_timestamp_millis(), static_cast<std::int64_t>(kUploadStart * 1000));
  ASSERT_TRUE(bundle.event("_f"));
  ASSERT_TRUE(bundle.event("_e"));
  for (const auto& event : bundle.events) EXPECT_EQ(event.string_param("_o"), "auto") << event.name;
  EXPECT_EQ(queuedBundles(), 0u);
  EXPECT_GT(persisted().lastSuccessfulUploadTimestamp(), 0);

  // Once the configuration is stale the next fetch echoes the mark, and a 304 keeps the configuration.
  clock_->advance(std::chrono::hours(2));
  onWorker([&] { analytics::APMFetchRemoteConfig(engine()); });
  ASSERT_TRUE(settle(3));
  const auto again = collector().config_fetches();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1].header("If-Modified-Since"), "Sun, 13 Sep 2020 09:00:00 GMT");
  EXPECT_EQ(engine().instanceRemoteConfig()->version(), 7);
  EXPECT_EQ(persisted().configServerLastModifiedString(), "Sun, 13 Sep 2020 09:00:00 GMT");
}

TEST_F(UploadRoad, ConfigurationAnswers) {
  firstContact();  // the collector's 404: defaults stay
  EXPECT_EQ(engine().instanceRemoteConfig()->version(), -1);
  collector().set_config(uploadConfigBytes(std::string(kTestAppID), 3), "mark-3");
  clock_->advance(std::chrono::hours(2));
  onWorker([&] { analytics::APMFetchRemoteConfig(engine()); });
  ASSERT_TRUE(settle(collector().count() + 1));
  ASSERT_EQ(engine().instanceRemoteConfig()->version(), 3);

  struct Case {
    const char* name;
    std::function<void()> script;
    std::int64_t version;   // in force afterwards
    bool failed;            // failure timestamp set
    bool backedOff;         // back-off timestamp set
    std::int64_t logged;    // a code the answer logs
    std::optional<std::string> mark;  // the stored "Last-Modified" afterwards
  };
  const std::vector<Case> cases = {
      {"304 keeps the configuration", [&] { collector().set_config(uploadConfigBytes(std::string(kTestAppID), 3), "mark-3"); },
       3, false, false, 23131, "mark-3"},
      {"404 keeps it too", [&] { collector().clear_config(); }, 3, false, false, 23130, std::nullopt},
      {"another app's configuration renews only the freshness",
       [&] { collector().set_config(uploadConfigBytes("1:999:ios:ffff", 9), "mark-9"); }, 3, false, false, 23136, "mark-9"},
      {"garbage never decodes", [&] { collector().set_config(std::string("\xff\xff\xff\x0a\x99", 5), "mark-x"); }, 3,
       false, false, 23135, "mark-x"},
      {"429 sets both timestamps", [&] { collector().on("GET", "/config/app/.*", FakeService::empty(429)); }, 3, true,
       true, 23128, "mark-3"},
      {"500 sets only the failure", [&] { collector().on("GET", "/config/app/.*", FakeService::empty(500)); }, 3, true,
       false, 23129, "mark-3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    collector().clear_overrides();
    c.script();
    persisted().setConfigServerLastModifiedString("mark-3");
    persisted().setLastFailedUploadTimestamp(kUploadStart - 50);
    persisted().setLastBackoffTimestamp(kUploadStart - 50);
    clock_->advance(std::chrono::hours(2));
    const double before = engine().instanceRemoteConfig()->lastRemoteConfigUpdateTimestamp();
    MonitorRecorder monitor;
    onWorker([&] { analytics::APMFetchRemoteConfig(engine()); });
    ASSERT_TRUE(settle(collector().count() + 1));
    EXPECT_EQ(engine().instanceRemoteConfig()->version(), c.version);
    EXPECT_TRUE(uploadLogged(monitor, c.logged));
    EXPECT_EQ(persisted().configServerLastModifiedString(), c.mark);
    const double now = clock_->now_since_1970();
    EXPECT_EQ(persisted().lastFailedUploadTimestamp(), c.failed ? now : 0);
    EXPECT_EQ(persisted().lastBackoffTimestamp(), c.backedOff ? now : (c.failed ? kUploadStart - 50 : 0));
    // Every success renews the freshness; a failure leaves it.
    const double after = engine().instanceRemoteConfig()->lastRemoteConfigUpdateTimestamp();
    if (c.failed) {
      EXPECT_EQ(after, before);
    } else {
      EXPECT_EQ(after, now);
    }
  }
}

TEST_F(UploadRoad, UploadAnswersDeleteOnlyOnSuccessAndCountRetries) {
  firstContact();
  struct Case {
    const char* name;
    std::function<void()> script;
    bool deleted;
  };
  const std::vector<Case> cases = {
      {"200", [&] { collector().on("POST", "/a", FakeService::empty(200)); }, true},
      {"204", [] {}, true},
      {"201", [&] { collector().on("POST", "/a", FakeService::empty(201)); }, false},
      {"500", [&] { collector().set_status_sequence("/a", {500}); }, false},
      {"dropped connection", [&] { collector().on("POST", "/a", FakeService::drop_connection()); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    collector().clear_overrides();
    const double now = clock_->now_since_1970();
    ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), now - 20)));
    ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), now - 10)));
    c.script();
    const std::size_t posts = collector().upload_count();
    ASSERT_TRUE(uploadPass(collector().count() + 1));
    ASSERT_EQ(collector().upload_count(), posts + 1);
    const auto sent = analytics_test::decode_batch(collector().uploads().back().body);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->size(), 2u);
    if (c.deleted) {
      EXPECT_EQ(queuedBundles(), 0u);
      EXPECT_EQ(persisted().lastFailedUploadTimestamp(), 0);
      continue;
    }
    EXPECT_EQ(queuedBundles(), 2u);
    EXPECT_EQ(persisted().lastFailedUploadTimestamp(), now);
    // The next batch carries the retry count.
    collector().clear_overrides();
    ASSERT_TRUE(uploadPass(collector().count() + 1));
    const auto retried = analytics_test::decode_batch(collector().uploads().back().body);
    ASSERT_TRUE(retried);
    ASSERT_EQ(retried->size(), 2u);
    for (const auto& bundle : *retried) {
      EXPECT_TRUE(bundle.has_upload_retry_count());
      EXPECT_EQ(bundle.upload_retry_count(), 1);
    }
    EXPECT_EQ(queuedBundles(), 0u);
  }
}

TEST_F(UploadRoad, AnUploadCountsAsFailedUntilItsAnswerArrives) {
  firstContact();
  const double now = clock_->now_since_1970();
  ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), now - 10)));
  collector().on("POST", "/a", collector().held(std::chrono::seconds(2), FakeService::empty(204)));
  const std::size_t posts = collector().upload_count();
  onWorker([&] { analytics::APMUploadData(engine()); });
  ASSERT_TRUE(harness().run_until([&] { return collector().upload_count() > posts; }));
  // A process killed now would find the failure recorded.
  EXPECT_EQ(persisted().lastFailedUploadTimestamp(), now);
  EXPECT_TRUE(pending());
  ASSERT_TRUE(settle(0));
  EXPECT_EQ(persisted().lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(queuedBundles(), 0u);
}

TEST_F(UploadRoad, After503NoAlarmBeforeTheBackOffEndsButAResignPassPosts) {
  firstContact();
  const double now = clock_->now_since_1970();
  ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), now - 10)));
  collector().set_status_sequence("/a", {503});
  ASSERT_TRUE(uploadPass(collector().count() + 1));
  EXPECT_EQ(persisted().lastBackoffTimestamp(), now);
  EXPECT_EQ(persisted().lastFailedUploadTimestamp(), now);
  EXPECT_EQ(queuedBundles(), 1u);

  // Events logged meanwhile reschedule, never earlier than the back-off's end.
  clock_->advance(std::chrono::seconds(30));
  analytics::APMAnalytics::logEventWithOrigin("app", "level_up", {});
  ASSERT_TRUE(analytics_test::drainEntry());
  drainWorker(engine());
  const auto alarm = engine().alarm().scheduledTimestamp();
  ASSERT_TRUE(alarm);
  EXPECT_GE(*alarm, now + 43200);
  const std::size_t posts = collector().upload_count();
  clock_->advance(std::chrono::hours(11));
  drainWorker(engine());
  EXPECT_EQ(collector().upload_count(), posts);

  // Resigning active runs a pass at once.
  fd::NotificationCenter::default_center().post(std::string(platform::ui::notification_name::will_resign_active));
  ASSERT_TRUE(harness().run_until([&] { return collector().upload_count() > posts && !pending(); }));
  const auto retried = analytics_test::decode_batch(collector().uploads()[posts].body);
  ASSERT_TRUE(retried);
  ASSERT_EQ(retried->size(), 1u);
  EXPECT_EQ(retried->front().upload_retry_count(), 1);
  EXPECT_EQ(queuedBundles(), 0u);
}

TEST_F(UploadRoad, ARefusedInProgressListPostsNothing) {
  firstContact();
  ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), clock_->now_since_1970() - 10)));
  MonitorRecorder monitor;
  const std::size_t requests = collector().count();
  onWorker([&] {
    engine().uploadingBundleIDs() = {424242};
    analytics::APMUploadData(engine());
  });
  drainWorker(engine());
  EXPECT_TRUE(uploadLogged(monitor, 23047));
  EXPECT_FALSE(pending());
  EXPECT_FALSE(harness().run_until([&] { return collector().count() > requests; }, std::chrono::milliseconds(300)));
  EXPECT_EQ(queuedBundles(), 1u);
  onWorker([&] { EXPECT_EQ(engine().uploadingBundleIDs(), std::vector<std::int64_t>{424242}); });
  onWorker([&] { engine().uploadingBundleIDs().clear(); });
}

TEST_F(UploadRoad, NextUploadingTime) {
  firstContact();
  const double now = clock_->now_since_1970();
  struct Case {
    const char* name;
    double success, failure, latest;
    bool debug;
    double expected;
  };
  const double data = now - 5;
  const std::vector<Case> cases = {
      {"success 30 s ago: one interval after it", now - 30, 0, data, false, now - 30 + 3600},
      {"success 2 h ago: the newest data + initial delay", now - 7200, 0, data, false, data + 15},
      {"failure 10 s after the data: first retry step", 0, data + 10, data, false, data + 15 + 1800},
      {"failure later: the doubling steps", 0, data + 2000, data, false, data + 15 + 1800 + 3600},
      {"failure beyond six steps: none", 0, data + 15 + 1800 * 63 + 1, data, false, 0},
      {"debug: one second after the data", now - 30, 0, data, true, data + 1},
      {"future data is mirrored into the past", 0, 0, now + 100, false, now - 100 + 15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    onWorker([&] {
      std::optional<fd::Error> error;
      engine().database()->deleteBundlesWithRowIDs({}, &error);
      const auto rows = engine().database()->queryBundlesWithCountLimit(1000, 1 << 30, &error);
      std::vector<std::int64_t> ids;
      for (const auto& row : *rows) ids.push_back(row.second);
      engine().database()->deleteBundlesWithRowIDs(ids, &error);
    });
    ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), c.latest)));
    persisted().setLastSuccessfulUploadTimestamp(c.success);
    persisted().setLastFailedUploadTimestamp(c.failure);
    analytics::APMMeasurement::monitor().setDebugModeEnabled(c.debug);
    double next = -1;
    onWorker([&] { next = analytics::APMNextUploadingTime(engine()); });
    analytics::APMMeasurement::monitor().setDebugModeEnabled(false);
    EXPECT_NEAR(next, c.expected, 0.01);
  }
}

// The batch and its device filter, on bundles in memory.
std::shared_ptr<wire::RIDUZMeasurementBundle> filterBundle(const std::string& appID, const std::string& adID,
                                                           const std::string& vendorID) {
  auto bundle = uploadBundle(appID, kUploadStart);
  if (!adID.empty()) wire::NANOSetString(bundle.get(), 19, adID);
  if (!vendorID.empty()) wire::NANOSetString(bundle.get(), 20, vendorID);
  return bundle;
}

TEST(UploadBatch, DeviceFilterKeepsTheLeadingCompatibleRun) {
  struct Row {
    std::string app, ad, vendor;
  };
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<std::int64_t> kept;
  };
  const std::vector<Case> cases = {
      {"two app IDs: the leading run", {{"A", "", ""}, {"A", "", ""}, {"B", "", ""}, {"A", "", ""}}, {1, 2}},
      {"no device IDs: all of one app", {{"A", "", ""}, {"A", "", ""}}, {1, 2}},
      {"ad ID filter: empty or equal passes", {{"A", "", ""}, {"A", "x", ""}, {"A", "", ""}, {"A", "y", ""}}, {1, 2, 3}},
      {"vendor filter", {{"A", "", "v"}, {"A", "", ""}, {"A", "", "w"}}, {1, 2}},
      {"an ad ID later wins over nothing earlier", {{"A", "", ""}, {"A", "x", "v"}, {"A", "x", "w"}}, {1, 2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<analytics::APMEncodedBundle> rows;
    std::int64_t id = 0;
    for (const auto& r : c.rows) {
      auto bytes = filterBundle(r.app, r.ad, r.vendor)->protoBuffer();
      ASSERT_TRUE(bytes);
      rows.push_back({std::move(*bytes), ++id});
    }
    const auto batch = analytics::APMBuildUploadBatch(rows, kUploadStart + 1.5);
    EXPECT_EQ(batch.rowIDs, c.kept);
    EXPECT_EQ(batch.uploadTimeMillis, static_cast<std::int64_t>((kUploadStart + 1.5) * 1000));
    ASSERT_TRUE(batch.body);
    const auto decoded =
        analytics_test::decode_batch(std::string_view(reinterpret_cast<const char*>(batch.body->data()), batch.body->size()));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), c.kept.size());
    for (const auto& bundle : *decoded) {
      EXPECT_EQ(bundle.upload_timestamp_millis(), batch.uploadTimeMillis);
      EXPECT_EQ(bundle.library_version_at_upload(), analytics::APMIdentity::durArudirovizoLibraryVersion());
    }
  }

  MonitorRecorder monitor;
  const std::vector<analytics::APMBundlePair> rows{{filterBundle("A", "", ""), 1}};
  EXPECT_TRUE(analytics::APMFilteredBundlesWithCompatibleAppID("A", std::string("x"), std::string("v"), rows).empty());
  EXPECT_TRUE(uploadLogged(monitor, 23042));
  EXPECT_EQ(analytics::APMFilteredBundlesWithCompatibleAppID("A", std::nullopt, std::nullopt, rows).size(), 1u);
}

// A queued bundle carrying most metadata fields, user attributes, events of
// every parameter type and an audience result.
std::shared_ptr<wire::RIDUZMeasurementBundle> richBundle(const std::string& appID, double end, const std::string& adID,
                                                         const std::string& vendorID, int seed) {
  namespace af = analytics::audience_fields;
  auto bundle = uploadBundle(appID, end, "select_item");
  wire::NANOSetString(bundle.get(), 8, "ios");
  wire::NANOSetString(bundle.get(), 9, "17.1");
  wire::NANOSetInt32(bundle.get(), 12, -300);  // negative: a ten-byte varint
  wire::NANOSetString(bundle.get(), 16, "2.0." + std::to_string(seed));
  wire::NANOSetInt64(bundle.get(), 17, 50300);
  if (!adID.empty()) wire::NANOSetString(bundle.get(), 19, adID);
  if (!vendorID.empty()) wire::NANOSetString(bundle.get(), 20, vendorID);
  wire::NANOSetBool(bundle.get(), 21, seed % 2 == 0);
  wire::NANOSetString(bundle.get(), 22, "0123456789ABCDEF0123456789ABCDEF");
  wire::NANOSetInt32(bundle.get(), 24, seed);
  wire::NANOSetString(bundle.get(), 25, "1:23096:4;");
  wire::NANOSetString(bundle.get(), 26, "1:1:ios:" + std::to_string(seed));
  wire::NANOSetInt64(bundle.get(), 6, static_cast<std::int64_t>(end * 1000) - 7200000);
  wire::NANOSetInt64(bundle.get(), 7, static_cast<std::int64_t>(end * 1000) - 3600000);
  wire::NANOSetInt64(bundle.get(), 34, 1599000000 + seed);

  fd::Array attributes;
  for (int i = 0; i < 3; ++i) {
    auto attribute = wire::RIDUZUserAttribute::make();
    wire::NANOSetInt64(attribute.get(), 0, 1599990000000 + i);
    wire::NANOSetString(attribute.get(), 1, i == 0 ? "_lte" : "prop" + std::to_string(i));
    if (i == 0) wire::NANOSetInt64(attribute.get(), 3, 13500);
    if (i == 1) wire::NANOSetString(attribute.get(), 2, "gold");
    if (i == 2) wire::NANOSetDouble(attribute.get(), 5, 0.5);
    attributes.push_back(fd::Value::object(attribute));
  }
  wire::NANOSetArray(bundle.get(), 2, attributes);

  fd::Array events;
  for (int i = 0; i < 3; ++i) {
    auto event = wire::RIDUZEvent::make();
    wire::NANOSetString(event.get(), 1, i == 2 ? "_e" : "select_item");
    wire::NANOSetInt64(event.get(), 2, static_cast<std::int64_t>(end * 1000) - i);
    if (i > 0) wire::NANOSetInt64(event.get(), 3, static_cast<std::int64_t>(end * 1000) - 100);
    fd::Array params;
    const auto add = [&params](const std::string& name, auto set) {
      auto param = wire::RIDUZEventParam::make();
      wire::NANOSetString(param.get(), 0, name);
      set(param.get());
      params.push_back(fd::Value::object(param));
    };
    add("_o", [](auto* p) { wire::NANOSetString(p, 1, "app"); });
    add("_sr", [](auto* p) { wire::NANOSetInt64(p, 2, 10); });
    add("_efs", [](auto* p) { wire::NANOSetInt64(p, 2, 1); });
    add("_et", [](auto* p) { wire::NANOSetInt64(p, 2, -1); });
    add("price", [](auto* p) { wire::NANOSetDouble(p, 4, 2.25); });
    wire::NANOSetArray(event.get(), 0, params);
    events.push_back(fd::Value::object(event));
  }
  wire::NANOSetArray(bundle.get(), 1, events);

  auto current = wire::RIDUZResultData::make();
  wire::NANOSetArray(current.get(), af::kResultResults, fd::Array{fd::Value(5), fd::Value(1LL << 40)});
  auto leaf = wire::RIDUZAudienceLeafFilterResult::make();
  wire::NANOSetInt32(leaf.get(), af::kLeafAudienceID, 7);
  wire::NANOSetMessage(leaf.get(), af::kLeafCurrentResults, current.get());
  wire::NANOSetBool(leaf.get(), af::kLeafNewAudience, true);
  wire::NANOSetArray(bundle.get(), 28, fd::Array{fd::Value::object(leaf)});
  return bundle;
}

// The batch as the message classes build it: the decoded rows filtered,
// stamped with the library version and the upload time, and encoded.
std::optional<fd::Bytes> messageClassBatch(const std::vector<analytics::APMBundlePair>& rows, double uploadTime,
                                           std::vector<std::int64_t>& rowIDs) {
  const auto text = [](const analytics::APMBundlePair& row, std::int32_t index) {
    return wire::NANOGetString(row.first.get(), index).value_or("");
  };
  std::optional<std::string> ad, vendor;
  for (const auto& row : rows) {
    if (!text(row, 19).empty()) {
      ad = text(row, 19);
      break;
    }
    if (!text(row, 20).empty()) {
      vendor = text(row, 20);
      break;
    }
  }
  const auto kept = analytics::APMFilteredBundlesWithCompatibleAppID(text(rows.front(), 14), ad, vendor, rows);
  fd::Array bundles;
  for (const auto& [bundle, rowID] : kept) {
    wire::NANOSetInt64(bundle.get(), 18, analytics::APMIdentity::durArudirovizoLibraryVersion());
    wire::NANOSetInt64(bundle.get(), 3, static_cast<std::int64_t>(uploadTime * 1000));
    bundles.push_back(fd::Value::object(bundle));
    rowIDs.push_back(rowID);
  }
  auto batch = wire::RIDUZMeasurementBatch::make();
  wire::NANOSetArray(batch.get(), 0, bundles);
  return batch->protoBuffer();
}

TEST_F(UploadRoad, TheBatchFromQueueBytesIsTheMessageClassBatch) {
  struct Row {
    std::string app, ad, vendor;
    int retries;
  };
  struct Case {
    const char* name;
    std::vector<Row> rows;
  };
  const std::vector<Case> cases = {
      {"one app, retry counts", {{"A", "", "", 0}, {"A", "", "", 1}, {"A", "", "", 5}}},
      {"two app IDs: the leading run", {{"A", "", "", 2}, {"B", "", "", 0}, {"A", "", "", 0}}},
      {"ad ID filter", {{"A", "", "", 0}, {"A", "x", "", 3}, {"A", "y", "", 0}, {"A", "x", "", 0}}},
      {"vendor filter", {{"A", "", "v", 0}, {"A", "", "", 1}, {"A", "", "w", 0}}},
  };
  const double uploadTime = kUploadStart + 3.25;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    onWorker([&] {
      auto& db = *engine().database();
      std::vector<std::int64_t> previous;
      for (const auto& row : db.queryEncodedBundlesWithCountLimit(1000, 1 << 30, nullptr).value_or(
               std::vector<analytics::APMEncodedBundle>{})) {
        previous.push_back(row.rowID);
      }
      if (!previous.empty()) {
        ASSERT_TRUE(db.deleteBundlesWithRowIDs(previous, nullptr));
      }
      for (std::size_t i = 0; i < c.rows.size(); ++i) {
        const auto& r = c.rows[i];
        ASSERT_TRUE(db.insertBundle(*richBundle(r.app, kUploadStart - 100 + static_cast<double>(i), r.ad, r.vendor,
                                                static_cast<int>(i)),
                                    false, nullptr));
      }
      const auto stored = db.queryEncodedBundlesWithCountLimit(1000, 1 << 30, nullptr);
      ASSERT_TRUE(stored);
      ASSERT_EQ(stored->size(), c.rows.size());
      for (std::size_t i = 0; i < c.rows.size(); ++i) {
        for (int k = 0; k < c.rows[i].retries; ++k) {
          ASSERT_TRUE(db.incrementRetryCounterForBundlesWithIDs({(*stored)[i].rowID}, nullptr));
        }
      }

      const auto encoded = db.queryEncodedBundlesWithCountLimit(1000, 1 << 30, nullptr);
      const auto decoded = db.queryBundlesWithCountLimit(1000, 1 << 30, nullptr);
      ASSERT_TRUE(encoded && decoded);
      ASSERT_EQ(encoded->size(), decoded->size());
      for (std::size_t i = 0; i < encoded->size(); ++i) {
        // The bytes are what the decoded row, retry count included, encodes to.
        EXPECT_EQ((*encoded)[i].bytes, (*decoded)[i].first->protoBuffer());
        EXPECT_EQ(wire::NANOGetInt32((*decoded)[i].first.get(), 35), c.rows[i].retries);
      }
      std::vector<std::int64_t> expectedIDs;
      const auto expected = messageClassBatch(*decoded, uploadTime, expectedIDs);
      ASSERT_TRUE(expected);
      const auto batch = analytics::APMBuildUploadBatch(*encoded, uploadTime);
      EXPECT_EQ(batch.rowIDs, expectedIDs);
      ASSERT_TRUE(batch.body);
      EXPECT_EQ(*batch.body, *expected);
    });
  }
}

}  // namespace

namespace {

TEST_F(UploadRoad, AnAudienceServedByTheCollectorTravelsInTheBatches) {
  namespace at = analytics_audience_test;
  namespace af = analytics::audience_fields;
  firstContact();
  const auto levelUps =
      at::eventFilter({.id = 0, .name = "level_up", .count = at::numberFilter(af::kComparisonGreaterThan, "2")});
  collector().set_config(
      uploadConfigBytes(std::string(kTestAppID), 4, {}, fd::Array{fd::Value::object(at::audience(7, {levelUps}))}),
      "mark-4");
  clock_->advance(std::chrono::hours(2));
  onWorker([&] { analytics::APMFetchRemoteConfig(engine()); });
  ASSERT_TRUE(settle(collector().count() + 1));
  ASSERT_EQ(engine().instanceRemoteConfig()->version(), 4);

  const auto leafOf = [](const analytics_test::DecodedBundle& bundle) {
    const auto results = wire::NANOGetArray(bundle.message.get(), 28, &wire::RIDUZAudienceLeafFilterResult::type())
                             .value_or(fd::Array{});
    return results.size() == 1 ? results[0].object<wire::RIDUZAudienceLeafFilterResult>() : nullptr;
  };
  const auto bitsOf = [](const std::shared_ptr<wire::RIDUZAudienceLeafFilterResult>& leaf) {
    const auto data = wire::NANOGetMessage<wire::RIDUZResultData>(leaf.get(), af::kLeafCurrentResults);
    return data ? wire::NANOGetArray(data.get(), af::kResultResults, nullptr).value_or(fd::Array{}) : fd::Array{};
  };
  const auto logAndUpload = [&](int events) -> std::optional<std::vector<analytics_test::DecodedBundle>> {
    for (int i = 0; i < events; ++i) analytics::APMAnalytics::logEventWithOrigin("app", "level_up", {});
    if (!analytics_test::drainEntry()) return std::nullopt;
    drainWorker(engine());
    const std::size_t posts = collector().upload_count();
    if (!uploadPass(collector().count() + 1) || collector().upload_count() != posts + 1) return std::nullopt;
    return analytics_test::decode_batch(collector().uploads().back().body);
  };

  const auto first = logAndUpload(3);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->size(), 1u);
  const auto leaf = leafOf(first->front());  // tag 29
  ASSERT_TRUE(leaf);
  EXPECT_EQ(wire::NANOGetInt32(leaf.get(), af::kLeafAudienceID), 7);
  EXPECT_TRUE(wire::NANOGetBool(leaf.get(), af::kLeafNewAudience));
  EXPECT_EQ(bitsOf(leaf), (fd::Array{fd::Value(1)}));

  const auto second = logAndUpload(1);
  ASSERT_TRUE(second);
  ASSERT_EQ(second->size(), 1u);
  const auto again = leafOf(second->front());
  ASSERT_TRUE(again);
  EXPECT_FALSE(wire::NANOGetBool(again.get(), af::kLeafNewAudience));
  EXPECT_FALSE(wire::NANOHasField(again.get(), af::kLeafPreviousResults));
  EXPECT_EQ(bitsOf(again), (fd::Array{fd::Value(1)}));
}

}  // namespace
