#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/json.h"
#include "platform/testing/capture.h"
#include "platform/testing/reset.h"
#include "push/request.h"

namespace {

using namespace push;
using foundation::Dict;
using foundation::Value;

struct RequestCase {
  std::string name;
  std::function<std::shared_ptr<RerAvirorRequest>()> make;
  std::int32_t method;
  std::string path;
  std::optional<Dict> parameters;  // keys in this order
};

const OSLastLocation kLocation{52.5, 13.25, 3.0, 10.5};

std::vector<RequestCase> catalogue() {
  const Opt none;
  return {
      {"GetTags", [] { return OSRequestGetTags::withUserId("p1", "app"); }, GET, "players/p1", Dict{{"app_id", "app"}}},
      {"GetIosParams with user", [] { return OSRequestGetIosParams::withUserId("p1", "app"); }, GET,
       "apps/app/ios_params.js", Dict{{"player_id", "p1"}}},
      {"GetIosParams without user", [none] { return OSRequestGetIosParams::withUserId(none, "app"); }, GET,
       "apps/app/ios_params.js", std::nullopt},
      {"SendTagsToServer all", [] {
         return OSRequestSendTagsToServer::withUserId("p1", "app", Dict{{"a", "1"}}, 0, "hash");
       }, PUT, "players/p1", Dict{{"app_id", "app"}, {"tags", Dict{{"a", "1"}}}, {"net_type", 0}, {"email_auth_hash", "hash"}}},
      {"SendTagsToServer absent and empty", [none] {
         return OSRequestSendTagsToServer::withUserId("p1", none, std::nullopt, std::nullopt, "");
       }, PUT, "players/p1", Dict{}},
      {"PostNotification adds app_id", [] { return OSRequestPostNotification::withAppId("app", Dict{{"contents", Dict{{"en", "hi"}}}}); },
       POST, "notifications", Dict{{"contents", Dict{{"en", "hi"}}}, {"app_id", "app"}}},
      {"PostNotification keeps app_id", [] { return OSRequestPostNotification::withAppId("app", Dict{{"app_id", "other"}}); },
       POST, "notifications", Dict{{"app_id", "other"}}},
      {"UpdateDeviceToken all", [] {
         return OSRequestUpdateDeviceToken::withUserId("p1", "app", "abcd", 7, "parent", "auth", "a@b.c");
       }, PUT, "players/p1",
       Dict{{"app_id", "app"}, {"email", "a@b.c"}, {"notification_types", 7}, {"identifier", "abcd"},
            {"parent_player_id", "parent"}, {"email_auth_hash", "auth"}}},
      {"UpdateDeviceToken absent", [none] {
         return OSRequestUpdateDeviceToken::withUserId("p1", "app", none, std::nullopt, none, "", none);
       }, PUT, "players/p1", Dict{{"app_id", "app"}}},
      {"CreateDevice nulls", [none] { return OSRequestCreateDevice::withAppId("app", 11, none, none, none); }, POST,
       "players", Dict{{"app_id", "app"}, {"device_type", 11}, {"identifier", nullptr}, {"email_auth_hash", nullptr},
                       {"device_player_id", nullptr}}},
      {"CreateDevice given", [] { return OSRequestCreateDevice::withAppId("app", 11, "a@b.c", "p1", "h"); }, POST,
       "players", Dict{{"app_id", "app"}, {"device_type", 11}, {"identifier", "a@b.c"}, {"email_auth_hash", "h"},
                       {"device_player_id", "p1"}}},
      {"LogoutEmail", [none] { return OSRequestLogoutEmail::withAppId("app", "e1", "p1", none); }, POST,
       "players/p1/email_logout", Dict{{"parent_player_id", "e1"}, {"email_auth_hash", nullptr}, {"app_id", "app"}}},
      {"UpdateNotificationTypes", [] { return OSRequestUpdateNotificationTypes::withUserId("p1", "app", -2); }, PUT,
       "players/p1", Dict{{"app_id", "app"}, {"notification_types", -2}}},
      {"SendPurchases", [] { return OSRequestSendPurchases::withUserId("p1", "app", foundation::Array{Dict{{"sku", "x"}}}); },
       POST, "players/p1/on_purchase", Dict{{"app_id", "app"}, {"purchases", foundation::Array{Dict{{"sku", "x"}}}}}},
      {"SendPurchases with e-mail token", [none] { return OSRequestSendPurchases::withUserId("p1", none, "app", foundation::Array{}); },
       POST, "players/p1/on_purchase", Dict{{"app_id", "app"}, {"purchases", foundation::Array{}}, {"email_auth_hash", nullptr}}},
      {"SubmitNotificationOpened not opened", [none] {
         return OSRequestSubmitNotificationOpened::withUserId(none, "app", false, "m1");
       }, PUT, "notifications/m1", Dict{{"player_id", nullptr}, {"app_id", "app"}, {"opened", false}}},
      {"RegisterUser first", [none] { return OSRequestRegisterUser::withData(Dict{{"app_id", "app"}, {"device_type", 0}}, none); },
       POST, "players", Dict{{"app_id", "app"}, {"device_type", 0}}},
      {"RegisterUser on_session", [] { return OSRequestRegisterUser::withData(Dict{{"app_id", "app"}}, "p1"); }, POST,
       "players/p1/on_session", Dict{{"app_id", "app"}}},
      {"SyncHashedEmail", [] { return OSRequestSyncHashedEmail::withUserId("p1", "app", "Test@Example.com", 0); }, PUT,
       "players/p1",
       Dict{{"app_id", "app"}, {"em_m", "55502f40dc8b7c769880b10874abc9d0"},
            {"em_s", "567159d622ffbb50b11b0efd307be358624a26ee"}, {"net_type", 0}}},
      {"SendLocation", [] { return OSRequestSendLocation::withUserId("p1", "app", kLocation, 1, true, ""); }, PUT,
       "players/p1",
       Dict{{"app_id", "app"}, {"lat", 52.5}, {"long", 13.25}, {"loc_acc_vert", 3.0}, {"loc_acc", 10.5},
            {"net_type", 1}, {"loc_bg", true}}},
      {"OnFocus badge", [] { return OSRequestOnFocus::withUserId("p1", "app", 0, "auth"); }, PUT, "players/p1",
       Dict{{"app_id", "app"}, {"badgeCount", 0}, {"email_auth_hash", "auth"}}},
      {"OnFocus active time", [none] {
         return OSRequestOnFocus::withUserId("p1", "app", "ping", 1, 42.0, 0, none);
       }, POST, "players/p1/on_focus",
       Dict{{"app_id", "app"}, {"state", "ping"}, {"type", 1}, {"active_time", 42.0}, {"net_type", 0}}},
  };
}

class RequestTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
  platform::testing::CaptureSinks capture_;
};

TEST_F(RequestTest, CatalogueFillsMethodPathAndParameters) {
  for (const auto& c : catalogue()) {
    SCOPED_TRACE(c.name);
    auto request = c.make();
    EXPECT_EQ(request->method(), c.method);
    EXPECT_EQ(request->path().value_or(""), c.path);
    ASSERT_EQ(request->parameters().has_value(), c.parameters.has_value());
    if (!c.parameters) continue;
    EXPECT_EQ(request->parameters()->keys(), c.parameters->keys());
    EXPECT_EQ(*request->parameters(), *c.parameters);
    for (const auto& [key, value] : *c.parameters) EXPECT_EQ(request->parameters()->get(key).kind(), value.kind()) << key;

    // The wire form: a body parsed back for POST/PUT, a query for GET.
    const net::Request http = request->urlRequest();
    ASSERT_TRUE(http.url);
    EXPECT_EQ(http.method, c.method == GET ? "GET" : c.method == POST ? "POST" : "PUT");
    if (c.method == GET) {
      EXPECT_FALSE(http.body);
    } else {
      ASSERT_TRUE(http.body);
      auto parsed = foundation::json::parse(*http.body);
      ASSERT_TRUE(parsed);
      EXPECT_EQ(*parsed, Value(*c.parameters));
      EXPECT_EQ(http.url->absolute_string(), "https://push.example.net/api/v1/" + c.path);
    }
  }
}

TEST_F(RequestTest, OnlyIosParamsSkipsTheNonCachingSessionAndAppIdCheck) {
  for (const auto& c : catalogue()) {
    auto request = c.make();
    const bool iosParams = request->className() == "OSRequestGetIosParams";
    EXPECT_EQ(request->disableLocalCaching(), iosParams) << c.name;
    EXPECT_EQ(request->reattemptCount(), 0) << c.name;
  }
  EXPECT_FALSE(OSRequestGetIosParams::withUserId(std::nullopt, std::nullopt)->missingAppId());
}

TEST_F(RequestTest, MissingAppId) {
  RerAvirorRequest r;
  EXPECT_TRUE(r.missingAppId());
  r.setParameters(Dict{});
  EXPECT_TRUE(r.missingAppId());
  r.setParameters(Dict{{"app_id", ""}});
  EXPECT_TRUE(r.missingAppId());
  r.setParameters(Dict{{"app_id", "x"}});
  EXPECT_FALSE(r.missingAppId());
  EXPECT_TRUE(OSRequestGetTags::withUserId("p", std::nullopt)->missingAppId());
}

TEST_F(RequestTest, UrlRequestByMethod) {
  RerAvirorRequest r;
  r.setPath("players/p1");
  r.setParameters(Dict{{"app_id", "x"}});

  auto http = r.urlRequest();
  EXPECT_EQ(http.url->absolute_string(), "https://push.example.net/api/v1/players/p1?app_id=x");
  EXPECT_EQ(http.headers.get("Content-Type"), "application/json");
  EXPECT_EQ(http.headers.get("Accept"), "application/json");
  EXPECT_EQ(http.headers.size(), 2u);
  EXPECT_FALSE(http.body);

  r.setMethod(DELETE);
  EXPECT_EQ(r.urlRequest().url->absolute_string(), "https://push.example.net/api/v1/players/p1?app_id=x");
  EXPECT_EQ(r.urlRequest().method, "DELETE");

  r.setMethod(HEAD);
  http = r.urlRequest();
  EXPECT_EQ(http.method, "HEAD");
  EXPECT_EQ(http.url->absolute_string(), "https://push.example.net/api/v1/players/p1");
  EXPECT_FALSE(http.body);

  r.setMethod(PUT);
  http = r.urlRequest();
  EXPECT_EQ(http.url->absolute_string(), "https://push.example.net/api/v1/players/p1");
  ASSERT_TRUE(http.body);
  EXPECT_EQ(foundation::to_string(*http.body), "{\n  \"app_id\" : \"x\"\n}");

  r.setMethod(GET);
  r.setParameters(std::nullopt);
  EXPECT_EQ(r.urlRequest().url->absolute_string(), "https://push.example.net/api/v1/players/p1");
  r.setParameters(Dict{});
  EXPECT_EQ(r.urlRequest().url->absolute_string(), "https://push.example.net/api/v1/players/p1");
}

TEST_F(RequestTest, QueryEncodesSpacesButKeepsSeparators) {
  EXPECT_EQ(RerAvirorRequest::queryStringForParameters(Dict{{"q", "a b"}, {"n", 5}}), "q=a%20b&n=5");
  EXPECT_EQ(RerAvirorRequest::queryStringForParameters(Dict{{"q", "a&b=c"}}), "q=a&b=c");
  EXPECT_EQ(RerAvirorRequest::queryStringForParameters(Dict{{"q", "\xC3\xA9"}}), "q=%C3%A9");
  EXPECT_EQ(RerAvirorRequest::queryStringForParameters(Dict{}), "");
}

TEST_F(RequestTest, InvalidJsonBodyIsLeftOutWithOneWarning) {
  RerAvirorRequest r;
  r.setMethod(POST);
  r.setPath("players");
  r.setParameters(Dict{{"when", foundation::Date{1}}});
  auto http = r.urlRequest();
  EXPECT_FALSE(http.body);
  auto lines = capture_.log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("WARNING: RerAviror Attempted to make a request with an invalid JSON body: ", 0), 0u) << lines[0];
}

TEST_F(RequestTest, PathArgumentsStayOneSegment) {
  struct {
    std::string id, path;
  } cases[] = {
      {"../players/x", "players/..%2Fplayers%2Fx"},
      {"..", "players/%2E%2E"},
      {"a?b#c%", "players/a%3Fb%23c%25"},
      {"1b6a4e2c-5f0d-4c8e-9a3b-7d2f1e0c9b8a", "players/1b6a4e2c-5f0d-4c8e-9a3b-7d2f1e0c9b8a"},
      {"a1b2c3d4e5f6", "players/a1b2c3d4e5f6"},
  };
  for (const auto& c : cases) {
    auto request = OSRequestGetTags::withUserId(c.id, "app");
    EXPECT_EQ(request->path(), c.path);
    EXPECT_EQ(request->urlRequest().url->percent_encoded_path(), "/api/v1/" + c.path) << c.id;
  }
  EXPECT_EQ(OSRequestLogoutEmail::withAppId("app", "e", "../x", std::nullopt)->path(), "players/..%2Fx/email_logout");
}

}  // namespace
