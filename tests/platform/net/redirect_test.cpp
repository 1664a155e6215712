// Redirects followed by hand: method rules, a nil answer, cookies per hop,
// the hop limit and credentials that stay with their host.
#include "fixture.h"

namespace platform::net::test {
namespace {

struct Outcome {
  std::optional<Bytes> data;
  std::shared_ptr<const Response> response;
  std::optional<Error> error;
};

class RedirectTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    server_ = &add_server(kHost, [](TestServer& s, TestServer&) {
      auto redirect = [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
        res.status = std::stoi(req.matches[1]);
        res.set_header("Location", "/target");
        res.set_content("redirect body", "text/plain");
      };
      s.Get(R"(/r/(\d+))", redirect);
      s.Post(R"(/r/(\d+))", redirect);
      s.Put(R"(/r/(\d+))", redirect);
      auto echo = [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
        res.set_content(req.method + ":" + req.body, "application/octet-stream");
      };
      s.Get("/target", echo);
      s.Post("/target", echo);
      s.Put("/target", echo);
      s.Get(R"(/loop/(\d+))", [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
        int n = std::stoi(req.matches[1]);
        res.status = 302;
        res.set_header("Location", "/loop/" + std::to_string(n + 1));
      });
      s.Get(R"(/chain/(\d+))", [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
        int n = std::stoi(req.matches[1]);
        if (n == 16) return res.set_content("end", "text/plain");
        res.status = 302;
        res.set_header("Location", "/chain/" + std::to_string(n + 1));
      });
      s.Get("/login", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
        res.status = 302;
        res.set_header("Set-Cookie", "PHPSESSID=abc123; Path=/");
        res.set_header("Location", "/home");
      });
      s.Get("/home", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("home", "text/plain"); });
      s.Get("/away", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
        res.status = 302;
        res.set_header("Location", std::string("https://") + kOtherHost + "/land");
      });
      s.Get("/stay", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
        res.status = 302;
        res.set_header("Location", "/home");
      });
    });
    other_ = &add_server(kOtherHost, [](TestServer& s, TestServer&) {
      s.Get("/land", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("landed", "text/plain"); });
    });
    boot();
  }

  Outcome run(Session& session, Request request) {
    auto out = std::make_shared<Outcome>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    session.data_task(std::move(request), [out, done](std::optional<Bytes> d, std::shared_ptr<const Response> r, std::optional<Error> e) {
      *out = Outcome{std::move(d), std::move(r), std::move(e)};
      *done = true;
    })->resume();
    EXPECT_TRUE(wait_until([&] { return done->load(); }));
    return *out;
  }

  TestServer* server_ = nullptr;
  TestServer* other_ = nullptr;
};

TEST_F(RedirectTest, MethodRulesTable) {
  struct Case {
    int status;
    std::string method, expect;
  };
  const std::vector<Case> cases{
      {301, "POST", "GET:"},        {302, "POST", "GET:"},        {303, "POST", "GET:"},
      {307, "POST", "POST:payload"}, {308, "POST", "POST:payload"}, {302, "PUT", "PUT:payload"},
      {303, "PUT", "GET:"},         {301, "GET", "GET:"},
  };
  auto session = Session::make(Configuration::ephemeral());
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.method);
    Request request(https("/r/" + std::to_string(c.status)));
    request.method = c.method;
    if (c.method != "GET") {
      request.body = to_bytes("payload");
      request.headers.set("Content-Type", "application/json");
    }
    auto out = run(*session, request);
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(out.response->status, 200);
    EXPECT_EQ(out.response->url, https("/target"));
    EXPECT_EQ(to_string(*out.data), c.expect);
    auto target = server_->last("/target");
    bool kept_body = c.expect.find("payload") != std::string::npos;
    // Body headers go with the body.
    EXPECT_EQ(target.header("Content-Type").has_value(), kept_body);
    EXPECT_EQ(target.header("Content-Length").has_value(), kept_body);
  }
}

TEST_F(RedirectTest, HeadStaysHeadOn303) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  Request head(https("/r/303"));
  head.method = "HEAD";
  session->data_task(head)->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(server_->last("/target").method, "HEAD");
}

TEST_F(RedirectTest, NilAnswerCompletesWithTheRedirectResponseAndBody) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->on_redirect = [](const Response&, Request, std::function<void(std::optional<Request>)> h) { h(std::nullopt); };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto task = session->data_task(Request(https("/r/302")));
  task->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(task->response()->status, 302);
  EXPECT_EQ(task->response()->header_fields.get("Location"), "/target");
  EXPECT_EQ(to_string(delegate->data), "redirect body");
  EXPECT_EQ(server_->count("/target"), 0u);
  EXPECT_EQ(delegate->collapsed(), (std::vector<std::string>{"redirect 302", "response", "data", "metrics", "complete"}));
}

TEST_F(RedirectTest, DelegateMayRewriteTheNextRequest) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->on_redirect = [](const Response&, Request next, std::function<void(std::optional<Request>)> h) {
    next.url = https("/home");
    h(next);
    h(std::nullopt);  // a second call is ignored
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/r/301")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_EQ(to_string(delegate->data), "home");
  ASSERT_TRUE(delegate->metrics);
  EXPECT_EQ(delegate->metrics->transactions.size(), 2u);
  EXPECT_EQ(delegate->metrics->redirect_count, 1u);
  EXPECT_EQ(delegate->metrics->transactions[0].response->status, 301);
}

TEST_F(RedirectTest, HopCookiesAreStoredAndSentOnward) {
  auto config = Configuration::ephemeral();
  auto storage = config.cookie_storage;
  auto session = Session::make(config);
  auto out = run(*session, Request(https("/login")));
  ASSERT_FALSE(out.error);
  EXPECT_EQ(to_string(*out.data), "home");
  EXPECT_EQ(server_->last("/home").header("Cookie"), "PHPSESSID=abc123");
  EXPECT_EQ(storage->cookie_header_for(https("/")), "PHPSESSID=abc123");
}

TEST_F(RedirectTest, SixteenHopsAreFollowedTheSeventeenthFails) {
  auto session = Session::make(Configuration::ephemeral());
  auto ok = run(*session, Request(https("/chain/0")));
  ASSERT_FALSE(ok.error) << ok.error->description();
  EXPECT_EQ(to_string(*ok.data), "end");

  auto out = run(*session, Request(https("/loop/0")));
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->code, foundation::url_error::http_too_many_redirects);
  EXPECT_EQ(server_->count("/loop/16"), 1u);
  EXPECT_EQ(server_->count("/loop/17"), 0u);
}

TEST_F(RedirectTest, AuthorizationStaysWithItsHost) {
  auto session = Session::make(Configuration::ephemeral());
  Request request(https("/away"));
  request.headers.set("Authorization", "Bearer secret");
  request.headers.set("Cookie", "session=secret");
  auto out = run(*session, request);
  ASSERT_FALSE(out.error) << out.error->description();
  EXPECT_EQ(to_string(*out.data), "landed");
  EXPECT_FALSE(other_->last("/land").header("Authorization"));
  EXPECT_FALSE(other_->last("/land").header("Cookie"));

  Request same(https("/stay"));
  same.headers.set("Authorization", "Bearer secret");
  out = run(*session, same);
  ASSERT_FALSE(out.error);
  EXPECT_EQ(server_->last("/home").header("Authorization"), "Bearer secret");
}

TEST_F(RedirectTest, StreamedBodyIsAskedForAgainOn307) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->on_body_stream = [](std::function<void(std::shared_ptr<foundation::InputStream>)> h) {
    h(foundation::InputStream::from_data(to_bytes("streamed")));
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  Request request(https("/r/307"));
  request.method = "POST";
  session->upload_task_streamed(request)->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  ASSERT_FALSE(delegate->error) << delegate->error->description();
  EXPECT_EQ(to_string(delegate->data), "POST:streamed");
  auto log = delegate->log_copy();
  EXPECT_EQ(std::count(log.begin(), log.end(), "body-stream"), 2);
  EXPECT_EQ(server_->last("/target").header("Transfer-Encoding"), "chunked");
}

}  // namespace
}  // namespace platform::net::test
