// Result, Timeline, HTTPMethod and the error carrier.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "http/af_error.h"
#include "http/error.h"
#include "http/http_method.h"
#include "http/result.h"
#include "http/timeline.h"

namespace Duvarel {
namespace {

namespace foundation = platform::foundation;

struct CallerError : ErrorProtocol {
  int value = 7;
  std::int64_t code() const { return 3; }
};

struct LocalizedCallerError : ErrorProtocol {
  std::optional<std::string> errorDescription() const { return "caller says no"; }
  std::string description() const { return "LocalizedCallerError()"; }
};

const foundation::Error kPlatformError("NSURLErrorDomain", -1001, {{"NSLocalizedDescription", "The request timed out."}});

TEST(Timeline, DurationsAndBothTexts) {
  Timeline t(10.0, 10.25, 10.5, 10.5);
  EXPECT_DOUBLE_EQ(t.latency(), 0.25);
  EXPECT_DOUBLE_EQ(t.requestDuration(), 0.5);
  EXPECT_DOUBLE_EQ(t.serializationDuration(), 0.0);
  EXPECT_DOUBLE_EQ(t.totalDuration(), 0.5);
  EXPECT_EQ(t.description(),
            "Timeline: { \"Latency\": 0.250 secs, \"Request Duration\": 0.500 secs, "
            "\"Serialization Duration\": 0.000 secs, \"Total Duration\": 0.500 secs }");
  EXPECT_EQ(t.debugDescription(),
            "Timeline: { \"Request Start Time\": 10.000, \"Initial Response Time\": 10.250, "
            "\"Request Completed Time\": 10.500, \"Serialization Completed Time\": 10.500, "
            "\"Latency\": 0.250 secs, \"Request Duration\": 0.500 secs, "
            "\"Serialization Duration\": 0.000 secs, \"Total Duration\": 0.500 secs }");
}

TEST(Timeline, AbsoluteTimesKeepAllDigitsAndOutOfOrderTimesGoNegative) {
  Timeline t(629000000.125, 629000000.0, 629000001.5, std::ldexp(1.0, 240));
  EXPECT_DOUBLE_EQ(t.latency(), -0.125);
  std::string debug = t.debugDescription();
  EXPECT_NE(debug.find("\"Request Start Time\": 629000000.125, "), std::string::npos) << debug;
  EXPECT_NE(debug.find("\"Latency\": -0.125 secs"), std::string::npos) << debug;
  // A huge value is printed with every integer digit, not cut off: 2^240 has 73.
  const std::string label = "\"Serialization Completed Time\": ";
  std::size_t at = debug.find(label);
  ASSERT_NE(at, std::string::npos);
  std::string number = debug.substr(at + label.size(), debug.find(',', at) - at - label.size());
  EXPECT_EQ(number.size(), 73u + 4u) << number;
  EXPECT_EQ(number.substr(0, 5), "17668");
  EXPECT_EQ(number.substr(73), ".000");
  Timeline zero;
  EXPECT_EQ(zero.totalDuration(), 0.0);
}

TEST(HTTPMethod, RawValuesAndExactMatch) {
  const std::vector<std::pair<HTTPMethod, std::string>> all = {
      {HTTPMethod::options, "OPTIONS"}, {HTTPMethod::get, "GET"},       {HTTPMethod::head, "HEAD"},
      {HTTPMethod::post, "POST"},       {HTTPMethod::put, "PUT"},       {HTTPMethod::patch, "PATCH"},
      {HTTPMethod::delete_, "DELETE"},  {HTTPMethod::trace, "TRACE"},   {HTTPMethod::connect, "CONNECT"}};
  for (const auto& [method, raw] : all) {
    EXPECT_EQ(method.rawValue(), raw);
    auto parsed = HTTPMethod::fromRawValue(raw);
    ASSERT_TRUE(parsed) << raw;
    EXPECT_EQ(*parsed, method);
    EXPECT_EQ(std::hash<HTTPMethod>{}(method), std::hash<std::string_view>{}(raw));
  }
  for (const char* text : {"patch", "Get", "", " GET", "GET ", "POST\n"}) {
    EXPECT_FALSE(HTTPMethod::fromRawValue(text)) << text;
  }
  EXPECT_NE(HTTPMethod(HTTPMethod::get), HTTPMethod(HTTPMethod::head));
}

TEST(ErrorCarrier, DescriptionsAndBridgingPerKind) {
  Error platformError = kPlatformError;
  EXPECT_EQ(platformError.localizedDescription(), "The request timed out.");
  EXPECT_EQ(platformError.description(), kPlatformError.description());
  EXPECT_EQ(platformError.bridged(), kPlatformError);
  ASSERT_TRUE(platformError.as<foundation::Error>());
  EXPECT_EQ(platformError.as<foundation::Error>()->code, -1001);

  Error af = AFError::invalidURL("bad url");
  EXPECT_EQ(af.localizedDescription(), "URL is not valid: bad url");
  EXPECT_EQ(af.description(), "invalidURL(url: \"bad url\")");
  EXPECT_EQ(af.bridged().domain, "Duvarel.AFError");
  EXPECT_EQ(af.bridged().code, 0);
  EXPECT_EQ(af.bridged().localized_description(), "URL is not valid: bad url");
  EXPECT_FALSE(af.as<foundation::Error>());

  Error caller = CallerError{};
  EXPECT_EQ(caller.localizedDescription(), "The operation couldn’t be completed. (Duvarel.(anonymous namespace).CallerError error 3.)");
  EXPECT_EQ(caller.description(), "Duvarel.(anonymous namespace).CallerError");
  EXPECT_EQ(caller.as<CallerError>()->value, 7);

  Error localized = LocalizedCallerError{};
  EXPECT_EQ(localized.localizedDescription(), "caller says no");
  EXPECT_EQ(localized.description(), "LocalizedCallerError()");
  EXPECT_EQ(localized.bridged().code, 1);
}

TEST(ErrorCarrier, UnwrappedAdaptErrorOnlyForAdaptErrors) {
  Error inner = CallerError{};
  Error wrapped = AdaptError(inner);
  ASSERT_TRUE(wrapped.unwrappedAdaptError());
  EXPECT_TRUE(wrapped.unwrappedAdaptError()->isSameInstance(inner));
  EXPECT_TRUE(underlyingError(wrapped).isSameInstance(inner));
  EXPECT_EQ(wrapped.localizedDescription(), "The operation couldn’t be completed. (Duvarel.AdaptError error 1.)");
  EXPECT_EQ(wrapped.description(), "AdaptError(error: Duvarel.(anonymous namespace).CallerError)");

  for (const Error& other : {Error(AFError::invalidURL("x")), Error(kPlatformError), inner}) {
    EXPECT_FALSE(other.unwrappedAdaptError());
    EXPECT_TRUE(underlyingError(other).isSameInstance(other));
  }
}

TEST(Expected, HoldsValueOrError) {
  Expected<int> value = 3;
  EXPECT_TRUE(value);
  EXPECT_EQ(*value, 3);
  EXPECT_THROW((void)value.error(), std::logic_error);
  Expected<int> failed = AFError::invalidURL("");
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().is<AFError>());
  EXPECT_THROW((void)failed.value(), std::logic_error);
  Expected<void> ok;
  EXPECT_TRUE(ok);
  Expected<void> bad = kPlatformError;
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.error().as<foundation::Error>()->code, -1001);
}

TEST(Result, AccessorsAndTexts) {
  auto success = Result<std::string>::success("abc");
  EXPECT_TRUE(success.isSuccess());
  EXPECT_FALSE(success.isFailure());
  ASSERT_TRUE(success.value());
  EXPECT_EQ(*success.value(), "abc");
  EXPECT_EQ(success.error(), nullptr);
  EXPECT_EQ(success.description(), "SUCCESS");
  EXPECT_EQ(success.debugDescription(), "SUCCESS: abc");

  auto failure = Result<std::string>::failure(kPlatformError);
  EXPECT_TRUE(failure.isFailure());
  EXPECT_EQ(failure.value(), nullptr);
  ASSERT_TRUE(failure.error());
  EXPECT_EQ(failure.description(), "FAILURE");
  EXPECT_EQ(failure.debugDescription(), "FAILURE: " + kPlatformError.description());

  // Default renderings of other values.
  EXPECT_EQ(Result<int>::success(42).debugDescription(), "SUCCESS: 42");
  EXPECT_EQ(Result<bool>::success(true).debugDescription(), "SUCCESS: true");
  EXPECT_EQ(Result<foundation::Bytes>::success(foundation::Bytes(5)).debugDescription(), "SUCCESS: 5 bytes");
  EXPECT_EQ(Result<foundation::Value>::success(foundation::Value("text")).debugDescription(), "SUCCESS: text");
  EXPECT_EQ(Result<int>::failure(AFError::invalidURL("u")).debugDescription(), "FAILURE: invalidURL(url: \"u\")");
}

TEST(Result, EvaluatingAndUnwrap) {
  auto ok = Result<int>::evaluating([] { return Expected<int>(5); });
  EXPECT_EQ(*ok.value(), 5);
  auto plain = Result<int>::evaluating([] { return 6; });
  EXPECT_EQ(*plain.value(), 6);
  Error thrown = CallerError{};
  auto failed = Result<int>::evaluating([&]() -> Expected<int> { return thrown; });
  ASSERT_TRUE(failed.isFailure());
  EXPECT_TRUE(failed.error()->isSameInstance(thrown));

  EXPECT_EQ(*ok.unwrap(), 5);
  Expected<int> unwrapped = failed.unwrap();
  ASSERT_FALSE(unwrapped);
  EXPECT_TRUE(unwrapped.error().isSameInstance(thrown));
}

TEST(Result, MapCombinators) {
  Error original = CallerError{};
  auto success = Result<int>::success(2);
  auto failure = Result<int>::failure(original);
  int calls = 0;

  auto mapped = success.map([&](int v) { ++calls; return std::to_string(v * 10); });
  EXPECT_EQ(*mapped.value(), "20");
  auto mappedFailure = failure.map([&](int v) { ++calls; return v; });
  EXPECT_TRUE(mappedFailure.error()->isSameInstance(original));
  EXPECT_EQ(calls, 1);

  auto throwingOk = success.mapThrowing([](int v) -> Expected<double> { return v / 4.0; });
  EXPECT_EQ(*throwingOk.value(), 0.5);
  auto throwingFails = success.mapThrowing([](int) -> Expected<double> { return AFError::invalidURL("t"); });
  ASSERT_TRUE(throwingFails.isFailure());
  EXPECT_TRUE(throwingFails.error()->is<AFError>());
  auto throwingOnFailure = failure.mapThrowing([&](int) -> Expected<double> { ++calls; return 1.0; });
  EXPECT_TRUE(throwingOnFailure.error()->isSameInstance(original));
  EXPECT_EQ(calls, 1);

  auto errorMapped = failure.mapError([](const Error& e) {
    return foundation::Error("Mapped", 9, {{"NSLocalizedDescription", e.description()}});
  });
  EXPECT_EQ(errorMapped.error()->as<foundation::Error>()->domain, "Mapped");
  auto errorMappedSuccess = success.mapError([&](const Error&) { ++calls; return CallerError{}; });
  EXPECT_EQ(*errorMappedSuccess.value(), 2);
  EXPECT_EQ(calls, 1);

  auto errorThrowing = failure.mapErrorThrowing([](const Error&) -> Expected<CallerError> { return kPlatformError; });
  EXPECT_TRUE(errorThrowing.error()->is<foundation::Error>());
  auto errorThrowingOk = failure.mapErrorThrowing([](const Error&) -> Expected<LocalizedCallerError> {
    return LocalizedCallerError{};
  });
  EXPECT_TRUE(errorThrowingOk.error()->is<LocalizedCallerError>());
  auto errorThrowingSuccess = success.mapErrorThrowing([&](const Error&) -> Expected<CallerError> {
    ++calls;
    return CallerError{};
  });
  EXPECT_TRUE(errorThrowingSuccess.isSuccess());
  EXPECT_EQ(calls, 1);
}

TEST(Result, SideEffectCombinatorsRunForTheirCaseOnly) {
  auto success = Result<int>::success(4);
  auto failure = Result<int>::failure(kPlatformError);
  std::vector<std::string> log;
  auto same = success.withValue([&](int v) { log.push_back("value " + std::to_string(v)); })
                  .withError([&](const Error&) { log.push_back("error"); })
                  .ifSuccess([&] { log.push_back("success"); })
                  .ifFailure([&] { log.push_back("failure"); });
  EXPECT_EQ(*same.value(), 4);
  failure.withValue([&](int) { log.push_back("value"); })
      .withError([&](const Error& e) { log.push_back("error " + std::to_string(e.as<foundation::Error>()->code)); })
      .ifSuccess([&] { log.push_back("success"); })
      .ifFailure([&] { log.push_back("failure"); });
  EXPECT_EQ(log, (std::vector<std::string>{"value 4", "success", "error -1001", "failure"}));
}

}  // namespace
}  // namespace Duvarel
