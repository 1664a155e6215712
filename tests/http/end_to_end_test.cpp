// Requests over loopback HTTPS to fakes the tests start, through real sessions.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "http/module_functions.h"
#include "http/session_manager.h"
#include "http_support.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/notification.h"
#include "platform/os/file_manager.h"

namespace {

using namespace Duvarel;
using http_test::await;
using http_test::outcomeOf;
using testing::fakes::FakeService;
using testing::fakes::TlsAuthority;
namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class EndToEnd : public ::testing::Test {
 protected:
  TlsAuthority ca;
  FakeService files{"files", {"files.example.org"}, {.authority = &ca}};
  http_test::Device device{{&files}, &ca};
};

TEST_F(EndToEnd, SharedManagerPostsJsonWithDefaultHeadersAndStoredCookies) {
  files.on("POST", "/api/reraviror/register", FakeService::json(200, {{"ok", true}}));
  auto cookies = SessionManager::shared()->session()->configuration().cookie_storage;
  ASSERT_TRUE(cookies);
  platform::net::Cookie cookie;
  cookie.name = "PHPSESSID";
  cookie.value = "s1";
  cookie.domain = "files.example.org";
  cookies->set_cookie(cookie);

  auto request = makeDataRequest(files.url("/api/reraviror/register"), HTTPMethod::post,
                                 Parameters{{"player-id", "p1"}}, JSONEncoding::standard, std::nullopt);
  auto outcome = await(outcomeOf(request));
  EXPECT_FALSE(outcome.error) << outcome.error->description();
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(*outcome.response->status, 200);
  EXPECT_EQ(foundation::to_string(*outcome.data), R"({"ok":true})");
  EXPECT_TRUE(outcome.endTime);
  EXPECT_TRUE(request->startTime());

  auto recorded = files.requests("POST", "/api/reraviror/register");
  ASSERT_EQ(recorded.size(), 1u);
  const auto& post = recorded.front();
  EXPECT_EQ(post.body, R"({"player-id":"p1"})");
  EXPECT_EQ(post.header("Content-Type"), "application/json");
  EXPECT_EQ(post.cookie("PHPSESSID"), "s1");
  const auto& defaults = SessionManager::defaultHeaders();
  ASSERT_EQ(defaults.size(), 3u);
  for (const auto& [name, value] : defaults) EXPECT_EQ(post.header(name), value) << name;
  EXPECT_EQ(post.header("Accept-Language"), "en-US;q=1.0");
  EXPECT_EQ(request->description(), "POST " + files.url("/api/reraviror/register") + " (200)");
}

TEST_F(EndToEnd, DownloadMovesTheFileWithOptions) {
  files.on("GET", "/file.bin", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
    res.set_content(std::string(1000, 'a'), "application/octet-stream");
  });
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  struct Case {
    const char* name;
    DownloadOptions options;
    bool existing;
    bool moved;
  };
  const Case cases[] = {
      {"create parents and replace", {DownloadOptions::createParentDirectories, DownloadOptions::removeExistingFile}, true, true},
      {"create parents only", DownloadOptions::createParentDirectories, false, true},
      {"replace only, onto an existing file", DownloadOptions::removeExistingFile, true, true},
      {"no options, onto an existing file", DownloadOptions(), true, false},
      {"no options, missing parent", DownloadOptions(), false, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto dest = device.scratch("out" + std::to_string(n++)) / "nested" / "file.bin";
    if (c.existing) {
      fs::create_directories(dest.parent_path());
      std::ofstream(dest) << "old";
    }
    auto request = manager->makeDownloadRequest(
        files.url("/file.bin"), HTTPMethod::get, std::nullopt, JSONEncoding::standard, std::nullopt,
        [dest, options = c.options](const foundation::Url&, const platform::net::Response&) {
          return std::pair{foundation::Url::file(dest), options};
        });
    auto outcome = await(outcomeOf(request));
    auto delegate = std::static_pointer_cast<DownloadTaskDelegate>(request->taskDelegate());
    EXPECT_EQ(delegate->destinationURL(), foundation::Url::file(dest));
    ASSERT_TRUE(delegate->temporaryURL());
    if (c.moved) {
      EXPECT_FALSE(outcome.error) << outcome.error->description();
      EXPECT_EQ(readFile(dest), std::string(1000, 'a'));
    } else {
      ASSERT_TRUE(outcome.error);
      EXPECT_EQ(outcome.error->bridged().domain, "NSCocoaErrorDomain");
      if (c.existing) {
        EXPECT_EQ(readFile(dest), "old");
      }
    }
  }
}

TEST_F(EndToEnd, CancelledDownloadResumesWithARangeRequest) {
  const std::string body(256 * 1024, 'z');
  std::atomic<bool> released{false};
  files.on("GET", "/big.bin", [&](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
    res.set_header("ETag", "\"v1\"");
    if (req.has_header("Range")) {
      res.set_content(body, "application/octet-stream");  // the server applies the range
      return;
    }
    res.set_content_provider(body.size(), "application/octet-stream",
                             [&](std::size_t offset, std::size_t, ::testing::fakes::DataSink& sink) {
                               if (offset == 0) return sink.write(body.data(), 64 * 1024);
                               for (int i = 0; i < 500 && !released; ++i) {
                                 if (!sink.is_writable()) return false;
                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                               }
                               return false;
                             });
  });
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  auto dest = device.scratch("resumed.bin");
  auto destination = [dest](const foundation::Url&, const platform::net::Response&) {
    return std::pair{foundation::Url::file(dest), DownloadOptions::removeExistingFile};
  };
  auto request = manager->makeDownloadRequest(files.url("/big.bin"), HTTPMethod::get, std::nullopt,
                                              JSONEncoding::standard, std::nullopt, destination);
  auto halfway = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  request->observeDownloadProgress(
      [halfway, once](std::shared_ptr<Progress> p) {
        if (p->completedUnitCount() >= 64 * 1024 && !once->exchange(true)) halfway->set_value();
      },
      platform::dispatch::Queue::global());
  ASSERT_EQ(halfway->get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);

  int cancels = 0;
  auto token = foundation::NotificationCenter::default_center().add_observer(
      nullptr, Notification::Name::Task::didCancel, nullptr, nullptr, [&](const foundation::Notification&) { ++cancels; });
  request->cancel();
  EXPECT_EQ(cancels, 1);
  token.remove();
  auto outcome = await(outcomeOf(request));
  released = true;
  EXPECT_EQ(http_test::urlErrorCode(outcome.error), -999);
  auto resume = request->resumeData();
  ASSERT_TRUE(resume);

  auto resumed = manager->makeDownloadRequestResumingWithData(*resume, destination);
  auto second = await(outcomeOf(resumed));
  EXPECT_FALSE(second.error) << second.error->description();
  ASSERT_TRUE(second.response);
  EXPECT_EQ(*second.response->status, 206);
  auto gets = files.requests("GET", "/big.bin");
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[1].header("Range").rfind("bytes=", 0), 0u);
  EXPECT_EQ(readFile(dest), body);
}

TEST_F(EndToEnd, UploadsArriveByteForByte) {
  files.on("POST", "/upload", FakeService::empty(201));
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  foundation::Bytes payload;
  for (int i = 0; i < 70000; ++i) payload.push_back(static_cast<std::uint8_t>(i * 7));
  auto file = device.scratch("upload.bin");
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));

  auto stream = foundation::InputStream::from_data(payload);
  std::vector<std::shared_ptr<UploadRequest>> requests{
      manager->makeDataUploadRequest(payload, files.url("/upload")),
      manager->makeFileUploadRequest(foundation::Url::file(file), files.url("/upload")),
      manager->makeStreamUploadRequest(stream, files.url("/upload"), HTTPMethod::post,
                                       HTTPHeaders{{"Content-Length", std::to_string(payload.size())}}),
  };
  // A second body-stream request gets the same stream.
  auto hook = requests[2]->taskDelegate()->taskNeedNewBodyStream();
  ASSERT_TRUE(hook);
  EXPECT_EQ(hook(*manager->session(), *requests[2]->task()), stream);
  EXPECT_EQ(hook(*manager->session(), *requests[2]->task()), stream);

  for (auto& r : requests) {
    auto outcome = await(outcomeOf(r));
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(r->uploadProgress()->completedUnitCount(), static_cast<std::int64_t>(payload.size()));
    EXPECT_TRUE(r->taskDelegate()->initialResponseTime());
  }
  auto recorded = files.requests("POST", "/upload");
  ASSERT_EQ(recorded.size(), 3u);
  for (const auto& rec : recorded) EXPECT_EQ(rec.raw_body, foundation::to_string(payload));
}

// A one-connection TCP echo server on loopback.
class EchoServer {
 public:
  EchoServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 1);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[4096];
      ssize_t n;
      while ((n = ::read(c, buf, sizeof buf)) > 0) (void)!::write(c, buf, static_cast<std::size_t>(n));
      ::close(c);
    });
  }
  ~EchoServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST_F(EndToEnd, StreamRequestRoundTripsBytesAndReportsReadClosed) {
  EchoServer echo;
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  std::promise<void> readClosed;
  manager->delegate()->setStreamTaskReadClosed([&](platform::net::Session&, platform::net::StreamTask&) { readClosed.set_value(); });
  auto request = manager->makeStreamRequest("127.0.0.1", echo.port());
  auto task = std::dynamic_pointer_cast<platform::net::StreamTask>(request->task());
  ASSERT_TRUE(task);
  std::promise<foundation::Bytes> echoed;
  task->write(foundation::to_bytes("ping"), 5, [&](std::optional<foundation::Error> e) {
    EXPECT_FALSE(e);
    task->read(4, 64, 5, [&](foundation::Bytes data, bool, std::optional<foundation::Error>) { echoed.set_value(data); });
  });
  auto f = echoed.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(foundation::to_string(f.get()), "ping");
  task->close_read();
  EXPECT_EQ(readClosed.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  task->close_write();
}

TEST_F(EndToEnd, NetServiceStreamFailsAtResume) {
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  auto request = manager->makeStreamRequestWithNetService(NetService{"local.", "_echo._tcp.", "box", -1});
  ASSERT_TRUE(request->task());
  auto outcome = await(outcomeOf(request));
  // The platform has no service discovery: the task fails when resumed.
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->bridged().domain, "NSURLErrorDomain");
  EXPECT_EQ(outcome.error->localizedDescription(), "Service discovery is not available.");
}

class RetryOnce : public RequestRetrier {
 public:
  void shouldRetry(const std::shared_ptr<SessionManager>&, const std::shared_ptr<Request>& request, const Error&,
                   RequestRetryCompletion completion) override {
    ++asked;
    completion(request->retryCount() == 0, 0.0);
  }
  std::atomic<int> asked{0};
};

TEST_F(EndToEnd, RetrierRetriesADroppedConnection) {
  std::atomic<int> hits{0};
  files.on("GET", "/flaky", [&](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
    if (hits++ == 0) return FakeService::drop_connection()(req, res);
    res.set_content("fine", "text/plain");
  });
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  auto retrier = std::make_shared<RetryOnce>();
  manager->setRetrier(retrier);
  auto request = manager->makeDataRequest(files.url("/flaky"));
  auto firstTask = request->task();
  auto outcome = await(outcomeOf(request));
  EXPECT_FALSE(outcome.error) << outcome.error->description();
  EXPECT_EQ(foundation::to_string(*outcome.data), "fine");
  EXPECT_EQ(retrier->asked.load(), 1);
  EXPECT_EQ(request->retryCount(), 1u);
  EXPECT_NE(request->task(), firstTask);
}

class TrustTest : public ::testing::Test {
 protected:
  TlsAuthority ca;
  FakeService selfSigned{"self", {"self.example.org"}, {.authority = &ca, .certificate = testing::fakes::Certificate::self_signed}};
  http_test::Device device{{&selfSigned}, &ca};
};

TEST_F(TrustTest, TaskLevelTrustPolicies) {
  selfSigned.on("GET", "/", FakeService::empty(200));
  struct Case {
    const char* name;
    std::shared_ptr<ServerTrustPolicyManager> policies;
    std::int64_t code;
  };
  auto custom = [](bool verdict) {
    return std::make_shared<ServerTrustPolicyManager>(std::map<std::string, ServerTrustPolicy>{
        {"self.example.org", ServerTrustPolicy::customEvaluation([verdict](platform::security::Trust&, const std::string& host) {
           return verdict && host == "self.example.org";
         })}});
  };
  const Case cases[] = {{"no policies", nullptr, -1202}, {"custom accepts", custom(true), 0}, {"custom refuses", custom(false), -999}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = SessionManager::init(platform::net::Configuration::ephemeral(), std::make_shared<SessionDelegate>(), c.policies);
    auto outcome = await(outcomeOf(manager->makeDataRequest(selfSigned.url("/"))));
    EXPECT_EQ(http_test::urlErrorCode(outcome.error), c.code);
  }
}

}  // namespace

namespace {

TEST_F(TrustTest, SessionLevelClosureIsOfferedFirst) {
  selfSigned.on("GET", "/", FakeService::empty(200));
  auto delegate = std::make_shared<SessionDelegate>();
  std::atomic<int> sessionLevel{0}, taskLevel{0};
  delegate->setSessionDidReceiveChallenge([&](platform::net::Session&, const platform::net::Challenge& c) {
    ++sessionLevel;
    return ChallengeAnswer{platform::net::AuthDisposition::use_credential, platform::net::Credential::for_trust(c.server_trust)};
  });
  delegate->setTaskDidReceiveChallenge([&](auto&, auto&, auto&) {
    ++taskLevel;
    return ChallengeAnswer{platform::net::AuthDisposition::cancel, std::nullopt};
  });
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral(), delegate);
  auto outcome = await(outcomeOf(manager->makeDataRequest(selfSigned.url("/"))));
  EXPECT_FALSE(outcome.error) << outcome.error->description();
  EXPECT_EQ(sessionLevel.load(), 1);
  EXPECT_EQ(taskLevel.load(), 0);
}

}  // namespace

namespace {

TEST(BackgroundEvents, CompletionHandlerRunsOnceOnMainAndNotAfterRelease) {
  http_test::Device device({}, nullptr);
  auto manager = SessionManager::init(platform::net::Configuration::background("org.example.background"));
  int calls = 0;
  bool onMain = false;
  // Unset handler: nothing happens.
  ASSERT_TRUE(platform::net::deliver_background_events("org.example.background"));
  platform::dispatch::RunLoop::main().run_until([] { return false; }, std::chrono::milliseconds(200));
  manager->setBackgroundCompletionHandler([&] {
    ++calls;
    onMain = platform::dispatch::is_main_thread();
  });
  ASSERT_TRUE(platform::net::deliver_background_events("org.example.background"));
  EXPECT_TRUE(platform::dispatch::RunLoop::main().run_until([&] { return calls == 1; }, std::chrono::seconds(30)));
  EXPECT_TRUE(onMain);
  // A released manager: nothing happens, whether or not the session still reports.
  manager.reset();
  platform::net::deliver_background_events("org.example.background");
  platform::dispatch::RunLoop::main().run_until([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(calls, 1);
}

}  // namespace
