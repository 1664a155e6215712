// Requests, factories and the session delegate's routing, against idle tasks
// and connections refused on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "http/af_error.h"
#include "http/session_manager.h"
#include "http_support.h"
#include "platform/foundation/notification.h"

namespace {

using namespace Duvarel;
using http_test::await;
using http_test::outcomeOf;
namespace net = platform::net;

constexpr const char* kRefused = "http://127.0.0.1:9/refused";

// Records every lifecycle post of the HTTP client.
class Posts {
 public:
  Posts() {
    for (const auto* name : {&Notification::Name::Task::didResume, &Notification::Name::Task::didSuspend,
                             &Notification::Name::Task::didCancel, &Notification::Name::Task::didComplete})
      tokens_.push_back(foundation::NotificationCenter::default_center().add_observer(
          this, *name, nullptr, nullptr, [this](const foundation::Notification& n) {
            std::lock_guard lk(m_);
            posts_.push_back(n);
          }));
  }
  ~Posts() { foundation::NotificationCenter::default_center().remove_all(this); }
  std::vector<foundation::Notification> named(const std::string& name) const {
    std::lock_guard lk(m_);
    std::vector<foundation::Notification> out;
    for (const auto& n : posts_)
      if (n.name == name) out.push_back(n);
    return out;
  }
  std::size_t count() const {
    std::lock_guard lk(m_);
    return posts_.size();
  }

 private:
  mutable std::mutex m_;
  std::vector<foundation::Notification> posts_;
  std::vector<foundation::ObserverToken> tokens_;
};

class RequestTest : public ::testing::Test {
 protected:
  void TearDown() override {
    manager.reset();
    platform::testing::reset();
  }
  std::shared_ptr<SessionManager> manager = SessionManager::init(net::Configuration::ephemeral());
};

TEST_F(RequestTest, LifecyclePostsCarryExactlyTheTaskKey) {
  Posts posts;
  manager->setStartRequestsImmediately(false);
  auto request = manager->makeDataRequest(kRefused);
  ASSERT_TRUE(request->task());
  EXPECT_EQ(manager->delegate()->requestForTask(*request->task()), request);  // registered though not started
  EXPECT_FALSE(request->startTime());
  request->suspend();  // before the transfer starts
  request->resume();
  auto first = request->startTime();
  ASSERT_TRUE(first);
  request->resume();
  EXPECT_EQ(request->startTime(), first);
  request->cancel();

  EXPECT_EQ(posts.named(Notification::Name::Task::didResume).size(), 2u);
  EXPECT_EQ(posts.named(Notification::Name::Task::didSuspend).size(), 1u);
  EXPECT_EQ(posts.named(Notification::Name::Task::didCancel).size(), 1u);
  for (const auto* name : {&Notification::Name::Task::didResume, &Notification::Name::Task::didSuspend,
                           &Notification::Name::Task::didCancel}) {
    for (const auto& n : posts.named(*name)) {
      EXPECT_EQ(n.sender(), request.get());
      EXPECT_EQ(n.user_info.keys(), std::vector<std::string>{"org.duvarel.notification.key.task"});
      EXPECT_EQ(n.user_info.get(Notification::Key::task).object<net::Task>(), request->task());
    }
  }
  await(outcomeOf(request));
}

TEST_F(RequestTest, TasklessRequestDeliversItsErrorAndPostsNothing) {
  Posts posts;
  auto request = std::make_shared<DataRequest>(manager->session(), Request::RequestTask::data(nullptr, nullptr),
                                               Error(AFError::invalidURL(std::string("bad"))));
  request->suspend();
  request->cancel();
  EXPECT_EQ(request->description(), "");
  auto pending = outcomeOf(request);
  request->resume();
  auto outcome = await(std::move(pending));
  ASSERT_TRUE(outcome.error);
  ASSERT_TRUE(outcome.error->as<AFError>());
  EXPECT_TRUE(outcome.error->as<AFError>()->isInvalidURLError());
  EXPECT_TRUE(outcome.endTime);
  EXPECT_FALSE(request->startTime());
  EXPECT_EQ(posts.count(), 0u);
}

std::shared_ptr<DataRequest> tasklessRequest(const std::shared_ptr<net::Session>& session, net::Request r) {
  return std::make_shared<DataRequest>(session, Request::RequestTask::data(std::make_shared<DataRequest::Requestable>(r), nullptr));
}

net::Request requestFor(const std::string& url, std::string method = "GET") {
  net::Request r(*foundation::Url::parse(url));
  r.method = std::move(method);
  return r;
}

TEST_F(RequestTest, CurlRepresentation) {
  const std::string j = " \\\n\t";
  auto session = manager->session();

  EXPECT_EQ(tasklessRequest(session, requestFor("https://h.example.org/p"))->curlRepresentation(),
            "$ curl -v" + j + "\"https://h.example.org/p\"");
  EXPECT_EQ(tasklessRequest(session, requestFor("https://h.example.org/p", "get"))->curlRepresentation(),
            "$ curl -v" + j + "-X get" + j + "\"https://h.example.org/p\"");
  EXPECT_EQ(tasklessRequest(session, requestFor("file:///tmp/x"))->curlRepresentation(), "$ curl command could not be created");
  EXPECT_EQ(std::make_shared<DataRequest>(session, Request::RequestTask::data(nullptr, nullptr))->curlRepresentation(),
            "$ curl command could not be created");

  net::Request post = requestFor("https://h.example.org/p", "POST");
  post.headers.set("X-Quote", "say \"hi\"");
  post.headers.set("Cookie", "hidden=1");
  post.body = foundation::to_bytes(R"(a"b\"c)");
  for (const char* name : {"a", "b"}) {
    net::Cookie c;
    c.name = name;
    c.value = "1";
    c.domain = "h.example.org";
    session->configuration().cookie_storage->set_cookie(c);
  }
  auto request = tasklessRequest(session, post);
  request->authenticate("u", "p");
  EXPECT_EQ(request->curlRepresentation(), "$ curl -v" + j + "-X POST" + j + "-u u:p" + j + "-b \"a=1;b=1\"" + j +
                                               "-H \"X-Quote: say \\\"hi\\\"\"" + j + "-d \"a\\\"b\\\\\\\"c\"" + j +
                                               "\"https://h.example.org/p\"");
  // A body that is not UTF-8 adds no part.
  post.body = foundation::Bytes{0xff, 0xfe};
  EXPECT_EQ(tasklessRequest(session, post)->curlRepresentation().find("-d "), std::string::npos);
}

TEST(RequestStatics, AuthorizationHeader) {
  EXPECT_EQ(Request::authorizationHeader("user", "pass"), (std::pair<std::string, std::string>{"Authorization", "Basic dXNlcjpwYXNz"}));
  EXPECT_EQ(Request::authorizationHeader("", "")->second, "Basic Og==");
  EXPECT_FALSE(Request::authorizationHeader("\xff", "x"));
}

TEST(RequestStatics, SuggestedDownloadDestinationUsesASafeBaseName) {
  http_test::Device device({}, nullptr);
  auto temp = foundation::Url::file("/tmp/CFNetworkDownload_x.tmp");
  auto documents = platform::os::FileManager::shared().url_for(platform::os::Directory::documents);
  struct Case {
    std::optional<std::string> suggested;
    std::string expected;
  };
  for (const auto& c : std::vector<Case>{{"report.pdf", "report.pdf"},
                                          {"../../etc/passwd", "Unknown"},
                                          {"..", "Unknown"},
                                          {".", "Unknown"},
                                          {std::string("a\0b", 3), "Unknown"},
                                          {std::nullopt, "Unknown"}}) {
    net::Response response;
    response.suggested_filename = c.suggested;
    auto [url, options] = DownloadRequest::suggestedDownloadDestination()(temp, response);
    EXPECT_EQ(url.file_path(), documents / c.expected);
    EXPECT_TRUE(options.isEmpty());
  }
  net::Response response;
  response.suggested_filename = "x.bin";
  auto [url, options] = DownloadRequest::suggestedDownloadDestination(platform::os::Directory::documents, SearchPathDomain::local)(temp, response);
  EXPECT_EQ(url, temp);
}

TEST_F(RequestTest, KindRequestsFallBackToTheirFactory) {
  auto session = manager->session();
  auto r = requestFor("https://h.example.org/up", "PUT");
  auto upload = std::make_shared<UploadRequest>(
      session, Request::RequestTask::upload(std::make_shared<UploadRequest::Uploadable>(
                                                UploadRequest::Uploadable::file(foundation::Url::file("/tmp/f"), r)),
                                            nullptr));
  EXPECT_EQ(upload->request()->method, "PUT");
  auto resume = std::make_shared<DownloadRequest>(
      session, Request::RequestTask::download(
                   std::make_shared<DownloadRequest::Downloadable>(DownloadRequest::Downloadable::resumeData({1})), nullptr));
  EXPECT_FALSE(resume->request());
  auto download = std::make_shared<DownloadRequest>(
      session, Request::RequestTask::download(std::make_shared<DownloadRequest::Downloadable>(DownloadRequest::Downloadable::request(r)), nullptr));
  EXPECT_EQ(download->request()->method, "PUT");
  EXPECT_EQ(download->description(), "PUT https://h.example.org/up");
}

// ---- factories --------------------------------------------------------------------

class FailingAdapter : public RequestAdapter {
 public:
  Expected<URLRequest> adapt(URLRequest r) override {
    if (failures.fetch_sub(1) > 0) return Error(foundation::Error("Adapter", 7));
    return r;
  }
  std::atomic<int> failures{1};
};

class ScriptedRetrier : public RequestRetrier {
 public:
  void shouldRetry(const std::shared_ptr<SessionManager>& m, const std::shared_ptr<Request>& request, const Error& error,
                   RequestRetryCompletion completion) override {
    {
      std::lock_guard lk(mutex);
      errors.push_back(error);
      asked.push_back(request);
      EXPECT_TRUE(m);
    }
    answer(completion);
  }
  std::function<void(RequestRetryCompletion&)> answer = [](RequestRetryCompletion& c) { c(false, 0); };
  std::mutex mutex;
  std::vector<Error> errors;
  std::vector<std::shared_ptr<Request>> asked;
  std::size_t count() {
    std::lock_guard lk(mutex);
    return asked.size();
  }
};

TEST_F(RequestTest, InvalidURLGivesAnUnregisteredTasklessRequest) {
  auto request = manager->makeDataRequest("");
  EXPECT_FALSE(request->task());
  EXPECT_FALSE(request->originalTask());
  EXPECT_EQ(manager->delegate()->requestCount(), 0u);
  auto outcome = await(outcomeOf(request));
  ASSERT_TRUE(outcome.error && outcome.error->as<AFError>());
  EXPECT_TRUE(outcome.error->as<AFError>()->isInvalidURLError());
}

TEST_F(RequestTest, EncodingFailureKeepsTheURLRequest) {
  auto request = manager->makeDataRequest("https://h.example.org/x", HTTPMethod::post, Parameters{{"n", std::nan("")}},
                                          JSONEncoding::standard);
  EXPECT_FALSE(request->task());
  ASSERT_TRUE(request->request());
  EXPECT_EQ(request->request()->url->absolute_string(), "https://h.example.org/x");
  EXPECT_EQ(request->request()->method, "POST");
  auto outcome = await(outcomeOf(request));
  ASSERT_TRUE(outcome.error && outcome.error->as<AFError>());
  EXPECT_TRUE(outcome.error->as<AFError>()->isParameterEncodingError());

  // A download failing the same way keeps no downloadable, so it cannot be retried.
  auto download = manager->makeDownloadRequest("https://h.example.org/x", HTTPMethod::post, Parameters{{"n", std::nan("")}},
                                               JSONEncoding::standard);
  EXPECT_FALSE(download->originalTask());
  EXPECT_FALSE(manager->retry(download));
}

TEST_F(RequestTest, AdapterFailureWithoutRetrierDeliversTheAdaptersError) {
  manager->setAdapter(std::make_shared<FailingAdapter>());
  auto request = manager->makeDataRequest(kRefused);
  EXPECT_FALSE(request->task());
  auto outcome = await(outcomeOf(request));
  ASSERT_TRUE(outcome.error);
  EXPECT_FALSE(outcome.error->is<AdaptError>());
  EXPECT_EQ(outcome.error->bridged().domain, "Adapter");
}

TEST_F(RequestTest, AdapterFailureWaitsForTheRetrier) {
  manager->setAdapter(std::make_shared<FailingAdapter>());
  auto retrier = std::make_shared<ScriptedRetrier>();
  std::promise<ScriptedRetrier::RequestRetryCompletion> held;
  std::atomic<int> calls{0};
  retrier->answer = [&](ScriptedRetrier::RequestRetryCompletion& c) {
    if (calls++ == 0) return held.set_value(c);
    c(false, 0);
  };
  manager->setRetrier(retrier);
  auto request = manager->makeDataRequest(kRefused);
  auto f = held.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(request->taskDelegate()->queue().is_suspended());  // not resumed while the retrier decides
  EXPECT_EQ(retrier->errors.front().bridged().domain, "Adapter");
  f.get()(true, 0);  // the adapter succeeds now: a task is made and registered
  auto outcome = await(outcomeOf(request));
  ASSERT_TRUE(request->task());
  EXPECT_EQ(request->retryCount(), 1u);
  EXPECT_EQ(http_test::urlErrorCode(outcome.error), -1004);
}

TEST_F(RequestTest, AdapterFailureRefusedByTheRetrierResumesWithTheError) {
  manager->setAdapter(std::make_shared<FailingAdapter>());
  auto retrier = std::make_shared<ScriptedRetrier>();
  // Answering twice acts once.
  retrier->answer = [](ScriptedRetrier::RequestRetryCompletion& c) {
    c(false, 0);
    c(true, 0);
  };
  manager->setRetrier(retrier);
  auto request = manager->makeDataRequest(kRefused);
  auto outcome = await(outcomeOf(request));
  EXPECT_EQ(outcome.error->bridged().domain, "Adapter");
  EXPECT_FALSE(request->task());
  EXPECT_EQ(request->retryCount(), 0u);
}

TEST_F(RequestTest, ManagersAndSessions) {
  auto other = SessionManager::init(net::Configuration::ephemeral());
  const std::string prefix = "org.duvarel.session-manager.";
  EXPECT_EQ(manager->queue().label().rfind(prefix, 0), 0u);
  EXPECT_EQ(manager->queue().label().size(), prefix.size() + 36);
  EXPECT_NE(manager->queue().label(), other->queue().label());

  auto delegate = std::make_shared<SessionDelegate>();
  auto session = net::Session::make(net::Configuration::ephemeral(), delegate);
  EXPECT_FALSE(SessionManager::initWithSession(session, std::make_shared<SessionDelegate>()));
  auto wrapped = SessionManager::initWithSession(session, delegate);
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->session(), session);
  EXPECT_EQ(delegate->sessionManager(), wrapped);
}

TEST_F(RequestTest, ReleasingAManagerCancelsItsTasks) {
  testing::fakes::FakeService slow("slow", {"slow.example.org"});
  slow.on("GET", "/held", slow.held(std::chrono::seconds(10)));
  auto request = manager->makeDataRequest("http://127.0.0.1:" + std::to_string(slow.port()) + "/held");
  ASSERT_TRUE(slow.wait_for([&] { return slow.count("GET", "/held") == 1; }, std::chrono::seconds(30)));
  auto pending = outcomeOf(request);
  manager.reset();
  EXPECT_EQ(http_test::urlErrorCode(await(std::move(pending)).error), -999);
}

// ---- session delegate -------------------------------------------------------------

TEST_F(RequestTest, ImplementsAnswersByClosures) {
  using C = net::Callback;
  auto d = std::make_shared<SessionDelegate>();
  for (auto cb : {C::session_invalid, C::session_challenge, C::background_events_finished, C::task_redirect,
                  C::data_response, C::stream_read_closed, C::stream_write_closed, C::stream_better_route,
                  C::stream_became_streams})
    EXPECT_FALSE(d->implements(cb)) << static_cast<int>(cb);
  for (auto cb : {C::task_challenge, C::task_body_stream, C::task_sent_body, C::task_metrics, C::task_complete,
                  C::data_became_download, C::data_received, C::data_will_cache, C::download_finished, C::download_wrote,
                  C::download_resumed})
    EXPECT_TRUE(d->implements(cb)) << static_cast<int>(cb);
  d->setSessionDidReceiveChallenge([](net::Session&, const net::Challenge&) { return ChallengeAnswer{}; });
  d->setDataTaskDidReceiveResponseWithCompletion([](auto&, auto&, auto&, auto) {});
  d->setStreamTaskReadClosed([](net::Session&, net::StreamTask&) {});
  EXPECT_TRUE(d->implements(C::session_challenge));
  EXPECT_TRUE(d->implements(C::data_response));
  EXPECT_TRUE(d->implements(C::stream_read_closed));
  // A stored value of another type reads as none.
  d->setStoredStreamClosure(SessionDelegate::StreamClosure::readClosed, std::any(42));
  EXPECT_FALSE(d->streamTaskReadClosed());
  EXPECT_FALSE(d->implements(C::stream_read_closed));
}

TEST(SessionDelegateOs8, StreamCallbacksFollowTheClassRuleBeforeNine) {
  http_test::Device device({}, nullptr, "8.4");
  auto d = std::make_shared<SessionDelegate>();
  EXPECT_TRUE(d->implements(net::Callback::stream_read_closed));
  EXPECT_TRUE(d->implements(net::Callback::stream_became_streams));
  EXPECT_FALSE(d->implements(net::Callback::session_invalid));
}

TEST_F(RequestTest, OverrideWinsAloneAndCompletionPostsData) {
  Posts posts;
  manager->setStartRequestsImmediately(false);
  auto delegate = manager->delegate();
  auto& session = *manager->session();
  auto request = manager->makeDataRequest(kRefused);
  auto task = std::static_pointer_cast<net::DataTask>(request->task());
  auto data = std::static_pointer_cast<DataTaskDelegate>(request->taskDelegate());

  int overridden = 0;
  delegate->setDataTaskDidReceiveData([&](net::Session&, net::DataTask&, const foundation::Bytes&) { ++overridden; });
  delegate->did_receive_data(session, *task, foundation::Bytes{1});
  EXPECT_EQ(overridden, 1);
  EXPECT_EQ(data->data(), foundation::Bytes{});
  delegate->setDataTaskDidReceiveData(nullptr);
  delegate->did_receive_data(session, *task, foundation::Bytes{1, 2});
  EXPECT_EQ(data->data(), (foundation::Bytes{1, 2}));

  // A redirection answered none by the closure, a response without closures, caching without a request.
  delegate->setTaskWillPerformHTTPRedirection([](auto&, auto&, auto&, auto&) { return std::optional<net::Request>(); });
  delegate->will_perform_redirection(session, *task, net::Response{}, requestFor("https://h.example.org/"),
                                     [](std::optional<net::Request> r) { EXPECT_FALSE(r); });
  delegate->did_receive_response(session, *task, net::Response{}, [](net::ResponseDisposition d) {
    EXPECT_EQ(d, net::ResponseDisposition::allow);
  });
  EXPECT_FALSE(data->expectedContentLength());

  // Completion: taskDidComplete first, the entry is still there when didComplete is posted.
  bool entryAtPost = false;
  auto token = foundation::NotificationCenter::default_center().add_observer(
      nullptr, Notification::Name::Task::didComplete, nullptr, nullptr,
      [&](const foundation::Notification&) { entryAtPost = delegate->requestForTask(*task) != nullptr; });
  int completions = 0;
  delegate->setTaskDidComplete([&](auto&, auto&, const std::optional<Error>&) { ++completions; });
  delegate->did_complete(session, *task, std::nullopt);
  token.remove();
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(entryAtPost);
  EXPECT_FALSE(delegate->requestForTask(*task));
  auto done = posts.named(Notification::Name::Task::didComplete);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].sender(), delegate.get());
  EXPECT_EQ(done[0].user_info.get(Notification::Key::responseData), foundation::Value(foundation::Bytes{1, 2}));
  EXPECT_FALSE(await(outcomeOf(request)).error);

  // Without a request: only the task key; a streaming data delegate adds no data either.
  auto loose = manager->session()->data_task(requestFor(kRefused));
  delegate->did_complete(session, *loose, std::nullopt);
  auto streaming = manager->makeDataRequest(kRefused);
  streaming->streamData([](const foundation::Bytes&) {});
  delegate->did_complete(session, *streaming->task(), std::nullopt);
  done = posts.named(Notification::Name::Task::didComplete);
  ASSERT_EQ(done.size(), 3u);
  EXPECT_EQ(done[1].user_info.keys(), std::vector<std::string>{Notification::Key::task});
  EXPECT_EQ(done[2].user_info.keys(), std::vector<std::string>{Notification::Key::task});
  EXPECT_EQ(completions, 3);
}

TEST_F(RequestTest, RetrierAskedOnlyWithAnErrorAndALiveManager) {
  auto retrier = std::make_shared<ScriptedRetrier>();
  manager->setRetrier(retrier);
  manager->setStartRequestsImmediately(false);
  auto delegate = manager->delegate();
  auto& session = *manager->session();

  auto clean = manager->makeDataRequest(kRefused);
  delegate->did_complete(session, *clean->task(), std::nullopt);
  EXPECT_EQ(retrier->count(), 0u);

  // The task delegate's own error counts as an error.
  auto flagged = manager->makeDataRequest(kRefused);
  flagged->taskDelegate()->setError(Error(foundation::Error("Mine", 3)));
  delegate->did_complete(session, *flagged->task(), std::nullopt);
  EXPECT_EQ(retrier->count(), 1u);
  EXPECT_EQ(await(outcomeOf(flagged)).error->bridged().domain, "Mine");

  // A gone manager: no validations, no retrier.
  auto orphan = manager->makeDataRequest(kRefused);
  int validations = 0;
  orphan->addValidation([&] { ++validations; });
  auto task = orphan->task();
  delegate->setSessionManager({});
  delegate->did_complete(session, *task, foundation::Error("NSURLErrorDomain", -1));
  EXPECT_EQ(retrier->count(), 1u);
  EXPECT_EQ(validations, 0);
}

TEST_F(RequestTest, RetryRunsAgainUnderANewTaskThenCompletesWithTheRefusedError) {
  Posts posts;
  auto retrier = std::make_shared<ScriptedRetrier>();
  std::atomic<int> answers{0};
  // Retry the first failure; refuse the second, twice over (the second call is ignored).
  retrier->answer = [&](ScriptedRetrier::RequestRetryCompletion& c) {
    if (answers++ == 0) return c(true, 0);
    c(false, 0);
    c(false, 0);
  };
  manager->setRetrier(retrier);
  manager->setStartRequestsImmediately(false);
  auto request = manager->makeDataRequest(kRefused);
  std::atomic<int> validations{0};
  request->addValidation([&] { ++validations; });
  auto firstTask = request->task();
  request->resume();
  auto outcome = await(outcomeOf(request));
  EXPECT_EQ(http_test::urlErrorCode(outcome.error), -1004);
  EXPECT_EQ(retrier->count(), 2u);
  EXPECT_EQ(validations.load(), 2);
  EXPECT_EQ(request->retryCount(), 1u);
  EXPECT_NE(request->task(), firstTask);
  EXPECT_FALSE(manager->delegate()->requestForTask(*firstTask));
  EXPECT_EQ(posts.named(Notification::Name::Task::didResume).size(), 1u);  // the retry resumes without a post
  ASSERT_TRUE(manager->delegate()->sessionManager());
  // Completed once: one didComplete post, for the second task.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (posts.named(Notification::Name::Task::didComplete).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  auto done = posts.named(Notification::Name::Task::didComplete);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].user_info.get(Notification::Key::task).object<net::Task>(), request->task());
  EXPECT_EQ(manager->delegate()->requestCount(), 0u);
}

TEST_F(RequestTest, RetryOfAFactorylessRequestChangesNothing) {
  auto request = std::make_shared<DataRequest>(manager->session(), Request::RequestTask::data(nullptr, nullptr));
  EXPECT_FALSE(manager->retry(request));
  EXPECT_EQ(request->retryCount(), 0u);
  EXPECT_FALSE(request->task());
}

}  // namespace

namespace {

class CountingDelegate : public SessionDelegate {
 public:
  void did_receive_challenge(net::Session& s, const net::Challenge& c, net::ChallengeHandler h) override {
    ++sessionLevel;
    SessionDelegate::did_receive_challenge(s, c, std::move(h));
  }
  std::atomic<int> sessionLevel{0};
};

TEST_F(RequestTest, RoutesChallengesBodyStreamsCachingAndDownloads) {
  auto delegate = std::make_shared<CountingDelegate>();
  manager = SessionManager::init(net::Configuration::ephemeral(), delegate);
  manager->setStartRequestsImmediately(false);
  auto& session = *manager->session();
  net::Challenge basic;
  basic.space = {"h.example.org", 443, "https", "r", std::string(net::auth_method_basic)};
  auto answer = [](net::AuthDisposition expected) {
    return [expected](net::AuthDisposition d, std::optional<net::Credential>) { EXPECT_EQ(d, expected); };
  };

  // An unregistered task's challenge goes to the session level, whatever implements() says.
  auto loose = session.data_task(requestFor(kRefused));
  EXPECT_FALSE(delegate->implements(net::Callback::session_challenge));
  delegate->task_did_receive_challenge(session, *loose, basic, answer(net::AuthDisposition::perform_default));
  EXPECT_EQ(delegate->sessionLevel.load(), 1);
  // A registered one goes to its task delegate (a failed basic challenge is rejected there).
  auto request = manager->makeDataRequest(kRefused);
  auto again = basic;
  again.previous_failure_count = 1;
  delegate->task_did_receive_challenge(session, *request->task(), again, answer(net::AuthDisposition::reject_protection_space));
  EXPECT_EQ(delegate->sessionLevel.load(), 1);
  // The with-completion closure is consulted before the plain one.
  delegate->setTaskDidReceiveChallenge([](auto&, auto&, auto&) { return ChallengeAnswer{net::AuthDisposition::cancel, {}}; });
  delegate->task_did_receive_challenge(session, *request->task(), basic, answer(net::AuthDisposition::cancel));
  delegate->setTaskDidReceiveChallengeWithCompletion(
      [](auto&, auto&, auto&, net::ChallengeHandler h) { h(net::AuthDisposition::use_credential, std::nullopt); });
  delegate->task_did_receive_challenge(session, *request->task(), basic, answer(net::AuthDisposition::use_credential));

  // Body streams: the request's own closure, none without one.
  auto stream = foundation::InputStream::from_data({1});
  request->taskDelegate()->setTaskNeedNewBodyStream([stream](auto&, auto&) { return stream; });
  delegate->need_new_body_stream(session, *request->task(), [&](auto s) { EXPECT_EQ(s, stream); });
  delegate->need_new_body_stream(session, *loose, [](auto s) { EXPECT_FALSE(s); });

  // Caching: unchanged without closures; the data delegate's closure when set.
  net::CachedResponse proposed{nullptr, {7}};
  delegate->will_cache_response(session, *loose, proposed, [](auto r) { EXPECT_EQ(r->data, foundation::Bytes{7}); });
  std::static_pointer_cast<DataTaskDelegate>(request->taskDelegate())
      ->setDataTaskWillCacheResponse([](auto&, auto&, auto&) { return std::optional<net::CachedResponse>(); });
  delegate->will_cache_response(session, *static_cast<net::DataTask*>(request->task().get()), proposed,
                                [](auto r) { EXPECT_FALSE(r); });

  // Body progress reaches only an upload delegate.
  delegate->did_send_body_data(session, *request->task(), 1, 1, 2);
  auto upload = manager->makeDataUploadRequest({1, 2}, kRefused);
  delegate->did_send_body_data(session, *upload->task(), 1, 1, 2);
  EXPECT_EQ(request->taskDelegate()->initialResponseTime(), std::nullopt);
  EXPECT_EQ(upload->uploadProgress()->completedUnitCount(), 1);

  // Resume at an offset without a closure sets the download progress; metrics are stored.
  auto download = manager->makeDownloadRequestWithURLRequest(requestFor(kRefused));
  auto task = std::static_pointer_cast<net::DownloadTask>(download->task());
  delegate->did_resume_at_offset(session, *task, 10, 40);
  EXPECT_EQ(download->progress()->completedUnitCount(), 10);
  EXPECT_EQ(download->progress()->totalUnitCount(), 40);
  delegate->did_finish_collecting_metrics(session, *task, net::TaskMetrics{});
  EXPECT_TRUE(download->taskDelegate()->metrics());

  // A data task that became a download task: the request registered under the
  // download task's identifier gets a download delegate.
  auto becoming = manager->makeDataRequest(kRefused);
  delegate->setRequestForTask(*task, becoming);
  delegate->did_become_download_task(session, *static_cast<net::DataTask*>(becoming->task().get()), *task);
  EXPECT_TRUE(std::dynamic_pointer_cast<DownloadTaskDelegate>(becoming->taskDelegate()));
  EXPECT_EQ(becoming->taskDelegate()->task(), task);
  EXPECT_EQ(becoming->progress()->totalUnitCount(), 0);  // data operations now do nothing
}

TEST_F(RequestTest, SuccessfulRetryClearsTheEndTimeAndSwapsTheEntry) {
  manager->setStartRequestsImmediately(false);
  auto request = manager->makeDataRequest(kRefused);
  auto old = request->task();
  request->setEndTime(5.0);
  ASSERT_TRUE(manager->retry(request));
  EXPECT_FALSE(request->endTime());
  EXPECT_TRUE(request->startTime());
  EXPECT_EQ(request->retryCount(), 1u);
  EXPECT_FALSE(manager->delegate()->requestForTask(*old));
  EXPECT_EQ(manager->delegate()->requestForTask(*request->task()), request);
  await(outcomeOf(request));
}

}  // namespace
