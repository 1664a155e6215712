// Response serializers and response values.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "http/response_serializer.h"
#include "http_support.h"
#include "platform/foundation/plist.h"

namespace {

using namespace Duvarel;
namespace foundation = platform::foundation;
namespace net = platform::net;
using foundation::Bytes;
using SerializationKind = AFError::ResponseSerializationFailureReason::Kind;

HTTPURLResponse httpResponse(int status, std::optional<std::string> charset = std::nullopt) {
  auto r = std::make_shared<net::Response>(net::Response::http(*foundation::Url::parse("https://h.example/r"), status, {}));
  r->text_encoding_name = std::move(charset);
  return r;
}

std::optional<SerializationKind> serializationReasonOf(const Error* error) {
  if (!error) return std::nullopt;
  const AFError* af = error->as<AFError>();
  if (!af || !af->responseSerializationReason()) return std::nullopt;
  return af->responseSerializationReason()->kind;
}

const Error incoming = foundation::Error("NSURLErrorDomain", -1001);

TEST(Serializers, ErrorFirstThenEmptyStatusThenData) {
  const Bytes body = foundation::to_bytes("{\"a\":1}");
  for (int status : {204, 205}) {
    SCOPED_TRACE(status);
    auto r = httpResponse(status);
    // The error wins even with an empty status.
    EXPECT_TRUE(serializeResponseData(r, body, incoming).error()->isSameInstance(incoming));
    EXPECT_TRUE(serializeResponseString(std::nullopt, r, body, incoming).error()->isSameInstance(incoming));
    EXPECT_TRUE(serializeResponseJSON(4, r, body, incoming).error()->isSameInstance(incoming));
    EXPECT_TRUE(serializeResponsePropertyList(0, r, body, incoming).error()->isSameInstance(incoming));
    // The body is discarded; even absent data succeeds.
    EXPECT_EQ(*serializeResponseData(r, body, std::nullopt).value(), Bytes());
    EXPECT_EQ(*serializeResponseString(std::nullopt, r, std::nullopt, std::nullopt).value(), "");
    EXPECT_TRUE(serializeResponseJSON(4, r, body, std::nullopt).value()->is_null());
    EXPECT_TRUE(serializeResponsePropertyList(0, r, std::nullopt, std::nullopt).value()->is_null());
  }
}

TEST(Serializers, EmptyAndAbsentBodiesWithStatus200AndWithoutResponse) {
  for (HTTPURLResponse r : {httpResponse(200), HTTPURLResponse()}) {
    SCOPED_TRACE(r ? "200" : "no response");
    EXPECT_EQ(*serializeResponseData(r, Bytes(), std::nullopt).value(), Bytes());
    EXPECT_EQ(*serializeResponseString(std::nullopt, r, Bytes(), std::nullopt).value(), "");
    EXPECT_EQ(serializationReasonOf(serializeResponseJSON(4, r, Bytes(), std::nullopt).error()), SerializationKind::inputDataNilOrZeroLength);
    EXPECT_EQ(serializationReasonOf(serializeResponsePropertyList(0, r, Bytes(), std::nullopt).error()), SerializationKind::inputDataNilOrZeroLength);
    EXPECT_EQ(serializationReasonOf(serializeResponseData(r, std::nullopt, std::nullopt).error()), SerializationKind::inputDataNil);
    EXPECT_EQ(serializationReasonOf(serializeResponseString(std::nullopt, r, std::nullopt, std::nullopt).error()), SerializationKind::inputDataNil);
    EXPECT_EQ(serializationReasonOf(serializeResponseJSON(4, r, std::nullopt, std::nullopt).error()), SerializationKind::inputDataNilOrZeroLength);
  }
}

TEST(Serializers, JsonFragmentsOnlyWithOption4) {
  const struct {
    const char* body;
    unsigned options;
    bool ok;
  } cases[] = {
      {"\"registered\"", 4, true}, {"\"registered\"", 0, false}, {"42", 4, true},  {"42", 0, false},
      {"null", 4, true},           {"{\"a\":[1]}", 0, true},     {"<html>", 4, false}, {"{\"a\":", 4, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.body) + " options " + std::to_string(c.options));
    auto result = serializeResponseJSON(c.options, httpResponse(200), foundation::to_bytes(c.body), std::nullopt);
    EXPECT_EQ(result.isSuccess(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(serializationReasonOf(result.error()), SerializationKind::jsonSerializationFailed);
      EXPECT_EQ(result.error()->localizedDescription().rfind("JSON could not be serialized because of error:\n", 0), 0u);
    }
  }
  auto text = serializeResponseJSON(4, nullptr, foundation::to_bytes("\"p1\""), std::nullopt);
  ASSERT_TRUE(text.isSuccess());
  EXPECT_EQ(*text.value()->string(), "p1");
}

TEST(Serializers, PropertyListParsesAndFails) {
  auto bytes = foundation::plist::serialize(foundation::Dict{{"k", 1}}, foundation::plist::Format::xml);
  ASSERT_TRUE(bytes);
  auto ok = serializeResponsePropertyList(0, httpResponse(200), *bytes, std::nullopt);
  ASSERT_TRUE(ok.isSuccess());
  EXPECT_EQ((*ok.value())["k"], foundation::Value(1));
  auto bad = serializeResponsePropertyList(0, httpResponse(200), foundation::to_bytes("not a plist"), std::nullopt);
  EXPECT_EQ(serializationReasonOf(bad.error()), SerializationKind::propertyListSerializationFailed);
}

TEST(Serializers, StringEncodingChoice) {
  const Bytes latin1{'c', 0xE9, '!'};  // "cé!" in ISO Latin-1
  EXPECT_EQ(*serializeResponseString(std::nullopt, httpResponse(200), latin1, std::nullopt).value(), "c\xC3\xA9!");
  EXPECT_EQ(*serializeResponseString(std::nullopt, nullptr, latin1, std::nullopt).value(), "c\xC3\xA9!");
  const Bytes utf8{'c', 0xC3, 0xA9};
  EXPECT_EQ(*serializeResponseString(std::nullopt, httpResponse(200, "UTF-8"), utf8, std::nullopt).value(), "c\xC3\xA9");
  // The given encoding beats the charset.
  EXPECT_EQ(*serializeResponseString(StringEncoding::iso_latin1, httpResponse(200, "utf-8"), utf8, std::nullopt).value(),
            "c\xC3\x83\xC2\xA9");
  // Bytes the encoding refuses.
  auto refused = serializeResponseString(std::nullopt, httpResponse(200, "utf-8"), latin1, std::nullopt);
  EXPECT_EQ(serializationReasonOf(refused.error()), SerializationKind::stringSerializationFailed);
  EXPECT_EQ(refused.error()->as<AFError>()->failedStringEncoding(), StringEncoding::utf8);
  // An unknown charset never reaches the decoder.
  auto unknown = serializeResponseString(std::nullopt, httpResponse(200, "x-no-such-charset"), utf8, std::nullopt);
  EXPECT_EQ(serializationReasonOf(unknown.error()), SerializationKind::stringSerializationFailed);
  EXPECT_EQ(unknown.error()->as<AFError>()->failedStringEncoding(), invalidStringEncoding);
}

TEST(Serializers, SerializerValuesCaptureTheirConfiguration) {
  auto json = DataRequestSerializers::json(0);
  auto fragment = json.serializeResponse(std::nullopt, httpResponse(200), foundation::to_bytes("1"), std::nullopt);
  EXPECT_EQ(serializationReasonOf(fragment.error()), SerializationKind::jsonSerializationFailed);
  auto copy = DataRequestSerializers::string(StringEncoding::utf8);
  auto replaced = copy;
  replaced.serializeResponse = DataRequestSerializers::string().serializeResponse;
  const Bytes latin1{0xE9};
  EXPECT_TRUE(copy.serializeResponse(std::nullopt, nullptr, latin1, std::nullopt).isFailure());
  EXPECT_TRUE(replaced.serializeResponse(std::nullopt, nullptr, latin1, std::nullopt).isSuccess());
  EXPECT_EQ(&emptyDataStatusCodes(), &emptyDataStatusCodes());
  EXPECT_EQ(emptyDataStatusCodes(), (std::set<int>{204, 205}));
}

class DownloadSerializers : public ::testing::Test {
 protected:
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("dl-serializers-" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  foundation::Url file(const std::string& name, const std::string& contents) {
    std::ofstream(dir / name, std::ios::binary) << contents;
    return foundation::Url::file(dir / name);
  }
};

TEST_F(DownloadSerializers, FileReadBeforeTheEmptyStatusRule) {
  const auto missing = foundation::Url::file(dir / "missing.json");
  const auto present = file("body.json", "{\"a\":1}");
  auto data = DownloadRequestSerializers::data();
  auto json = DownloadRequestSerializers::json(4);
  auto string = DownloadRequestSerializers::string();
  auto plist = DownloadRequestSerializers::propertyList();
  for (int status : {200, 204}) {
    SCOPED_TRACE(status);
    auto r = httpResponse(status);
    EXPECT_TRUE(json.serializeResponse(std::nullopt, r, present, incoming).error()->isSameInstance(incoming));
    EXPECT_EQ(serializationReasonOf(data.serializeResponse(std::nullopt, r, std::nullopt, std::nullopt).error()), SerializationKind::inputFileNil);
    EXPECT_EQ(serializationReasonOf(json.serializeResponse(std::nullopt, r, std::nullopt, std::nullopt).error()), SerializationKind::inputFileNil);
    auto unread = string.serializeResponse(std::nullopt, r, missing, std::nullopt);
    EXPECT_EQ(serializationReasonOf(unread.error()), SerializationKind::inputFileReadFailed);
    EXPECT_EQ(unread.error()->as<AFError>()->responseSerializationReason()->at, missing);
    EXPECT_EQ(serializationReasonOf(plist.serializeResponse(std::nullopt, r, missing, std::nullopt).error()), SerializationKind::inputFileReadFailed);
  }
  EXPECT_EQ(foundation::to_string(*data.serializeResponse(std::nullopt, httpResponse(200), present, std::nullopt).value()),
            "{\"a\":1}");
  EXPECT_TRUE(data.serializeResponse(std::nullopt, httpResponse(204), present, std::nullopt).value()->empty());
  EXPECT_TRUE(json.serializeResponse(std::nullopt, httpResponse(205), present, std::nullopt).value()->is_null());
  EXPECT_EQ((*json.serializeResponse(std::nullopt, httpResponse(200), present, std::nullopt).value())["a"],
            foundation::Value(1));
  auto empty = file("empty.json", "");
  EXPECT_EQ(serializationReasonOf(json.serializeResponse(std::nullopt, httpResponse(200), empty, std::nullopt).error()),
            SerializationKind::inputDataNilOrZeroLength);
  EXPECT_EQ(*string.serializeResponse(std::nullopt, httpResponse(200), empty, std::nullopt).value(), "");
}

// ---- response values ----

std::shared_ptr<net::TaskMetrics> someMetrics() {
  auto m = std::make_shared<net::TaskMetrics>();
  m->redirect_count = 2;
  return m;
}

TEST(ResponseValues, DebugLines) {
  const Timeline timeline(10.0, 10.25, 10.5, 10.5);
  DataResponse<std::string> bare(std::nullopt, nullptr, std::nullopt, Result<std::string>::success("abc"), timeline);
  EXPECT_EQ(bare.description(), "SUCCESS: abc");
  EXPECT_EQ(bare.debugDescription(), "[Request]: nil\n[Response]: nil\n[Data]: 0 bytes\n[Result]: SUCCESS: abc\n"
                                     "[Timeline]: " + timeline.debugDescription());

  URLRequest noMethod(*foundation::Url::parse("https://h.example/a?b=1"));
  noMethod.method = "";
  DataResponse<std::string> full(noMethod, httpResponse(201), Bytes(3, 'x'), Result<std::string>::failure(incoming),
                                 timeline);
  const std::string text = full.debugDescription();
  EXPECT_EQ(text.rfind("[Request]: GET https://h.example/a?b=1\n[Response]: ", 0), 0u) << text;
  EXPECT_NE(text.find("Status Code: 201"), std::string::npos);
  EXPECT_NE(text.find("\n[Data]: 3 bytes\n[Result]: FAILURE: "), std::string::npos);
  const std::string last = "\n[Timeline]: " + timeline.debugDescription();
  EXPECT_EQ(text.substr(text.size() - last.size()), last);

  DownloadResponse<int> download(std::nullopt, nullptr, foundation::Url::file("/tmp/dl/a file.tmp"), std::nullopt,
                                 std::nullopt, Result<int>::success(7), timeline);
  EXPECT_EQ(download.debugDescription(),
            "[Request]: nil\n[Response]: nil\n[TemporaryURL]: /tmp/dl/a file.tmp\n[DestinationURL]: nil\n"
            "[ResumeData]: 0 bytes\n[Result]: SUCCESS: 7\n[Timeline]: " + timeline.debugDescription());
}

TEST(ResponseValues, TransformsShareMetricsAndTimeline) {
  http_test::Device device({}, nullptr, "13.5");
  const Timeline timeline(1, 2, 3, 4);
  DataResponse<int> source(std::nullopt, httpResponse(200), Bytes{1}, Result<int>::success(2), timeline);
  auto metrics = someMetrics();
  source.addMetrics(metrics);
  ASSERT_EQ(source.metrics(), metrics);

  auto mapped = source.map([](int v) { return std::to_string(v * 10); });
  static_assert(std::is_same_v<decltype(mapped), DataResponse<std::string>>);
  EXPECT_EQ(*mapped.value(), "20");
  EXPECT_EQ(mapped.metrics(), metrics);
  EXPECT_EQ(mapped.timeline.totalDuration(), timeline.totalDuration());
  EXPECT_EQ(mapped.response, source.response);

  auto failed = source.mapThrowing([](int) -> Expected<double> { return incoming; });
  EXPECT_TRUE(failed.error()->isSameInstance(incoming));
  EXPECT_EQ(failed.metrics(), metrics);

  auto sameOnSuccess = source.mapError([](const Error&) { return AFError::invalidURL("x"); });
  static_assert(std::is_same_v<decltype(sameOnSuccess), DataResponse<int>>);
  EXPECT_EQ(*sameOnSuccess.value(), 2);

  DownloadResponse<int> dl(std::nullopt, nullptr, std::nullopt, std::nullopt, Bytes{1, 2}, Result<int>::failure(incoming),
                           timeline);
  dl.addMetrics(metrics);
  auto replaced = dl.mapError([](const Error&) { return AFError::invalidURL("y"); });
  EXPECT_TRUE(replaced.error()->as<AFError>()->isInvalidURLError());
  EXPECT_EQ(replaced.metrics(), metrics);
  EXPECT_EQ(replaced.resumeData, dl.resumeData);
  auto rethrown = dl.mapErrorThrowing([](const Error&) -> Expected<AFError> { return incoming; });
  EXPECT_TRUE(rethrown.error()->isSameInstance(incoming));
}

TEST(ResponseValues, MetricsOnlyOnOs10AndOnlyTaskMetrics) {
  for (const char* version : {"9.3", "13.5"}) {
    SCOPED_TRACE(version);
    http_test::Device device({}, nullptr, version);
    const bool modern = std::string(version) == "13.5";
    DefaultDataResponse raw(std::nullopt, nullptr, std::nullopt, std::nullopt, Timeline(), someMetrics());
    EXPECT_FALSE(raw.metrics());  // the initializer does not store it
    raw.addMetrics(someMetrics());
    EXPECT_EQ(raw.metrics() != nullptr, modern);
    DefaultDownloadResponse rawDownload(std::nullopt, nullptr, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                        Timeline());
    rawDownload.addMetrics(AnyObject(std::make_shared<std::string>("not metrics")));
    EXPECT_FALSE(rawDownload._metrics);
    rawDownload.addMetrics(AnyObject());
    EXPECT_FALSE(rawDownload._metrics);
  }
}

}  // namespace
