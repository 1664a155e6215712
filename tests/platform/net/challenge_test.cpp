// Server trust and HTTP authentication challenges.
#include "fixture.h"


namespace platform::net::test {
namespace {

namespace ue = foundation::url_error;

class ChallengeTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    auto routes = [](TestServer& s, TestServer& server) {
      s.Get("/ok", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("ok", "text/plain"); });
      s.Get("/hold", [&server](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) { server.hold(req, res); });
      s.Get("/basic", [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
        // "user:secret"
        if (req.get_header_value("Authorization") == "Basic dXNlcjpzZWNyZXQ=") return res.set_content("welcome", "text/plain");
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"intranet\"");
        res.set_content("denied", "text/plain");
      });
    };
    trusted_ = &add_server(kHost, routes);
    add_server(kOtherHost, routes, ::testing::fakes::Certificate::self_signed);
    boot();
  }

  TestServer* trusted_ = nullptr;
};

TEST_F(ChallengeTest, ServerTrustTable) {
  enum class Level { none, session, task };
  struct Case {
    const char* name;
    std::string host;
    Level implemented;               // the level that answers (the other is declined)
    std::optional<AuthDisposition> answer;
    bool with_trust;                 // use_credential carries the challenge's trust
    std::optional<std::int64_t> error;
    std::vector<std::string> challenges;
  };
  const std::vector<Case> cases{
      {"session level wins", kHost, Level::session, AuthDisposition::perform_default, false, {}, {"session-challenge"}},
      {"declined session -> task level", kHost, Level::task, AuthDisposition::perform_default, false, {}, {"task-challenge"}},
      {"neither -> default", kHost, Level::none, {}, false, {}, {}},
      {"self-signed, default", kOtherHost, Level::none, {}, false, ue::server_certificate_untrusted, {}},
      {"self-signed, session perform_default", kOtherHost, Level::session, AuthDisposition::perform_default, false,
       ue::server_certificate_untrusted, {"session-challenge"}},
      {"self-signed, session use_credential", kOtherHost, Level::session, AuthDisposition::use_credential, true, {},
       {"session-challenge"}},
      {"self-signed, task use_credential", kOtherHost, Level::task, AuthDisposition::use_credential, true, {},
       {"task-challenge"}},
      {"cancel", kHost, Level::session, AuthDisposition::cancel, false, ue::cancelled, {"session-challenge"}},
      {"reject", kHost, Level::task, AuthDisposition::reject_protection_space, false, ue::cancelled, {"task-challenge"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto delegate = std::make_shared<RecordingDelegate>();
    if (c.implemented != Level::session) delegate->declined.insert(Callback::session_challenge);
    if (c.implemented != Level::task) delegate->declined.insert(Callback::task_challenge);
    auto answer = [&c](const Challenge& ch, ChallengeHandler h) {
      Credential credential;
      if (c.with_trust) credential.server_trust = ch.server_trust;
      h(*c.answer, c.with_trust ? std::optional<Credential>(credential) : std::nullopt);
    };
    delegate->on_session_challenge = answer;
    delegate->on_task_challenge = answer;
    auto session = Session::make(Configuration::ephemeral(), delegate);
    session->data_task(Request(https("/ok", c.host)))->resume();
    ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
    if (c.error) {
      ASSERT_TRUE(delegate->error);
      EXPECT_EQ(delegate->error->code, *c.error);
    } else {
      EXPECT_FALSE(delegate->error) << delegate->error->description();
      EXPECT_EQ(to_string(delegate->data), "ok");
    }
    std::vector<std::string> seen;
    for (const auto& e : delegate->log_copy()) {
      if (e.find("challenge") != std::string::npos) seen.push_back(e);
    }
    EXPECT_EQ(seen, c.challenges);
    for (const auto& ch : delegate->challenges) {
      EXPECT_EQ(ch.space.host, c.host);
      EXPECT_EQ(ch.space.port, 443);
      EXPECT_EQ(ch.space.authentication_method, auth_method_server_trust);
      ASSERT_TRUE(ch.server_trust);
      EXPECT_GE(ch.server_trust->certificate_count(), 1u);
    }
  }
}

TEST_F(ChallengeTest, AReusedConnectionIsNotChallengedAgainButAnotherSessionIs) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  for (int i = 0; i < 3; ++i) {
    auto task = session->data_task(Request(https("/ok")));
    task->resume();
    ASSERT_TRUE(wait_until([&] { return task->state() == TaskState::completed; }));
    EXPECT_FALSE(task->error());
  }
  auto log = delegate->log_copy();
  EXPECT_EQ(std::count(log.begin(), log.end(), "session-challenge"), 1);
  std::set<int> ports;
  for (const auto& r : trusted_->requests()) ports.insert(r.remote_port);
  EXPECT_EQ(ports.size(), 1u);

  auto other = std::make_shared<RecordingDelegate>();
  auto second = Session::make(Configuration::ephemeral(), other);
  second->data_task(Request(https("/ok")))->resume();
  ASSERT_TRUE(wait_until([&] { return other->completed(); }));
  EXPECT_TRUE(other->has("session-challenge"));
}

TEST_F(ChallengeTest, AnAnswerThatNeverComesEndsAtTheTimeout) {
  auto delegate = std::make_shared<RecordingDelegate>();
  std::vector<ChallengeHandler> kept;
  std::mutex m;
  delegate->on_session_challenge = [&](const Challenge&, ChallengeHandler h) {
    std::lock_guard lk(m);
    kept.push_back(std::move(h));  // never called
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  Request request(https("/ok"));
  request.timeout = 0.3;
  session->data_task(request)->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, ue::timed_out);
  // Answering afterwards changes nothing.
  std::lock_guard lk(m);
  for (auto& h : kept) h(AuthDisposition::perform_default, std::nullopt);
}

TEST_F(ChallengeTest, ASecondCallOfTheHandlerIsIgnored) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->on_session_challenge = [](const Challenge&, ChallengeHandler h) {
    h(AuthDisposition::perform_default, std::nullopt);
    h(AuthDisposition::cancel, std::nullopt);
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/ok")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(to_string(delegate->data), "ok");
}

TEST_F(ChallengeTest, AnAnswerFromAnotherThreadLaterIsWaitedFor) {
  auto delegate = std::make_shared<RecordingDelegate>();
  std::thread answerer;
  delegate->on_session_challenge = [&](const Challenge&, ChallengeHandler h) {
    answerer = std::thread([h] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      h(AuthDisposition::perform_default, std::nullopt);
    });
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/ok")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  answerer.join();
  EXPECT_FALSE(delegate->error);
}

TEST_F(ChallengeTest, BasicAuthenticationRoundsCountFailures) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->declined.insert(Callback::session_challenge);
  delegate->on_task_challenge = [](const Challenge& c, ChallengeHandler h) {
    if (c.space.authentication_method == auth_method_server_trust) return h(AuthDisposition::perform_default, std::nullopt);
    Credential credential;
    credential.user_password = std::pair<std::string, std::string>("user", c.previous_failure_count == 0 ? "wrong" : "secret");
    h(AuthDisposition::use_credential, credential);
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/basic")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(to_string(delegate->data), "welcome");
  std::vector<int> failures;
  for (const auto& c : delegate->challenges) {
    if (c.space.authentication_method != auth_method_basic) continue;
    failures.push_back(c.previous_failure_count);
    EXPECT_EQ(c.space.realm, "intranet");
    EXPECT_EQ(c.space.host, kHost);
    ASSERT_TRUE(c.failure_response);
    EXPECT_EQ(c.failure_response->status, 401);
  }
  EXPECT_EQ(failures, (std::vector<int>{0, 1}));
  EXPECT_EQ(trusted_->count("/basic"), 3u);
}

TEST_F(ChallengeTest, BasicDefaultHandlingUsesTheStoredCredentialElseDeliversThe401) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->declined = {Callback::session_challenge, Callback::task_challenge};
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/basic")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(delegate->response->status, 401);
  EXPECT_EQ(to_string(delegate->data), "denied");

  ProtectionSpace space;
  space.host = kHost;
  space.port = 443;
  space.protocol = "https";
  space.realm = "intranet";
  space.authentication_method = std::string(auth_method_basic);
  Credential stored;
  stored.user_password = std::pair<std::string, std::string>("user", "secret");
  stored.persistence = Credential::for_session;
  CredentialStorage::shared()->set(stored, space, true);
  auto second = std::make_shared<RecordingDelegate>();
  second->declined = delegate->declined;
  auto session2 = Session::make(Configuration::ephemeral(), second);
  session2->data_task(Request(https("/basic")))->resume();
  ASSERT_TRUE(wait_until([&] { return second->completed(); }));
  EXPECT_EQ(second->response->status, 200);
  EXPECT_EQ(to_string(second->data), "welcome");
}

TEST_F(ChallengeTest, CancellingAnAuthenticationChallengeCancelsTheTask) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->declined.insert(Callback::session_challenge);
  delegate->on_task_challenge = [](const Challenge& c, ChallengeHandler h) {
    h(c.space.authentication_method == auth_method_server_trust ? AuthDisposition::perform_default : AuthDisposition::cancel,
      std::nullopt);
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  session->data_task(Request(https("/basic")))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, ue::cancelled);
}

}  // namespace
}  // namespace platform::net::test
