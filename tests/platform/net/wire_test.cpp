// What goes over the wire and what comes back: exact bodies and header sets,
// configuration headers, content decoding, cookies and delegate order.
#include <zlib.h>

#include "fixture.h"

namespace platform::net::test {
namespace {

std::string gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(compressBound(text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

class WireTest : public NetTest {};

TEST_F(WireTest, PostArrivesByteExactWithTheExactHeaderSet) {
  auto& server = add_server(kHost, [](TestServer& s, TestServer& self) {
    s.Post("/upload", [&self](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
      self.keep_body(req);
      res.set_content("ok", "application/octet-stream");
    });
  });
  boot();
  auto delegate = std::make_shared<RecordingDelegate>();
  auto config = Configuration::ephemeral();
  config.http_additional_headers.set("X-Config", "from-config");
  config.http_additional_headers.set("X-Both", "from-config");
  auto session = Session::make(config, delegate);

  Bytes body;
  for (int i = 0; i < 70000; ++i) body.push_back(static_cast<std::uint8_t>(i * 7 % 256));
  Request request(https("/upload"));
  request.method = "POST";
  request.headers.set("X-Both", "from-request");
  request.body = body;
  session->data_task(request)->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));

  EXPECT_FALSE(delegate->error) << delegate->error->description();
  EXPECT_EQ(to_string(delegate->data), "ok");
  auto seen = server.last("/upload");
  EXPECT_EQ(seen.body.size(), body.size());
  EXPECT_TRUE(seen.body == to_string(body));
  EXPECT_EQ(seen.header("X-Config"), "from-config");
  EXPECT_EQ(seen.header("X-Both"), "from-request");
  EXPECT_EQ(seen.header("Accept-Encoding"), "gzip, deflate");
  EXPECT_EQ(seen.header("Content-Length"), std::to_string(body.size()));
  EXPECT_FALSE(seen.header("Expect"));
  EXPECT_FALSE(seen.header("Content-Type"));
  EXPECT_FALSE(seen.header("Cookie"));
  std::set<std::string> names;
  for (const auto& [name, value] : seen.headers) names.insert(name);
  std::set<std::string> expected{"Host", "Accept", "Accept-Encoding", "Content-Length", "X-Config", "X-Both"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(seen.header("Host"), kHost);

  EXPECT_EQ(delegate->collapsed(), (std::vector<std::string>{"response", "data", "metrics", "complete"}));
  ASSERT_TRUE(delegate->metrics);
  EXPECT_EQ(delegate->metrics->transactions.size(), 1u);
  EXPECT_EQ(delegate->metrics->redirect_count, 0u);
}

TEST_F(WireTest, GivenAcceptEncodingPassesThroughAndGzipIsDecoded) {
  const std::string text(5000, 'z');
  auto& server = add_server(kHost, [&](TestServer& s, TestServer&) {
    s.Get("/gz", [&](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
      res.set_header("Content-Encoding", "gzip");
      res.set_content(gzip(text), "text/plain; charset=UTF-8");
    });
  });
  boot();
  auto session = Session::make(Configuration::ephemeral());
  Request request(https("/gz"));
  request.headers.set("Accept-Encoding", "gzip;q=1.0, compress;q=0.5");
  std::optional<Bytes> data;
  std::shared_ptr<const Response> response;
  std::optional<Error> error;
  bool done = false;
  std::mutex m;
  session->data_task(request, [&](std::optional<Bytes> d, std::shared_ptr<const Response> r, std::optional<Error> e) {
    std::lock_guard lk(m);
    data = d, response = r, error = e, done = true;
  })->resume();
  ASSERT_TRUE(wait_until([&] { std::lock_guard lk(m); return done; }));
  std::lock_guard lk(m);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(to_string(*data), text);
  EXPECT_EQ(response->expected_content_length, -1);
  EXPECT_EQ(response->mime_type, "text/plain");
  EXPECT_EQ(response->text_encoding_name, "utf-8");
  EXPECT_EQ(server.last("/gz").header("Accept-Encoding"), "gzip;q=1.0, compress;q=0.5");
}

TEST_F(WireTest, UndecodableContentEncodingFailsWith1016) {
  add_server(kHost, [&](TestServer& s, TestServer&) {
    s.Get("/bad", [&](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
      res.set_header("Content-Encoding", "gzip");
      res.set_content("this is not gzip at all, not at all", "application/octet-stream");
    });
  });
  boot();
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/bad")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, foundation::url_error::cannot_decode_content_data);
  EXPECT_EQ(delegate->error->user_info.get(foundation::key_failing_url_string), foundation::Value(https("/bad").absolute_string()));
}

TEST_F(WireTest, CookiesAreStoredFromResponsesAndSentBack) {
  auto& server = add_server(kHost, [](TestServer& s, TestServer&) {
    s.Get("/set", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
      res.set_header("Set-Cookie", "a=1; Path=/; Expires=Wed, 09 Jun 2100 10:18:14 GMT");
      res.set_header("Set-Cookie", "b=2; Path=/");
      res.set_content("", "text/plain");
    });
    s.Get("/echo", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("", "text/plain"); });
  });
  boot();
  auto config = Configuration::ephemeral();
  auto storage = config.cookie_storage;
  auto session = Session::make(config);
  std::atomic<int> done{0};
  auto finish = [&](std::optional<Bytes>, std::shared_ptr<const Response>, std::optional<Error>) { ++done; };
  session->data_task(Request(https("/set")), finish)->resume();
  ASSERT_TRUE(wait_until([&] { return done == 1; }));
  EXPECT_EQ(storage->cookie_header_for(https("/echo")), "a=1; b=2");
  session->data_task(Request(https("/echo")), finish)->resume();
  ASSERT_TRUE(wait_until([&] { return done == 2; }));
  EXPECT_EQ(server.last("/echo").header("Cookie"), "a=1; b=2");

  // A request that does not handle cookies sends none.
  Request plain(https("/echo"));
  plain.should_handle_cookies = false;
  session->data_task(plain, finish)->resume();
  ASSERT_TRUE(wait_until([&] { return done == 3; }));
  EXPECT_FALSE(server.last("/echo").header("Cookie"));
}

TEST_F(WireTest, TheConfigurationsAcceptPolicyGovernsOverTheStorages) {
  add_server(kHost, [](TestServer& s, TestServer&) {
    s.Get("/set", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
      res.set_header("Set-Cookie", "c=1; Path=/");
      res.set_content("", "text/plain");
    });
  });
  boot();
  using P = CookieAcceptPolicy;
  struct Case {
    P config, storage;
    std::optional<std::string> main_document;
    bool stored;
  };
  const Case cases[] = {
      {P::always, P::never, std::nullopt, true},
      {P::always, P::never, "https://www.elsewhere.test/", true},
      {P::never, P::always, std::nullopt, false},
      {P::never, P::always, "https://intranet.example.org/", false},
      {P::only_from_main_document_domain, P::never, std::nullopt, true},
      {P::only_from_main_document_domain, P::never, "https://www.intranet.example.org/page", true},
      {P::only_from_main_document_domain, P::always, "https://www.elsewhere.test/", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.config)) + " " + c.main_document.value_or("-"));
    auto config = Configuration::ephemeral();
    config.cookie_accept_policy = c.config;
    config.cookie_storage->set_accept_policy(c.storage);
    auto session = Session::make(config);
    Request request(https("/set"));
    if (c.main_document) request.main_document_url = url(*c.main_document);
    std::atomic<bool> done{false};
    std::optional<Error> error;
    session->data_task(request, [&](std::optional<Bytes>, std::shared_ptr<const Response>, std::optional<Error> e) {
      error = e;
      done = true;
    })->resume();
    ASSERT_TRUE(wait_until([&] { return done.load(); }));
    EXPECT_FALSE(error);
    EXPECT_EQ(config.cookie_storage->cookies().size(), c.stored ? 1u : 0u);
    session->finish_tasks_and_invalidate();
  }
}

TEST_F(WireTest, HeadHasNoBodyAndWillCacheIsOfferedForCacheableGets) {
  add_server(kHost, [](TestServer& s, TestServer&) {
    s.Get("/page", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("page", "application/octet-stream"); });
  });
  boot();
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  Request head(https("/page"));
  head.method = "HEAD";
  session->data_task(head)->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(delegate->collapsed(), (std::vector<std::string>{"response", "metrics", "complete"}));
  EXPECT_EQ(delegate->response->expected_content_length, 4);

  auto get_delegate = std::make_shared<RecordingDelegate>();
  auto get_session = Session::make(Configuration::ephemeral(), get_delegate);
  get_session->data_task(Request(https("/page")))->resume();
  ASSERT_TRUE(wait_until([&] { return get_delegate->completed(); }));
  EXPECT_EQ(get_delegate->collapsed(), (std::vector<std::string>{"response", "data", "will-cache", "metrics", "complete"}));
}

}  // namespace
}  // namespace platform::net::test
