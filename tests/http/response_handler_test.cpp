// Response handlers over loopback HTTPS: queues, order, timelines, metrics,
// failed requests, downloads, and the shell's two posts on the shared manager.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <vector>

#include "http/module_functions.h"
#include "http/response_handlers.h"
#include "http/session_manager.h"
#include "http/url_encoding.h"
#include "http_support.h"
#include "platform/dispatch/run_loop.h"

namespace {

using namespace Duvarel;
using testing::fakes::FakeService;
using testing::fakes::TlsAuthority;
namespace dispatch = platform::dispatch;
namespace fs = std::filesystem;
using SerializationKind = AFError::ResponseSerializationFailureReason::Kind;

// Runs the main loop in short slices, so work finishing on other queues is seen too.
bool runMainUntil(const std::function<bool()>& done, int seconds = 20) {
  for (int slice = 0; slice < seconds * 100 && !done(); ++slice)
    dispatch::RunLoop::main().run_until(done, dispatch::Duration(0.01));
  return done();
}

std::optional<SerializationKind> serializationReason(const Error* error) {
  if (!error || !error->as<AFError>() || !error->as<AFError>()->responseSerializationReason()) return std::nullopt;
  return error->as<AFError>()->responseSerializationReason()->kind;
}

class Handlers : public ::testing::Test {
 protected:
  TlsAuthority ca;
  FakeService site{"site", {"site.example.org"}, {.authority = &ca}};
  http_test::Device device{{&site}, &ca};
  std::shared_ptr<SessionManager> manager = SessionManager::init(platform::net::Configuration::ephemeral());
};

TEST_F(Handlers, MainQueueByDefaultInOrderWithParsingOffTheMainThread) {
  site.on("GET", "/j", FakeService::json(200, {{"a", 1}}));
  std::mutex m;
  std::vector<std::string> order;
  std::atomic<bool> parsedOnMain{true};
  std::optional<DataResponse<foundation::Bytes>> first;
  std::optional<DataResponse<JSONValue>> second;
  std::atomic<bool> onGivenQueue{false};
  std::atomic<int> delivered{0};
  const auto serial = dispatch::Queue::serial("handler-test.delivery");

  auto json = DataRequestSerializers::json(0);
  DataResponseSerializer<JSONValue> spying([&, json](const auto& request, const auto& response, const auto& data,
                                                     const auto& error) {
    parsedOnMain = dispatch::is_main_thread();
    std::lock_guard lk(m);
    order.push_back("serialize json");
    return json.serializeResponse(request, response, data, error);
  });

  auto request = manager->makeDataRequest(site.url("/j"));
  auto same = addDataResponseHandler(request, std::nullopt, [&](DataResponse<foundation::Bytes> r) {
    EXPECT_TRUE(dispatch::is_main_thread());
    first = r;
    ++delivered;
  });
  EXPECT_EQ(same, request);
  addResponseHandler(request, std::nullopt, spying, std::function<void(DataResponse<JSONValue>)>([&](auto r) {
                       EXPECT_TRUE(dispatch::is_main_thread());
                       second = r;
                       ++delivered;
                     }));
  addStringResponseHandler(request, serial, std::nullopt, [&](DataResponse<std::string> r) {
    onGivenQueue = serial.is_current() && !dispatch::is_main_thread();
    EXPECT_EQ(*r.value(), R"({"a":1})");
    ++delivered;
  });
  ASSERT_TRUE(runMainUntil([&] { return delivered == 3; }));
  EXPECT_FALSE(parsedOnMain);
  EXPECT_TRUE(onGivenQueue);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(foundation::to_string(*first->value()), R"({"a":1})");
  EXPECT_EQ((*second->value())["a"], foundation::Value(1));
  EXPECT_GE(second->timeline.serializationCompletedTime(), first->timeline.serializationCompletedTime());
  EXPECT_GE(first->timeline.latency(), 0);
  EXPECT_GE(first->timeline.requestDuration(), first->timeline.latency());
  EXPECT_EQ(first->timeline.requestCompletedTime(), second->timeline.requestCompletedTime());
  EXPECT_EQ(*first->response->status, 200);
  ASSERT_TRUE(first->request);
  EXPECT_EQ(first->request->url->absolute_string(), site.url("/j"));
  EXPECT_TRUE(first->metrics());  // OS 13.5
  EXPECT_EQ(order, std::vector<std::string>{"serialize json"});
}

TEST_F(Handlers, DefaultHandlerAndAFailedRequestWithoutATask) {
  auto failed = manager->makeDataRequest("not a url");
  EXPECT_FALSE(failed->task());
  std::optional<DefaultDataResponse> raw;
  std::optional<DataResponse<JSONValue>> parsed;
  addJSONResponseHandler(addDefaultResponseHandler(failed, std::nullopt, [&](DefaultDataResponse r) { raw = r; }),
                         std::nullopt, 4, [&](DataResponse<JSONValue> r) { parsed = r; });
  failed->resume();
  ASSERT_TRUE(runMainUntil([&] { return raw && parsed; }));
  ASSERT_TRUE(raw->error);
  EXPECT_TRUE(raw->error->as<AFError>()->isInvalidURLError());
  ASSERT_TRUE(parsed->error());
  EXPECT_TRUE(parsed->error()->as<AFError>()->isInvalidURLError());
  EXPECT_FALSE(parsed->response);
  // Never started: the start time is read after the end time.
  EXPECT_LE(parsed->timeline.requestDuration(), 0);
  EXPECT_LE(parsed->timeline.latency(), 0);
  EXPECT_GE(parsed->timeline.totalDuration(), 0);
}

TEST_F(Handlers, DownloadHandlersReadTheDestination) {
  site.on("GET", "/d.txt", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("downloaded", "text/plain"); });
  const fs::path destination = device.scratch("dl") / "d.txt";
  auto request = manager->makeDownloadRequest(site.url("/d.txt"), HTTPMethod::get, std::nullopt, JSONEncoding::standard,
                                              std::nullopt, [destination](const auto&, const auto&) {
                                                return std::pair{foundation::Url::file(destination),
                                                                 DownloadOptions::createParentDirectories};
                                              });
  std::optional<DownloadResponse<std::string>> text;
  std::optional<DefaultDownloadResponse> raw;
  addDefaultResponseHandler(addStringResponseHandler(request, std::nullopt, std::nullopt,
                                                     [&](DownloadResponse<std::string> r) { text = r; }),
                            std::nullopt, [&](DefaultDownloadResponse r) { raw = r; });
  ASSERT_TRUE(runMainUntil([&] { return text && raw; }));
  ASSERT_TRUE(text->value()) << text->result.debugDescription();
  EXPECT_EQ(*text->value(), "downloaded");
  EXPECT_EQ(text->destinationURL, foundation::Url::file(destination));
  EXPECT_EQ(raw->destinationURL, foundation::Url::file(destination));
  EXPECT_FALSE(raw->error);
  EXPECT_NE(text->debugDescription().find("[DestinationURL]: " + destination.string() + "\n"), std::string::npos);
}

class HandlersOnIos9 : public ::testing::Test {
 protected:
  TlsAuthority ca;
  FakeService site{"site", {"site.example.org"}, {.authority = &ca}};
  http_test::Device device{{&site}, &ca, "9.3"};
};

TEST_F(HandlersOnIos9, NoMetricsBeforeOs10) {
  site.on("GET", "/j", FakeService::json(200, {{"a", 1}}));
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  std::optional<DataResponse<JSONValue>> parsed;
  std::optional<DefaultDataResponse> raw;
  auto request = manager->makeDataRequest(site.url("/j"));
  addDefaultResponseHandler(addJSONResponseHandler(request, std::nullopt, 4, [&](auto r) { parsed = r; }), std::nullopt,
                            [&](DefaultDataResponse r) { raw = r; });
  ASSERT_TRUE(runMainUntil([&] { return parsed && raw; }));
  EXPECT_TRUE(parsed->value());
  EXPECT_TRUE(request->taskDelegate()->metrics());  // collected, but not handed over
  EXPECT_FALSE(parsed->metrics());
  EXPECT_FALSE(raw->metrics());
}

// ---- the shell's road: the shared manager, JSON encoding, the JSON handler on main ----

class ShellRoad : public ::testing::Test {
 protected:
  TlsAuthority ca;
  FakeService intranet{"intranet", {"intranet.example.org"}, {.authority = &ca}};
  FakeService closed{"closed", {"closed.example.org"}, {.authority = &ca}};
  http_test::Device device{{&intranet, &closed}, &ca};
};

TEST_F(ShellRoad, RegistrationRepliesAndTheDeviceTokenFormPost) {
  closed.stop();
  struct Case {
    const char* name;
    testing::fakes::Handler reply;
    bool success;
    std::optional<SerializationKind> reason;
    std::function<void(const JSONValue&)> check;
  } cases[] = {
      {"JSON object", FakeService::json(200, {{"ok", true}}), true, std::nullopt,
       [](const JSONValue& v) { EXPECT_EQ(v["ok"], foundation::Value(true)); }},
      {"JSON string", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("\"registered\"", "application/json"); },
       true, std::nullopt, [](const JSONValue& v) { EXPECT_EQ(v, foundation::Value("registered")); }},
      {"HTML", FakeService::unavailable_html(), false, SerializationKind::jsonSerializationFailed, nullptr},
      {"204", FakeService::empty(204), true, std::nullopt, [](const JSONValue& v) { EXPECT_TRUE(v.is_null()); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    intranet.clear_overrides();
    intranet.on("POST", "/api/reraviror/register", c.reply);
    std::optional<DataResponse<JSONValue>> response;
    bool onMain = false;
    addJSONResponseHandler(makeDataRequest(intranet.url("/api/reraviror/register"), HTTPMethod::post,
                                           Parameters{{"player-id", "p1"}}, JSONEncoding::standard),
                           std::nullopt, JSONReadingOptions::allowFragments, [&](DataResponse<JSONValue> r) {
                             onMain = dispatch::is_main_thread();
                             response = r;
                           });
    ASSERT_TRUE(runMainUntil([&] { return response.has_value(); }));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(response->result.isSuccess(), c.success) << response->debugDescription();
    if (c.check && response->value()) c.check(*response->value());
    if (c.reason) {
      EXPECT_EQ(serializationReason(response->error()), c.reason);
      EXPECT_EQ(response->error()->localizedDescription().rfind("JSON could not be serialized because of error:\n", 0), 0u);
    }
  }
  EXPECT_EQ(intranet.count("POST", "/api/reraviror/register"), 4u);
  for (const auto& post : intranet.requests("POST", "/api/reraviror/register")) EXPECT_EQ(post.body, R"({"player-id":"p1"})");

  std::optional<DataResponse<JSONValue>> refused;
  addJSONResponseHandler(makeDataRequest(closed.url("/api/reraviror/register"), HTTPMethod::post,
                                         Parameters{{"player-id", "p1"}}, JSONEncoding::standard),
                         std::nullopt, 4, [&](DataResponse<JSONValue> r) { refused = r; });
  ASSERT_TRUE(runMainUntil([&] { return refused.has_value(); }));
  ASSERT_TRUE(refused->error());
  EXPECT_EQ(refused->error()->bridged().domain, "NSURLErrorDomain");
  EXPECT_FALSE(refused->response);

  // The device-token form post: a form body under the caller's lower-case content type.
  intranet.on("POST", "/intranet/rest/device/", FakeService::json(200, {{"stored", true}}));
  std::optional<DataResponse<JSONValue>> tokenReply;
  addJSONResponseHandler(makeDataRequest(intranet.url("/intranet/rest/device/"), HTTPMethod::post,
                                         Parameters{{"device_type", "ios"}, {"device_token", "ab12 cd/34"}},
                                         URLEncoding::standard, HTTPHeaders{{"content-type", "application/json"}}),
                         std::nullopt, 4, [&](DataResponse<JSONValue> r) { tokenReply = r; });
  ASSERT_TRUE(runMainUntil([&] { return tokenReply.has_value(); }));
  EXPECT_TRUE(tokenReply->value());
  auto posts = intranet.requests("POST", "/intranet/rest/device/");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].raw_body, "device_token=ab12%20cd/34&device_type=ios");
  EXPECT_EQ(posts[0].header_values("Content-Type"), std::vector<std::string>{"application/json"});
}

}  // namespace
