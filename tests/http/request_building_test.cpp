// Address conversion, request building, body encodings and delayed dispatch.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/af_error.h"
#include "http/encoding.h"
#include "http/url_convertible.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/json.h"
#include "platform/foundation/plist.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"

namespace Duvarel {
namespace {

namespace foundation = platform::foundation;
using foundation::Url;
using foundation::Value;
using PE = AFError::ParameterEncodingFailureReason;

URLRequest baseRequest(std::string_view method = "POST") {
  URLRequest request(*Url::parse("https://intranet.example.org/api/reraviror/register"));
  request.method = std::string(method);
  return request;
}

std::string bodyText(const URLRequest& request) { return request.body ? foundation::to_string(*request.body) : "<none>"; }

// A caller's convertible whose conversion fails.
struct FailingConvertible {
  std::shared_ptr<Error> error;
  Expected<URLRequest> asURLRequest() const { return *error; }
};

TEST(URLConvertible, ConversionsAndInvalidInput) {
  auto fromText = URLConvertible("https://h.example/p?q=1").asURL();
  ASSERT_TRUE(fromText);
  EXPECT_EQ(fromText->absolute_string(), "https://h.example/p?q=1");

  Url url = *Url::parse("https://h.example/x");
  auto fromUrl = URLConvertible(url).asURL();
  ASSERT_TRUE(fromUrl);
  EXPECT_EQ(*fromUrl, url);

  auto components = foundation::UrlComponents::parse("https://h.example/a");
  auto fromComponents = URLConvertible(*components).asURL();
  ASSERT_TRUE(fromComponents);
  EXPECT_EQ(fromComponents->absolute_string(), "https://h.example/a");

  for (const char* text : {"", "http://exa mple.org", "https://h/%zz"}) {
    auto failed = URLConvertible(text).asURL();
    ASSERT_FALSE(failed) << text;
    const AFError* af = failed.error().as<AFError>();
    ASSERT_TRUE(af);
    ASSERT_TRUE(af->isInvalidURLError());
    ASSERT_TRUE(af->urlConvertible()->text());
    EXPECT_EQ(*af->urlConvertible()->text(), text);
  }

  foundation::UrlComponents broken;
  broken.set_scheme(std::string("https"));
  broken.set_host(std::string("h.example"));
  broken.set_path("no-leading-slash");
  auto failed = URLConvertible(broken).asURL();
  ASSERT_FALSE(failed);
  const AFError* af = failed.error().as<AFError>();
  ASSERT_TRUE(af && af->urlConvertible() && af->urlConvertible()->components());
  EXPECT_EQ(af->urlConvertible()->components()->percent_encoded_path(), "no-leading-slash");
}

TEST(URLRequestConvertible, RequestCopiesAndCallerConversions) {
  URLRequest request = baseRequest();
  request.headers.set("X-One", "1");
  URLRequestConvertible convertible = request;
  request.headers.set("X-One", "changed");
  auto converted = convertible.asURLRequest();
  ASSERT_TRUE(converted);
  EXPECT_EQ(converted->headers.get("X-One"), "1");
  EXPECT_EQ(converted->url, request.url);
  EXPECT_TRUE(convertible.urlRequest());

  auto error = std::make_shared<Error>(AFError::parameterEncodingFailed(PE::missingURL()));
  URLRequestConvertible failing = FailingConvertible{error};
  auto result = failing.asURLRequest();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().isSameInstance(*error));
  EXPECT_FALSE(failing.urlRequest());
}

TEST(MakeURLRequest, BuildsMethodTimeoutPolicyAndHeaders) {
  auto options = makeURLRequest("https://h.example/r", HTTPMethod::options);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->method, "OPTIONS");
  EXPECT_EQ(options->url->absolute_string(), "https://h.example/r");
  EXPECT_EQ(options->timeout, 60.0);
  EXPECT_EQ(options->cache_policy, platform::net::CachePolicy::use_protocol);
  EXPECT_TRUE(options->headers.empty());
  EXPECT_FALSE(options->body);
  EXPECT_FALSE(options->body_stream);

  auto emptyHeaders = makeURLRequest("https://h.example/r", HTTPMethod::get, HTTPHeaders{});
  ASSERT_TRUE(emptyHeaders);
  EXPECT_TRUE(emptyHeaders->headers.empty());

  auto withHeaders = makeURLRequest(*Url::parse("https://h.example/r"), HTTPMethod::delete_,
                                    HTTPHeaders{{"Authorization", "Basic YTpi"}, {"Accept", "application/json"}});
  ASSERT_TRUE(withHeaders);
  EXPECT_EQ(withHeaders->method, "DELETE");
  EXPECT_EQ(withHeaders->headers.size(), 2u);
  EXPECT_EQ(withHeaders->headers.get("authorization"), "Basic YTpi");
  EXPECT_EQ(withHeaders->headers.get("Accept"), "application/json");
}

TEST(MakeURLRequest, EmptyTextFailsWithInvalidURLCarryingTheText) {
  auto failed = makeURLRequest("", HTTPMethod::get, HTTPHeaders{{"A", "b"}});
  ASSERT_FALSE(failed);
  const AFError* af = failed.error().as<AFError>();
  ASSERT_TRUE(af && af->isInvalidURLError());
  EXPECT_EQ(*af->urlConvertible()->text(), "");
  EXPECT_EQ(failed.error().localizedDescription(), "URL is not valid: ");
}

TEST(JSONEncoding, AbsentEmptyAndExistingContentType) {
  const URLRequest original = baseRequest();
  for (const ParameterEncoding* encoding : std::vector<const ParameterEncoding*>{
           &JSONEncoding::standard, &JSONEncoding::prettyPrinting, &PropertyListEncoding::standard}) {
    auto unchanged = encoding->encode(original, std::nullopt);
    ASSERT_TRUE(unchanged);
    EXPECT_TRUE(unchanged->headers.empty());
    EXPECT_FALSE(unchanged->body);
    EXPECT_EQ(unchanged->method, "POST");
  }
  auto absentObject = JSONEncoding::standard.encodeJSONObject(original, std::nullopt);
  ASSERT_TRUE(absentObject);
  EXPECT_FALSE(absentObject->body);

  auto empty = JSONEncoding::standard.encode(original, Parameters{});
  ASSERT_TRUE(empty);
  EXPECT_EQ(bodyText(*empty), "{}");
  EXPECT_EQ(empty->headers.get("Content-Type"), "application/json");

  URLRequest textPlain = original;
  textPlain.headers.set("content-type", "text/plain");
  textPlain.body = foundation::to_bytes("old body");
  auto kept = JSONEncoding::standard.encode(textPlain, Parameters{{"a", 1}});
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->headers.get("Content-Type"), "text/plain");
  EXPECT_EQ(kept->headers.size(), 1u);
  EXPECT_EQ(bodyText(*kept), "{\"a\":1}");
  // The caller's request is left as it was.
  EXPECT_EQ(bodyText(textPlain), "old body");
}

TEST(JSONEncoding, BodiesKeepKindsAndLayout) {
  // A GET carries the body too: the encoding looks at neither method nor URL.
  auto compact = JSONEncoding::standard.encode(baseRequest("GET"), Parameters{{"player-id", "p1"}});
  ASSERT_TRUE(compact);
  EXPECT_EQ(bodyText(*compact), "{\"player-id\":\"p1\"}");
  EXPECT_EQ(compact->method, "GET");

  Parameters mixed{{"flag", true}, {"count", 1}, {"ratio", 0.5}, {"list", foundation::Array{1, "two", false}},
                   {"nested", Parameters{{"k", nullptr}}}};
  auto pretty = JSONEncoding::prettyPrinting.encode(baseRequest(), mixed);
  ASSERT_TRUE(pretty);
  std::string text = bodyText(*pretty);
  EXPECT_NE(text.find('\n'), std::string::npos);
  auto parsed = foundation::json::parse(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, Value(mixed));
  EXPECT_TRUE((*parsed)["flag"].is_bool());
  EXPECT_TRUE((*parsed)["count"].is_integer());
  EXPECT_TRUE((*parsed)["list"][2].is_bool());

  auto array = JSONEncoding::standard.encodeJSONObject(baseRequest(), Value(foundation::Array{1, 2}));
  ASSERT_TRUE(array);
  EXPECT_EQ(bodyText(*array), "[1,2]");
  EXPECT_EQ(array->headers.get("Content-Type"), "application/json");
}

TEST(JSONEncoding, ValuesWithoutJSONFormFailAndAreNeverWrittenAsNull) {
  struct Case {
    const char* name;
    Value value;
  };
  const std::vector<Case> cases = {
      {"NaN", std::nan("")},
      {"+Inf", std::numeric_limits<double>::infinity()},
      {"-Inf", -std::numeric_limits<double>::infinity()},
      {"date", foundation::Date{1600000000.0}},
      {"data", foundation::Bytes{1, 2, 3}},
      {"opaque", Value::object(std::make_shared<int>(3))},
      {"nested NaN", foundation::Array{1, Parameters{{"x", std::nan("")}}}},
  };
  for (const auto& c : cases) {
    auto failed = JSONEncoding::standard.encode(baseRequest(), Parameters{{"ok", 1}, {"bad", c.value}});
    ASSERT_FALSE(failed) << c.name;
    const AFError* af = failed.error().as<AFError>();
    ASSERT_TRUE(af && af->isParameterEncodingError()) << c.name;
    EXPECT_EQ(af->parameterEncodingReason()->kind, PE::Kind::jsonEncodingFailed) << c.name;
    ASSERT_TRUE(af->underlyingError()) << c.name;
    EXPECT_TRUE(af->underlyingError()->is<foundation::Error>()) << c.name;
    EXPECT_EQ(af->message().rfind("JSON could not be encoded because of error:\n", 0), 0u) << c.name;
  }
  // A top-level scalar is no JSON document either.
  auto scalar = JSONEncoding::standard.encodeJSONObject(baseRequest(), Value("text"));
  ASSERT_FALSE(scalar);
  EXPECT_TRUE(scalar.error().as<AFError>()->isParameterEncodingError());
}

TEST(Encodings, ConversionErrorPassesThroughUnchanged) {
  auto error = std::make_shared<Error>(AFError::invalidURL("x"));
  const FailingConvertible failing{error};
  for (const ParameterEncoding* encoding : std::vector<const ParameterEncoding*>{
           &JSONEncoding::standard, &PropertyListEncoding::binaryFormat}) {
    auto result = encoding->encode(failing, Parameters{{"a", 1}});
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().isSameInstance(*error));
  }
  auto object = JSONEncoding::standard.encodeJSONObject(failing, Value(foundation::Array{}));
  ASSERT_FALSE(object);
  EXPECT_TRUE(object.error().isSameInstance(*error));
}

TEST(PropertyListEncoding, BinaryAndXmlBodies) {
  Parameters parameters{{"flag", true}, {"count", 3}, {"name", "n"}, {"when", foundation::Date{1600000000.0}}};
  EXPECT_EQ(PropertyListEncoding::standard.format, 100);
  EXPECT_EQ(PropertyListEncoding::xmlFormat.format, 100);
  EXPECT_EQ(PropertyListEncoding::binaryFormat.format, 200);

  auto binary = PropertyListEncoding::binaryFormat.encode(baseRequest(), parameters);
  ASSERT_TRUE(binary);
  EXPECT_EQ(binary->headers.get("Content-Type"), "application/x-plist");
  EXPECT_EQ(bodyText(*binary).substr(0, 8), "bplist00");

  for (const PropertyListEncoding* xml : {&PropertyListEncoding::standard, &PropertyListEncoding::xmlFormat}) {
    auto encoded = xml->encode(baseRequest(), parameters);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(bodyText(*encoded).substr(0, 5), "<?xml");
    auto parsed = foundation::plist::parse(*encoded->body);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE((*parsed)["flag"].is_bool());
    EXPECT_EQ((*parsed)["count"], Value(3));
  }
  auto parsed = foundation::plist::parse(*binary->body);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, Value(parameters));

  URLRequest withType = baseRequest();
  withType.headers.set("Content-Type", "text/plain");
  auto kept = PropertyListEncoding::binaryFormat.encode(withType, parameters);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->headers.get("Content-Type"), "text/plain");
}

TEST(PropertyListEncoding, UnwritableValuesAndFormatsFail) {
  const PropertyListEncoding openStep(1, 0);
  for (const PropertyListEncoding* encodingPtr : {&PropertyListEncoding::binaryFormat, &openStep}) {
    const PropertyListEncoding& encoding = *encodingPtr;
    Parameters parameters{{"a", 1}};
    if (encoding.format == 200) parameters.set("null", nullptr);
    auto failed = encoding.encode(baseRequest(), parameters);
    ASSERT_FALSE(failed);
    const AFError* af = failed.error().as<AFError>();
    ASSERT_TRUE(af && af->isParameterEncodingError());
    EXPECT_EQ(af->parameterEncodingReason()->kind, PE::Kind::propertyListEncodingFailed);
    EXPECT_EQ(af->underlyingError()->as<foundation::Error>()->code, 3851);
  }
}

class DispatchAfter : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

TEST_F(DispatchAfter, RunsOnTheQueueAfterTheDelayNeverInline) {
  auto clock = platform::testing::ManualClock::install();
  auto queue = platform::dispatch::Queue::serial("org.duvarel.test.after");
  std::atomic<int> ran{0};
  std::atomic<bool> onQueue{false};
  std::atomic<bool> inline_{false};
  const auto caller = std::this_thread::get_id();
  DispatchQueue::after(queue, 0.5, [&] {
    onQueue = queue.is_current();
    ++ran;
  });
  DispatchQueue::after(queue, 0.0, [&] {
    inline_ = std::this_thread::get_id() == caller;
    ran += 10;
  });
  queue.sync([] {});
  EXPECT_EQ(ran.load(), 10);
  EXPECT_FALSE(inline_.load());
  clock->advance(std::chrono::milliseconds(400));
  EXPECT_EQ(ran.load(), 10);
  clock->advance(std::chrono::milliseconds(100));
  EXPECT_EQ(ran.load(), 11);
  EXPECT_TRUE(onQueue.load());
}

}  // namespace
}  // namespace Duvarel
