// A purchase in appsim as a child process: the scenario's purchase of a
// product of the device's store.json reaches the test's analytics collector
// as exactly one "_iap", and the device's database keeps the purchase's
// fingerprint and the lifetime value of its currency.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/fakes/analytics_collector.h"
#include "testing/fakes/intranet_site.h"
#include "testing/fakes/json.h"
#include "testing/fakes/push_service.h"
#include "testing/fakes/tls_authority.h"
#include "testing/harness/appsim_process.h"
#include "tests/analytics/batch_support.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// The first column of every row of a query on the device's database.
std::vector<std::string> purchaseQuery(const fs::path& database, const char* query) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

class AnalyticsPurchaseE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "analytics-purchase-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path root_;
  fakes::TlsAuthority authority_;
  fakes::IntranetSite intranet_{{.authority = &authority_}};
  fakes::PushService push_{{.authority = &authority_}};
  fakes::AnalyticsCollector collector_{{.authority = &authority_}};
};

TEST_F(AnalyticsPurchaseE2E, APurchaseReachesTheCollectorOnceAndLeavesItsFingerprint) {
  const fs::path device = root_ / "device";
  fs::create_directories(device);
  std::ifstream in(AppSimProcess::built_executable().parent_path() / "devices" / "default.json");
  json profile = json::parse(in, nullptr, false);
  ASSERT_TRUE(profile.is_object());
  json hosts = json::object();
  for (const auto& map : {intranet_.host_map(), push_.host_map(), collector_.host_map()}) {
    for (const auto& [from, to] : map) hosts[from] = to;
  }
  profile["hosts"] = hosts;
  profile["trust_anchors"] = {(device / "ca.pem").string()};
  ASSERT_TRUE(authority_.write_root_pem(device / "ca.pem"));
  std::ofstream(device / "device.json") << profile.dump(2);
  std::ofstream(device / "store.json") << R"({"products": [
    {"id": "org.example.coins", "title": "Coins", "price": "0.99", "currency_code": "EUR"}]})";

  const fs::path scenario =
      AppSimProcess::built_executable().parent_path() / "scenarios" / "analytics-purchase.txt";
  const auto r = AppSimProcess::run({"run", "--device", device.string(), "--bundle",
                                     AppSimProcess::built_bundle().string(), scenario.string()});
  ASSERT_EQ(r.exit_code, 0) << r.transcript();

  std::vector<analytics_test::DecodedEvent> purchases;
  for (const auto& upload : collector_.uploads()) {
    const auto bundles = analytics_test::decode_batch(upload.body);
    ASSERT_TRUE(bundles);
    for (const auto& bundle : *bundles) {
      for (const auto& event : bundle.events) {
        if (event.name == "_iap") purchases.push_back(event);
      }
    }
  }
  ASSERT_EQ(purchases.size(), 1u) << r.transcript();
  EXPECT_EQ(purchases[0].string_param("product_id"), "org.example.coins");
  EXPECT_EQ(purchases[0].int_param("price"), 990000);
  EXPECT_EQ(purchases[0].int_param("value"), 1980000);
  EXPECT_EQ(purchases[0].int_param("quantity"), 2);
  EXPECT_EQ(purchases[0].string_param("currency"), "EUR");

  const fs::path database = device / "Containers" / "Data" / "org.example.intranet" / "Library" /
                            "Application Support" / "Dozada" / "Measurement" / "dozada-app-measurement.sql";
  ASSERT_TRUE(fs::exists(database));
  // The first transaction of a new device is 1000000001.
  EXPECT_EQ(purchaseQuery(database, "SELECT fingerprint FROM purchase_transactions"),
            std::vector<std::string>{"40433343a063d26054a3169b42b5957f"});
  EXPECT_EQ(purchaseQuery(database, "SELECT name FROM user_attributes WHERE name LIKE '\\_ltv\\_%' ESCAPE '\\'"),
            std::vector<std::string>{"_ltv_EUR"});
}

}  // namespace
}  // namespace testing::e2e
