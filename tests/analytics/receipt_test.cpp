// The store receipt reader over small DER fixtures: byte patterns, purchase
// records and the original application version on App Store, sandbox and
// simulator devices.
#include "analytics/purchases/receipt.h"

#include <gtest/gtest.h>


#include <string>
#include <vector>

#include "analytics/identity/environment.h"
#include "platform/os/file_manager.h"
#include "testing/fakes/json.h"
#include "testing/harness/harness.h"
#include "tests/analytics/receipt_support.h"
#include "tests/analytics/support.h"

namespace {

using namespace analytics;
namespace fd = platform::foundation;
using namespace analytics_test::receipt_fixture;

class AudienceReceiptTest : public analytics_test::AnalyticsUnbootedTest {
 protected:
  analytics_test::MonitorRecorder recorder_;
};

TEST_F(AudienceReceiptTest, PatternMatchTable) {
  const Bytes pattern = {0x04, kAPMReceiptWildcard};
  const struct {
    const char* label;
    Bytes data;
    std::int64_t offset;
    std::optional<Bytes> value;
  } cases[] = {
      {"value", {0x04, 0x02, 'a', 'b', 'c'}, 0, Bytes{'a', 'b'}},
      {"at an offset", {0x00, 0x04, 0x01, 'z'}, 1, Bytes{'z'}},
      {"length 0", {0x04, 0x00, 'a'}, 0, std::nullopt},
      {"too few bytes", {0x04, 0x03, 'a', 'b'}, 0, std::nullopt},
      {"pattern reaches the end", {0x04, 0x01}, 0, std::nullopt},
      {"other tag", {0x05, 0x01, 'a'}, 0, std::nullopt},
      {"negative offset", {0x04, 0x01, 'a'}, -1, std::nullopt},
      {"offset past the end", {0x04, 0x01, 'a'}, 9, std::nullopt},
      {"empty data", {}, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto value = APMReceiptMatchPattern(pattern, c.data, c.offset);
    ASSERT_EQ(value.has_value(), c.value.has_value()) << c.label;
    if (value) {
      EXPECT_EQ(Bytes(value->begin(), value->end()), *c.value) << c.label;
    }
  }
  EXPECT_FALSE(APMReceiptMatchPattern({}, Bytes{1, 2, 3}, 0));
  EXPECT_FALSE(APMReceiptMatchPattern(Bytes{0x04}, Bytes{0x04, 1, 2}, 0));   // no wildcard

  // A long-form length byte 0x81 is taken as 129 bytes.
  Bytes longForm = {0x04, 0x81};
  longForm.resize(2 + 129, 'x');
  recorder_.clear();
  const auto value = APMReceiptMatchPattern(pattern, longForm, 0);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->size(), 129u);
  EXPECT_EQ(recorder_.codes(), std::vector<std::int64_t>{39027});
}

TEST_F(AudienceReceiptTest, RecordReaderTakesTheFieldsOfItsOwnRecordOnly) {
  const Bytes first = record({productField("com.example.pro"), field(0xAB, 0x02, {0x02}),
                              field(0xB1, 0x02, {0x01}), field(0xB7, 0x02, {0x00}),
                              field(0xAC, 0x16, textBytes("2026-12-01T00:00:00Z")),
                              field(0xA9, 0x0C, textBytes("1000"))});
  const Bytes second = record({productField("com.example.other"), transactionField("2000")});
  const Bytes data = receipt("7", {first, second});
  const std::size_t firstAt = versionAttribute("7").size() + 2 + 2;   // the set header, the record's SEQUENCE header

  const auto item = APMInAppPurchaseItemAtOffset(data, static_cast<std::int64_t>(firstAt), "com.example.pro");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->productID(), "com.example.pro");
  EXPECT_EQ(item->purchaseType(), 2);
  EXPECT_TRUE(item->isFreeTrial());
  EXPECT_FALSE(item->isIntroductoryOffer());
  EXPECT_EQ(item->subscriptionExpirationDateIA5String(), "2026-12-01T00:00:00Z");
  EXPECT_EQ(item->originalTransactionID(), "1000");
  EXPECT_EQ(item->transactionID(), std::nullopt);   // the next record's is not taken

  EXPECT_EQ(APMInAppPurchaseItemAtOffset(data, static_cast<std::int64_t>(firstAt), "com.example.other"), nullptr);
  EXPECT_EQ(APMInAppPurchaseItemAtOffset(data, static_cast<std::int64_t>(firstAt) + 1, "com.example.pro"), nullptr);
  EXPECT_EQ(APMInAppPurchaseItemAtOffset(data, -1, "com.example.pro"), nullptr);
  EXPECT_EQ(APMInAppPurchaseItemAtOffset(data, static_cast<std::int64_t>(data.size()) + 1, "x"), nullptr);
  const std::size_t secondAt = firstAt + first.size();
  const auto other = APMInAppPurchaseItemAtOffset(data, static_cast<std::int64_t>(secondAt), "com.example.other");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->transactionID(), "2000");
}

TEST_F(AudienceReceiptTest, FlagValuesAndLengthsAreReported) {
  const struct {
    const char* label;
    Bytes fields;
    bool freeTrial;
    bool introductoryOffer;
    std::vector<std::int64_t> codes;
  } cases[] = {
      {"free trial 2", field(0xB1, 0x02, {0x02}), false, false, {39025}},
      {"free trial two bytes", field(0xB1, 0x02, {0x00, 0x01}), false, false, {39026}},
      {"offer 3", field(0xB7, 0x02, {0x03}), false, false, {39028}},
      {"offer two bytes", field(0xB7, 0x02, {0x01, 0x01}), false, false, {39029}},
      {"offer 1", field(0xB7, 0x02, {0x01}), false, true, {}},
      {"type two bytes", field(0xAB, 0x02, {0x01, 0x02}), false, false, {39030}},
  };
  for (const auto& c : cases) {
    recorder_.clear();
    const auto item = APMInAppPurchaseItemFromReceipt(recordBody({c.fields, productField("p")}), "p");
    ASSERT_TRUE(item) << c.label;
    EXPECT_EQ(item->isFreeTrial(), c.freeTrial) << c.label;
    EXPECT_EQ(item->isIntroductoryOffer(), c.introductoryOffer) << c.label;
    EXPECT_EQ(recorder_.codes(), c.codes) << c.label;
  }
  recorder_.clear();
  EXPECT_EQ(APMInAppPurchaseItemFromReceipt({}, "p"), nullptr);
  EXPECT_EQ(APMInAppPurchaseItemFromReceipt(recordBody({transactionField("1")}), "p"), nullptr);
  EXPECT_EQ(recorder_.codes(), (std::vector<std::int64_t>{39024, 39024}));
}

TEST_F(AudienceReceiptTest, TruncatedRecordsGiveNothing) {
  // The product identifier comes last, so every shorter buffer lacks it.
  const Bytes body = recordBody({transactionField("1"), field(0xB1, 0x02, {0x01}), productField("com.example.pro")});
  ASSERT_TRUE(APMInAppPurchaseItemFromReceipt(body, "com.example.pro"));
  for (std::size_t length = 0; length < body.size(); ++length) {
    // A copy of exactly `length` bytes, so reading past it is caught.
    const Bytes prefix(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(APMInAppPurchaseItemFromReceipt(prefix, "com.example.pro"), nullptr) << length;
    EXPECT_EQ(APMInAppPurchaseItemAtOffset(prefix, 0, "com.example.pro"), nullptr) << length;
    EXPECT_FALSE(APMReceiptVersionMatchesVersion(prefix, "1")) << length;
  }
}

TEST_F(AudienceReceiptTest, VersionAttributeTable) {
  Bytes wrongTag = versionAttribute("42");
  wrongTag[wrongTag.size() - 4] = 0x13;   // PrintableString instead of UTF8String
  const struct {
    const char* label;
    Bytes data;
    bool matches;
    std::vector<std::int64_t> codes;
  } cases[] = {
      {"equal", receipt("42"), true, {}},
      {"other version", receipt("41"), false, {}},
      {"prefix only", receipt("4"), false, {}},
      {"no attribute", record({productField("p")}), false, {39006}},
      {"two bytes", element(0x30, concat({{0x02, 0x01, 0x13, 0x02, 0x01, 0x01}, element(0x04, {0x0C, 0x00})})), false,
       {39006}},
      {"wrong tag", wrongTag, true, {39007}},
  };
  for (const auto& c : cases) {
    recorder_.clear();
    EXPECT_EQ(APMReceiptVersionMatchesVersion(c.data, "42"), c.matches) << c.label;
    EXPECT_EQ(recorder_.codes(), c.codes) << c.label;
  }
}

// Boots a Harness device with the given profile patch and receipt file.
class AudienceReceiptDeviceTest : public ::testing::Test {
 protected:
  void boot(nlohmann::json profile, std::optional<Bytes> receiptFile) {
    testing::HarnessOptions options;
    options.profile = std::move(profile);
    options.info = fd::Dict{{"CFBundleVersion", "42"}};
    if (receiptFile) options.bundle_files["StoreKit/receipt"] = std::string(receiptFile->begin(), receiptFile->end());
    harness_.emplace(std::move(options));
    APMAEU::resetForTesting();
  }
  void TearDown() override { platform::dispatch::wait_until_idle(); }

  std::optional<testing::Harness> harness_;
};

TEST_F(AudienceReceiptDeviceTest, VersionMatchesTheBundleOnAnAppStoreDevice) {
  analytics_test::MonitorRecorder recorder;
  boot({{"distribution", "app_store"}}, receipt("42"));
  EXPECT_TRUE(APMComputeReceiptVersionMatchesBundle());
  // Computed once: the answer stays after the file changes.
  EXPECT_TRUE(APMReceiptVersionMatchesBundle());
  const auto path = APMAEU::appStoreRURL()->file_path();
  const Bytes other = receipt("41");
  ASSERT_TRUE(platform::os::FileManager::shared().write_atomically(path, other));
  EXPECT_FALSE(APMComputeReceiptVersionMatchesBundle());
  EXPECT_TRUE(APMReceiptVersionMatchesBundle());

  recorder.clear();
  std::filesystem::remove(path);
  EXPECT_FALSE(APMComputeReceiptVersionMatchesBundle());
  std::filesystem::create_directories(path);
  EXPECT_FALSE(APMComputeReceiptVersionMatchesBundle());
  std::filesystem::remove(path);
  ASSERT_TRUE(platform::os::FileManager::shared().write_atomically(path, Bytes{}));
  EXPECT_FALSE(APMComputeReceiptVersionMatchesBundle());
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{39002, 39003, 39004}));
}

TEST_F(AudienceReceiptDeviceTest, SandboxAndSimulatorAnswerTrueWithoutAReceipt) {
  boot(nlohmann::json::object(), std::nullopt);   // development: a sandbox receipt
  EXPECT_TRUE(APMComputeReceiptVersionMatchesBundle());
  harness_.reset();
  boot({{"distribution", "app_store"}, {"machine", "x86_64"}}, std::nullopt);
  EXPECT_TRUE(APMComputeReceiptVersionMatchesBundle());
  harness_.reset();
  boot({{"distribution", "app_store"}}, std::nullopt);
  EXPECT_FALSE(APMComputeReceiptVersionMatchesBundle());
}

}  // namespace
