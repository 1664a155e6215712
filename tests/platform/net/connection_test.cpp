// The legacy connection, the blocking send and plain TCP stream tasks.
#include "fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/dispatch/run_loop.h"
#include "platform/net/connection.h"

namespace platform::net::test {
namespace {

namespace ue = foundation::url_error;

class ConnectionTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    server_ = &add_server(kHost, [](TestServer& s, TestServer& server) {
      s.Get("/page", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("page body", "text/html"); });
      s.Post("/report", [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) { res.set_content("got " + req.body, "text/plain"); });
      s.Get("/hold", [&server](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) { server.hold(req, res); });
    });
    boot();
  }
  TestServer* server_ = nullptr;
};

struct ConnectionRecorder : ConnectionDelegate {
  std::vector<std::string> events;
  std::string body;
  std::optional<Error> error;
  std::thread::id thread;
  void did_receive_response(Connection&, const Response& r) override {
    thread = std::this_thread::get_id();
    events.push_back("response " + std::to_string(r.status.value_or(0)));
  }
  void did_receive_data(Connection&, const Bytes& d) override {
    if (events.empty() || events.back() != "data") events.push_back("data");
    body += to_string(d);
  }
  void did_fail_with_error(Connection&, const Error& e) override {
    events.push_back("fail");
    error = e;
  }
  void did_finish_loading(Connection&) override { events.push_back("finish"); }
};

TEST_F(ConnectionTest, DelegateCallsRunOnTheScheduledRunLoop) {
  auto recorder = std::make_shared<ConnectionRecorder>();
  auto connection = Connection::make(Request(https("/page")), recorder);
  auto& loop = dispatch::RunLoop::main();  // booted on this thread
  ASSERT_TRUE(loop.run_until([&] { return recorder->events.size() >= 3; }, std::chrono::seconds(30)));
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"response 200", "data", "finish"}));
  EXPECT_EQ(recorder->body, "page body");
  EXPECT_EQ(recorder->thread, std::this_thread::get_id());

  auto failing = std::make_shared<ConnectionRecorder>();
  Request held(https("/hold"));
  held.timeout = 0.2;
  auto c2 = Connection::make(held, failing);
  ASSERT_TRUE(loop.run_until([&] { return !failing->events.empty(); }, std::chrono::seconds(30)));
  EXPECT_EQ(failing->events, std::vector<std::string>{"fail"});
  EXPECT_EQ(failing->error->code, ue::timed_out);
}

TEST_F(ConnectionTest, CancelledConnectionSendsNothingMore) {
  auto recorder = std::make_shared<ConnectionRecorder>();
  auto connection = Connection::make(Request(https("/hold")), recorder);
  ASSERT_TRUE(wait_until([&] { return server_->holding() == 1; }));
  connection->cancel();
  dispatch::RunLoop::main().run_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(recorder->events.empty());
}

TEST_F(ConnectionTest, SendSynchronousNeedsNoMainThreadTurn) {
  Request post(https("/report"));
  post.method = "POST";
  post.body = to_bytes("crash");
  auto result = send_synchronous(post, 10);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(to_string(*result.data), "got crash");
  EXPECT_EQ(result.response->status, 200);

  auto timed_out = send_synchronous(Request(https("/hold")), 0.2);
  ASSERT_TRUE(timed_out.error);
  EXPECT_EQ(timed_out.error->code, ue::timed_out);
  EXPECT_FALSE(timed_out.data);
}

TEST_F(ConnectionTest, StreamTaskTalksPlainTcp) {
  // A tiny echo server on loopback.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  std::thread echo([listener] {
    int fd = ::accept(listener, nullptr, nullptr);
    char buf[256];
    auto n = ::read(fd, buf, sizeof buf);
    if (n > 0) (void)::write(fd, buf, static_cast<std::size_t>(n));
    ::close(fd);
  });

  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto task = session->stream_task("127.0.0.1", port);
  task->resume();
  std::atomic<bool> written{false}, read{false};
  std::string got;
  bool eof = false;
  task->write(to_bytes("hello"), 5, [&](std::optional<Error> e) {
    EXPECT_FALSE(e);
    written = true;
  });
  task->read(5, 100, 5, [&](Bytes d, bool at_eof, std::optional<Error> e) {
    EXPECT_FALSE(e);
    got = to_string(d);
    eof = at_eof;
    read = true;
  });
  ASSERT_TRUE(wait_until([&] { return written && read; }));
  EXPECT_EQ(got, "hello");
  task->close_read();
  task->close_write();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  echo.join();
  ::close(listener);

  auto service = std::make_shared<RecordingDelegate>();
  auto session2 = Session::make(Configuration::ephemeral(), service);
  session2->stream_task_for_service("local.", "_http._tcp.", "printer")->resume();
  ASSERT_TRUE(wait_until([&] { return service->completed(); }));
  ASSERT_TRUE(service->error);
  EXPECT_EQ(service->error->code, ue::unsupported_url);
}

}  // namespace
}  // namespace platform::net::test
