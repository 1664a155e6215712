// Downloads (file lifecycle, resume data, resuming) and uploads (file, stream, progress).
#include "fixture.h"

#include <fstream>

#include "platform/os/file_manager.h"

namespace platform::net::test {
namespace {

namespace ue = foundation::url_error;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TransferTest : public NetTest {
 protected:
  static constexpr std::size_t kSize = 200000;
  static constexpr std::size_t kStallAt = 50000;

  void SetUp() override {
    NetTest::SetUp();
    body_ = pattern(kSize);
    server_ = &add_server(kHost, [this](TestServer& s, TestServer&) {
      s.Get("/file", [this](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
        res.set_header("ETag", etag_);
        res.set_header("Content-Disposition", "attachment; filename=\"../../report.pdf\"");
        if (req.has_header("If-Range") && req.get_header_value("If-Range") != etag_) res.status = 200;
        res.set_content(body_, "application/octet-stream");
      });
      s.Get("/stall", [this](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
        res.set_header("ETag", etag_);
        res.set_content_provider(kSize, "application/octet-stream", [this](std::size_t offset, std::size_t, ::testing::fakes::DataSink& sink) {
          if (offset >= kStallAt) {
            // Hold the rest until the test lets go (bounded).
            for (int i = 0; i < 1000 && !stop_stall_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return false;
          }
          sink.write(body_.data() + offset, kStallAt - offset);
          return true;
        });
      });
      auto echo = [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
        res.set_content(std::to_string(req.body.size()) + ":" + req.get_header_value("Transfer-Encoding"), "text/plain");
      };
      s.Post("/upload", echo);
      s.Put("/upload", echo);
    });
    boot();
  }
  void TearDown() override {
    stop_stall_ = true;
    NetTest::TearDown();
  }

  std::string body_;
  std::string etag_ = "\"v1\"";
  std::atomic<bool> stop_stall_{false};
  TestServer* server_ = nullptr;
};

TEST_F(TransferTest, DownloadFileExistsDuringFinishAndIsRemovedAfter) {
  auto delegate = std::make_shared<RecordingDelegate>();
  std::optional<Url> seen;
  std::string content;
  delegate->on_download_finished = [&](DownloadTask& task, const Url& location) {
    seen = location;
    content = read_file(location.file_path());
    EXPECT_EQ(task.response()->suggested_filename, "report.pdf");
  };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto task = session->download_task(Request(https("/file")));
  task->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  ASSERT_TRUE(seen);
  EXPECT_TRUE(content == body_);
  auto tmp = os::FileManager::shared().url_for(os::Directory::temporary);
  EXPECT_EQ(seen->file_path().parent_path(), tmp);
  EXPECT_EQ(seen->file_path().filename().string().rfind("CFNetworkDownload_", 0), 0u);
  EXPECT_EQ(seen->path_extension(), "tmp");
  EXPECT_FALSE(fs::exists(seen->file_path()));
  EXPECT_EQ(delegate->collapsed(), (std::vector<std::string>{"wrote", "download-finished", "metrics", "complete"}));
  EXPECT_EQ(task->bytes_received(), static_cast<std::int64_t>(kSize));

  // The same with a completion handler.
  std::atomic<bool> done{false};
  bool existed = false;
  std::optional<Url> location;
  session->download_task(Request(https("/file")), [&](std::optional<Url> l, std::shared_ptr<const Response> r, std::optional<Error> e) {
    EXPECT_FALSE(e);
    EXPECT_EQ(r->status, 200);
    location = l;
    existed = l && fs::exists(l->file_path());
    done = true;
  })->resume();
  ASSERT_TRUE(wait_until([&] { return done.load(); }));
  EXPECT_TRUE(existed);
  ASSERT_TRUE(location);
  EXPECT_TRUE(wait_until([&] { return !fs::exists(location->file_path()); }));
}

TEST_F(TransferTest, CancelWithResumeDataThenResumeWithRange) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto task = session->download_task(Request(https("/stall")));
  task->resume();
  ASSERT_TRUE(wait_until([&] { return task->bytes_received() >= static_cast<std::int64_t>(kStallAt); }));
  std::optional<Bytes> resume_data;
  std::atomic<bool> got{false};
  task->cancel_producing_resume_data([&](std::optional<Bytes> d) {
    resume_data = d;
    got = true;
  });
  ASSERT_TRUE(wait_until([&] { return got.load() && delegate->completed(); }));
  ASSERT_TRUE(resume_data);
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, ue::cancelled);
  EXPECT_EQ(delegate->error->user_info.get(foundation::key_resume_data), foundation::Value(*resume_data));
  stop_stall_ = true;

  // The resumed download asks for the rest of /stall; this server answers /file, so point the data there.
  auto info = foundation::plist::parse(*resume_data);
  ASSERT_TRUE(info);
  auto dict = *info->dict();
  dict.set("NSURLSessionDownloadURL", https("/file").absolute_string());
  auto patched = *foundation::plist::serialize(foundation::Value(dict), foundation::plist::Format::binary);

  auto resumed = std::make_shared<RecordingDelegate>();
  std::string content;
  resumed->on_download_finished = [&](DownloadTask&, const Url& location) { content = read_file(location.file_path()); };
  auto session2 = Session::make(Configuration::ephemeral(), resumed);
  session2->download_task_with_resume_data(patched)->resume();
  ASSERT_TRUE(wait_until([&] { return resumed->completed(); }));
  EXPECT_FALSE(resumed->error) << resumed->error->description();
  auto request = server_->last("/file");
  EXPECT_EQ(request.header("Range"), "bytes=50000-");
  EXPECT_EQ(request.header("If-Range"), etag_);
  EXPECT_TRUE(resumed->has("resumed 50000 200000"));
  EXPECT_EQ(content.size(), kSize);
  EXPECT_TRUE(content == body_);

  // A changed entity restarts at 0.
  etag_ = "\"v2\"";
  auto again = std::make_shared<RecordingDelegate>();
  std::string restarted;
  again->on_download_finished = [&](DownloadTask&, const Url& location) { restarted = read_file(location.file_path()); };
  auto session3 = Session::make(Configuration::ephemeral(), again);
  // The resumed download consumed its partial file; make a new one for this round.
  auto path = fs::path(*dict.get("NSURLSessionResumeInfoLocalPath").string());
  std::ofstream(path, std::ios::binary) << body_.substr(0, kStallAt);
  session3->download_task_with_resume_data(patched)->resume();
  ASSERT_TRUE(wait_until([&] { return again->completed(); }));
  EXPECT_FALSE(again->error);
  // cpp-httplib cuts the body to the requested range even when it answers 200,
  // so the 200 carries the last 150000 bytes: the partial file must be
  // replaced by them, not extended.
  EXPECT_TRUE(again->has("resumed 0 150000")) << ::testing::PrintToString(again->collapsed());
  EXPECT_EQ(restarted.size(), kSize - kStallAt);
  EXPECT_TRUE(restarted == body_.substr(kStallAt));
}

TEST_F(TransferTest, UnreadableResumeDataFails) {
  auto session = Session::make(Configuration::ephemeral());
  std::atomic<bool> done{false};
  std::optional<Error> error;
  session->download_task_with_resume_data(to_bytes("not a property list"), [&](auto, auto, std::optional<Error> e) {
    error = e;
    done = true;
  })->resume();
  ASSERT_TRUE(wait_until([&] { return done.load(); }));
  EXPECT_TRUE(error);
}

TEST_F(TransferTest, ALostDownloadCarriesResumeData) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto task = session->download_task(Request(https("/stall")));
  task->resume();
  ASSERT_TRUE(wait_until([&] { return task->bytes_received() >= static_cast<std::int64_t>(kStallAt); }));
  os::NetworkState off;
  off.reachable = false;
  os::set_network_state(off);
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code, ue::network_connection_lost);
  auto data = delegate->error->user_info.get(foundation::key_resume_data).data();
  ASSERT_NE(data, nullptr);
  auto info = foundation::plist::parse(*data);
  ASSERT_TRUE(info);
  EXPECT_EQ((*info)["NSURLSessionResumeBytesReceived"].as_int(), static_cast<std::int64_t>(kStallAt));
  EXPECT_EQ((*info)["NSURLSessionResumeEntityTag"], foundation::Value(etag_));
  auto path = (*info)["NSURLSessionResumeInfoLocalPath"].string();
  ASSERT_TRUE(path);
  EXPECT_EQ(fs::file_size(*path), kStallAt);
}

TEST_F(TransferTest, UploadsFromFileAndStreams) {
  auto file = root_ / "upload.bin";
  std::ofstream(file, std::ios::binary) << pattern(30000);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = Session::make(Configuration::ephemeral(), delegate);
  Request put(https("/upload"));
  put.method = "PUT";
  session->upload_task(put, Url::file(file))->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(to_string(delegate->data), "30000:");
  EXPECT_EQ(delegate->sent_total, 30000);
  EXPECT_EQ(server_->last("/upload").method, "PUT");

  // A missing file is a URL error.
  auto missing = std::make_shared<RecordingDelegate>();
  auto session2 = Session::make(Configuration::ephemeral(), missing);
  session2->upload_task(put, Url::file(root_ / "absent.bin"))->resume();
  ASSERT_TRUE(wait_until([&] { return missing->completed(); }));
  ASSERT_TRUE(missing->error);
  EXPECT_EQ(missing->error->domain, foundation::url_error::domain);
  EXPECT_EQ(missing->error->code, ue::file_does_not_exist);

  // A streamed body of unknown length goes chunked; a declared length does not.
  for (bool declared : {false, true}) {
    SCOPED_TRACE(declared);
    auto streamed = std::make_shared<RecordingDelegate>();
    streamed->on_body_stream = [](std::function<void(std::shared_ptr<foundation::InputStream>)> h) {
      h(foundation::InputStream::from_data(to_bytes(pattern(12345))));
    };
    auto session3 = Session::make(Configuration::ephemeral(), streamed);
    Request post(https("/upload"));
    post.method = "POST";
    if (declared) post.headers.set("Content-Length", "12345");
    session3->upload_task_streamed(post)->resume();
    ASSERT_TRUE(wait_until([&] { return streamed->completed(); }));
    EXPECT_FALSE(streamed->error);
    EXPECT_TRUE(streamed->has("body-stream"));
    EXPECT_EQ(to_string(streamed->data), declared ? "12345:" : "12345:chunked");
  }

  // Without a stream from the delegate the task fails.
  auto none = std::make_shared<RecordingDelegate>();
  none->declined.insert(Callback::task_body_stream);
  auto session4 = Session::make(Configuration::ephemeral(), none);
  Request post(https("/upload"));
  post.method = "POST";
  session4->upload_task_streamed(post)->resume();
  ASSERT_TRUE(wait_until([&] { return none->completed(); }));
  ASSERT_TRUE(none->error);
  EXPECT_EQ(none->error->code, ue::request_body_stream_exhausted);
}

TEST_F(TransferTest, DataTaskBecomesADownload) {
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->on_response = [](const Response&, std::function<void(ResponseDisposition)> h) { h(ResponseDisposition::become_download); };
  std::string content;
  delegate->on_download_finished = [&](DownloadTask&, const Url& location) { content = read_file(location.file_path()); };
  auto session = Session::make(Configuration::ephemeral(), delegate);
  auto task = session->data_task(Request(https("/file")));
  task->resume();
  ASSERT_TRUE(wait_until([&] { return delegate->completed(); }));
  EXPECT_FALSE(delegate->error);
  EXPECT_TRUE(content == body_);
  EXPECT_EQ(delegate->collapsed(), (std::vector<std::string>{"response", "wrote", "download-finished", "metrics", "complete"}));
  EXPECT_TRUE(wait_until([&] { return task->state() == TaskState::completed; }));
}

}  // namespace
}  // namespace platform::net::test
