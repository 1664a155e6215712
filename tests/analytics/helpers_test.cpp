// Analytics helpers: errors and their monitor contexts, decimal texts, the
// random integer, digests, query strings, UTF-32 lengths, the library version
// and the file places.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "analytics/support/digest.h"
#include "analytics/support/errors.h"
#include "analytics/support/files.h"
#include "analytics/support/library_version.h"
#include "analytics/support/numeric.h"
#include "analytics/support/strings.h"
#include "platform/foundation/url.h"
#include "platform/os/file_manager.h"
#include "platform/os/preferences.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using namespace analytics;
using analytics_test::MonitorRecorder;

TEST(AnalyticsErrors, ConstructorsAndOutParameters) {
  fd::Error full = apm_errorWithCode(2, "disk full", "sqlite:13");
  EXPECT_EQ(full.domain, "com.dozada.ruv.measurement.ErrorDomain");
  EXPECT_EQ(full.code, 2);
  EXPECT_EQ(full.user_info, (fd::Dict{{"NSLocalizedDescription", "disk full"}, {"APMMonitorContext", "sqlite:13"}}));
  // Empty texts leave their keys out.
  EXPECT_TRUE(apm_errorWithCode(3, "").user_info.empty());
  EXPECT_EQ(apm_errorWithCode(3, "", "ctx").user_info, (fd::Dict{{"APMMonitorContext", "ctx"}}));

  std::optional<fd::Error> out;
  APMSetError(nullptr, 1, "ignored", "ctx");  // no out-parameter: nothing to store, no crash
  APMSetError(&out, 1, "open failed", "ctx");
  ASSERT_TRUE(out);
  EXPECT_EQ(out->user_info.get("APMMonitorContext"), fd::Value("ctx"));
  APMSetErrorWithoutContext(&out, 4, "plain");
  EXPECT_EQ(out->code, 4);
  EXPECT_FALSE(out->user_info.contains("APMMonitorContext"));

  out.reset();
  EXPECT_TRUE(APMCheckSuccess(true, &out, 5, "never stored"));
  EXPECT_FALSE(out);
  EXPECT_FALSE(APMCheckSuccess(false, &out, 5, "stored"));
  EXPECT_EQ(out->code, 5);

  out.reset();
  int present = 1;
  std::optional<int> absent;
  EXPECT_TRUE(APMCheckNotNil(&present, &out, 6, "never stored"));
  EXPECT_FALSE(out);
  EXPECT_FALSE(APMCheckNotNil(absent, &out, 6, "missing"));
  EXPECT_EQ(out->code, 6);
  EXPECT_EQ(out->localized_description(), "missing");
}

TEST(AnalyticsErrors, MonitorContextsComeOnlyFromAnalyticsErrors) {
  const fd::Array contexts{
      APMErrorContext(apm_errorWithCode(1, "a", "first")),
      APMErrorContext(apm_errorWithCode(2, "no context")),
      APMErrorContext(fd::Error("OtherDomain", 3, {{"APMMonitorContext", "foreign"}})),
      fd::Value("a string"),
      fd::Value(),
      fd::Value(fd::Dict{{"APMMonitorContext", "not an error"}}),
      APMErrorContext(apm_errorWithCode(4, "b", "second")),
  };
  EXPECT_EQ(APMMonitorContextsFromErrors(contexts), "first,second");
  EXPECT_EQ(APMMonitorContextsFromErrors({}), "");
  EXPECT_EQ(APMMonitorContextsFromErrors({fd::Value(42)}), "");
}

class AnalyticsNumericTest : public analytics_test::AnalyticsUnbootedTest {};

TEST_F(AnalyticsNumericTest, DecimalCheck) {
  struct Case {
    const char* text;
    bool decimal;
  };
  const Case cases[] = {
      {"12", true},   {"12.", true},   {".5", true},     {"-0.25", true}, {"+3", true},  {"007", true},
      {"1e5", false}, {"1.2.3", false}, {".", false},    {"", false},     {"+", false},  {"- 1", false},
      {" 1", false},  {"1,5", false},   {"0x1F", false}, {"١٢", false},  {"1\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(APMIsDecimalNumberString(c.text), c.decimal) << c.text;
}

TEST_F(AnalyticsNumericTest, DecimalParseKeepsEveryDigitOrLogs) {
  MonitorRecorder recorder;
  struct Case {
    const char* text;
    std::optional<std::string> number;  // the decimal's text
    std::int64_t code;                  // logged code, 0 for none
  };
  const std::string digits45 = "123456789012345678901234567890123456789012345";
  const Case cases[] = {
      {"12", "12", 0},
      {"12.", "12", 0},
      {".5", "0.5", 0},
      {"-.5", "-0.5", 0},
      {"+.25", "0.25", 0},
      {"-0.25", "-0.25", 0},
      {"+3", "3", 0},
      {"1.50", "1.5", 0},
      {"00012", "12", 0},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678", 0},
      {digits45.c_str(), std::nullopt, 26003},
      {"1e5", std::nullopt, 26001},
      {"abc", std::nullopt, 26001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    recorder.clear();
    auto number = APMDecimalNumberFromString(c.text);
    EXPECT_EQ(number ? std::optional<std::string>(number->text()) : std::nullopt, c.number);
    if (c.code == 0) {
      EXPECT_TRUE(recorder.calls().empty());
    } else {
      auto calls = recorder.calls();
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].level, 1);
      EXPECT_EQ(calls[0].code, c.code);
      EXPECT_EQ(calls[0].contexts, fd::Array{fd::Value(c.text)});
    }
  }
  EXPECT_EQ(APMDecimalNumberFromString(".5")->to_double(), 0.5);
}

TEST_F(AnalyticsNumericTest, RandomIntegersDiffer) {
  // Two equal draws out of 2^64 would point at a generator that is not random.
  EXPECT_NE(APMNumericUtil::randomInt64(), APMNumericUtil::randomInt64());
}

TEST(AnalyticsDigest, Md5AndItsLow64Bits) {
  const auto abc = fd::to_bytes("abc");
  EXPECT_EQ(fd::hex_lower(apm_MD5Data(abc)), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(apm_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(apm_MD5String("\xff\xfe"), std::nullopt);  // no lossless UTF-8 form
  EXPECT_EQ(apm_64LSBMD5(abc), static_cast<std::int64_t>(0xd6963f7d28e17f72ULL));

  struct Case {
    fd::Bytes bytes;
    std::int64_t value;
  };
  const Case cases[] = {
      {{}, 0},
      {{0x01, 0x02, 0x03}, 66051},
      {{0, 1, 2, 3, 4, 5, 6, 7, 8}, 0x0102030405060708},
      {{1, 2, 3, 4, 5, 6, 7, 8}, 0x0102030405060708},
      {fd::Bytes(8, 0xff), -1},
      {{0x80, 0, 0, 0, 0, 0, 0, 0}, std::numeric_limits<std::int64_t>::min()},
  };
  for (const auto& c : cases) EXPECT_EQ(apm_64LeastSignificantBits(c.bytes), c.value) << fd::hex_lower(c.bytes);
}

TEST(AnalyticsStrings, QueryStringsBothWays) {
  fd::Dict parsed = apm_dictionaryWithHttpArgumentsString("a=1&b=x+y&a=2");
  EXPECT_EQ(parsed, (fd::Dict{{"a", "1"}, {"b", "x y"}}));

  struct Case {
    const char* text;
    fd::Dict dict;
  };
  const Case cases[] = {
      {"", {}},
      {"&&k&", {{"k", ""}}},                            // empty parts skipped; no "=" is an empty value
      {"k=a=b", {{"k", "a=b"}}},                        // split at the first "="
      {"k=%zz&j=%41%20", {{"k", ""}, {"j", "A "}}},     // a bad escape counts as empty
      {"caf%C3%A9=%E2%82%AC", {{"café", "€"}}},
      {"%zz=1", {{"", "1"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(apm_dictionaryWithHttpArgumentsString(c.text), c.dict) << c.text;

  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%zz"), std::nullopt);
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%2B+a%25"), "+ a%");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%ff"), std::nullopt);  // not UTF-8

  // "&" and "=" stay inside keys and values; characters a URL cannot hold are escaped.
  const fd::Dict query{{"k", "a&b=c"}, {"n", 5}, {"s", "x y#%é"}, {"f", true}};
  EXPECT_EQ(apm_queryString(query), "k=a&b=c&n=5&s=x%20y%23%25%C3%A9&f=1");
  EXPECT_EQ(apm_queryString({}), "");
  // Round trip of a query without "&" or "=" in its texts.
  const fd::Dict plain{{"app_instance_id", "0A1B"}, {"platform", "ios"}, {"note", "a b+c"}};
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString(apm_queryString(plain)),
            (fd::Dict{{"app_instance_id", "0A1B"}, {"platform", "ios"}, {"note", "a b c"}}));
}

TEST(AnalyticsStrings, Utf32LengthsAndBytes) {
  struct Case {
    const char* text;
    std::size_t length;
  };
  const Case cases[] = {{"", 0}, {"abc", 3}, {"\xF0\x9F\x98\x80", 1}, {"h\xC3\xA9llo", 5}, {"a\xF0\x9F\x98\x80z", 3}};
  for (const auto& c : cases) EXPECT_EQ(apm_UTF32Length(c.text), c.length) << c.text;

  std::uint8_t buffer[16];
  std::memset(buffer, 0xAA, sizeof buffer);
  EXPECT_EQ(apm_getUTF32Bytes("a\xF0\x9F\x98\x80", buffer, 100), 8u);
  const std::uint8_t expected[] = {'a', 0, 0, 0, 0x00, 0xF6, 0x01, 0x00};
  EXPECT_EQ(0, std::memcmp(buffer, expected, sizeof expected));
  EXPECT_EQ(buffer[8], 0xAA);

  // Never more than the limit, whole code points only.
  std::memset(buffer, 0xAA, sizeof buffer);
  EXPECT_EQ(apm_getUTF32Bytes("abc", buffer, 7), 4u);
  EXPECT_EQ(buffer[4], 0xAA);
  EXPECT_EQ(apm_getUTF32Bytes("abcdefgh", std::span<std::uint8_t>(buffer, 12), 100), 12u);
  EXPECT_EQ(buffer[12], 0xAA);
}

TEST(AnalyticsLibraryVersion, VersionTextWithoutItsLastThreeCharacters) {
  struct Case {
    const char* text;
    std::int64_t version;
  };
  const Case cases[] = {{"50300000", 50300}, {"1234", 1}, {"123", 0}, {"", 0}, {"12x45", 12}};
  for (const auto& c : cases) EXPECT_EQ(APMLibraryVersionFromText(c.text), c.version) << c.text;
  EXPECT_EQ(APMLibraryVersion(), 50300);
}

class AnalyticsFilesTest : public analytics_test::AnalyticsDeviceTest {};

TEST_F(AnalyticsFilesTest, PlacesOfAnalyticsFiles) {
  boot();
  auto& files = platform::os::FileManager::shared();
  const auto support = files.url_for(platform::os::Directory::application_support);
  ASSERT_FALSE(support.empty());
  EXPECT_EQ(APMApplicationSupportPath("dozada-app-measurement.sql"),
            (support / "Dozada" / "Measurement" / "dozada-app-measurement.sql").string());
  EXPECT_EQ(APMApplicationSupportPath(""), "");
  EXPECT_EQ(APMPreferencesPlistPath(""), "");
  // The backup flag must land on the very file the platform writes for the domain.
  for (const char* suite : {"com.dozada.ruv.measurement", "com.dozada.ruv.measurement.monitor",
                            "com.dozada.ruv.measurement.dates"}) {
    EXPECT_EQ(APMPreferencesPlistPath(suite), platform::os::Preferences::shared().file_for_domain(suite).string())
        << suite;
  }
}

TEST_F(AnalyticsFilesTest, RemoveAndExcludeFromBackup) {
  boot();
  MonitorRecorder recorder;
  std::optional<fd::Error> error;
  EXPECT_FALSE(APMRemoveFile("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kAPMErrorDomain);
  EXPECT_EQ(error->code, 1);
  EXPECT_EQ(error->localized_description(), "Received empty path for deleting file");
  EXPECT_FALSE(error->user_info.contains("APMMonitorContext"));

  const std::filesystem::path dir = APMApplicationSupportPath("x");
  std::filesystem::create_directories(dir.parent_path());
  const auto file = dir.parent_path() / "data.bin";
  std::ofstream(file) << "x";

  auto& files = platform::os::FileManager::shared();
  EXPECT_TRUE(APMExcludeFileFromBackup(file.string(), nullptr));
  EXPECT_TRUE(files.is_excluded_from_backup(file).value_or(false));

  error.reset();
  EXPECT_TRUE(APMRemoveFile(file.string(), &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(APMRemoveFile(file.string(), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, fd::cocoa_error::domain);
  EXPECT_FALSE(APMExcludeFileFromBackup(file.string(), &error));
  EXPECT_TRUE(recorder.calls().empty());
}

class AnalyticsFilesUnbootedTest : public analytics_test::AnalyticsUnbootedTest {};

TEST_F(AnalyticsFilesUnbootedTest, NoFoldersBeforeBootLogsAndGivesEmptyPaths) {
  MonitorRecorder recorder;
  EXPECT_EQ(APMApplicationSupportPath("dozada-app-measurement.sql"), "");
  EXPECT_EQ(APMPreferencesPlistPath("com.dozada.ruv.measurement"), "");
  std::vector<std::int64_t> codes;
  for (const auto& call : recorder.calls()) {
    if (call.code / 1000 == 19) codes.push_back(call.code);
  }
  EXPECT_EQ(codes, (std::vector<std::int64_t>{19001, 19000}));
}

}  // namespace
