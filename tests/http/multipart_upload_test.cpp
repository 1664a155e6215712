// Multipart uploads over loopback HTTPS: the memory and disk roads, the
// temporary body file's life, failures reported once on main.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "http/multipart_upload.h"
#include "http_support.h"
#include "platform/dispatch/run_loop.h"

namespace {

using namespace Duvarel;
using testing::fakes::FakeService;
using testing::fakes::TlsAuthority;
namespace dispatch = platform::dispatch;
namespace fs = std::filesystem;
using Kind = AFError::MultipartEncodingFailureReason::Kind;

bool uploadRunMainUntil(const std::function<bool()>& done, int seconds = 30) {
  for (int slice = 0; slice < seconds * 100 && !done(); ++slice)
    dispatch::RunLoop::main().run_until(done, dispatch::Duration(0.01));
  return done();
}

struct Received {
  std::string contentType;
  std::multimap<std::string, ::testing::fakes::FormPart> files;
  std::size_t bodySize = 0;
  std::vector<std::string> temporaryFiles;  // what the body folder held while the upload ran
};

class MultipartUpload : public ::testing::Test {
 protected:
  // Before the fake: its handler writes here until the fake has stopped.
  std::mutex m;
  std::vector<Received> received;
  TlsAuthority ca;
  FakeService site{"site", {"site.example.org"}, {.authority = &ca}};
  http_test::Device device{{&site}, &ca};

  std::size_t receivedCount() {
    std::lock_guard lk(m);
    return received.size();
  }

  void SetUp() override {
    site.on("POST", "/upload", [this](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
      Received r;
      r.contentType = req.get_header_value("Content-Type");
      r.files = req.files;
      r.bodySize = req.body.size();
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(multipartTemporaryDirectory(), ec))
        r.temporaryFiles.push_back(entry.path().string());
      std::lock_guard lk(m);
      received.push_back(std::move(r));
      res.set_content("{}", "application/json");
    });
  }

  std::vector<std::string> leftoverFiles() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(multipartTemporaryDirectory(), ec)) out.push_back(entry.path().string());
    return out;
  }

  // Runs one upload to the end: the encoding result, then the completion of the upload's queue.
  MultipartFormDataEncodingResult upload(SessionManager& manager, MultipartFormBuilder build, std::uint64_t threshold,
                                         URLConvertible url, bool* closureCalled = nullptr) {
    std::optional<MultipartFormDataEncodingResult> result;
    std::atomic<int> calls{0};
    bool onMain = false;
    manager.makeMultipartUpload([build, closureCalled](MultipartFormData& form) {
      if (closureCalled) *closureCalled = true;
      EXPECT_FALSE(dispatch::is_main_thread());
      build(form);
    }, threshold, url, HTTPMethod::post, std::nullopt, [&](MultipartFormDataEncodingResult r) {
      onMain = dispatch::is_main_thread();
      ++calls;
      result = std::move(r);
    });
    EXPECT_TRUE(uploadRunMainUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(onMain);
    if (auto* success = result->success()) {
      auto finished = std::make_shared<std::promise<void>>();
      auto future = finished->get_future();
      auto delegate = success->request->taskDelegate();
      delegate->queue().add([finished, delegate] {
        if (auto e = delegate->error()) ADD_FAILURE() << "upload failed: " << e->description();
        finished->set_value();
      });
      EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    }
    uploadRunMainUntil([] { return false; }, 0);
    EXPECT_EQ(calls.load(), 1);
    return *result;
  }
};

TEST_F(MultipartUpload, MemoryBelowTheThresholdDiskAtIt) {
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  const struct {
    const char* name;
    std::size_t bytes;
    bool disk;
  } cases[] = {{"9,999,999 bytes", 9'999'999, false}, {"10,000,000 bytes", 10'000'000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto size = c.bytes;
    auto result = upload(*manager, [size](MultipartFormData& form) {
      form.append(foundation::to_bytes("v"), "field");
      form.append(foundation::Bytes(size - 1, 'z'), "blob", "blob.bin", "application/octet-stream");
    }, SessionManager::multipartMemoryThreshold, site.url("/upload"));
    auto* success = result.success();
    ASSERT_TRUE(success);
    EXPECT_EQ(success->streamingFromDisk, c.disk);
    EXPECT_EQ(success->streamFileURL.has_value(), c.disk);
    std::lock_guard lk(m);
    ASSERT_FALSE(received.empty());
    const Received& got = received.back();
    EXPECT_EQ(got.files.size(), 2u);
    ASSERT_TRUE(got.files.count("blob"));
    EXPECT_EQ(got.files.find("blob")->second.content, std::string(size - 1, 'z'));
    EXPECT_EQ(got.files.find("blob")->second.filename, "blob.bin");
    EXPECT_EQ(got.files.find("field")->second.content, "v");
    EXPECT_EQ(got.contentType.rfind("multipart/form-data; boundary=duvarel.boundary.", 0), 0u);
    if (c.disk) {
      const fs::path file = success->streamFileURL->file_path();
      EXPECT_EQ(file.parent_path(), multipartTemporaryDirectory());
      EXPECT_EQ(file.filename().string().size(), 36u);
      EXPECT_EQ(got.temporaryFiles, std::vector<std::string>{file.string()});
      EXPECT_FALSE(fs::exists(file));  // removed once the task finished
      EXPECT_EQ(fs::status(multipartTemporaryDirectory()).permissions() & fs::perms::all, fs::perms::owner_all);
    } else {
      EXPECT_TRUE(got.temporaryFiles.empty());
    }
  }
  EXPECT_TRUE(leftoverFiles().empty());
}

TEST_F(MultipartUpload, BackgroundSessionsAndAZeroThresholdGoToDisk) {
  auto background = SessionManager::init(platform::net::Configuration::background("org.example.intranet.uploads"));
  auto tiny = [](MultipartFormData& form) { form.append(foundation::to_bytes("t"), "tiny"); };
  auto viaBackground = upload(*background, tiny, SessionManager::multipartMemoryThreshold, site.url("/upload"));
  ASSERT_TRUE(viaBackground.success());
  EXPECT_TRUE(viaBackground.success()->streamingFromDisk);

  auto foreground = SessionManager::init(platform::net::Configuration::ephemeral());
  auto empty = upload(*foreground, [](MultipartFormData&) {}, 0, site.url("/upload"));
  ASSERT_TRUE(empty.success());
  EXPECT_TRUE(empty.success()->streamingFromDisk);
  // An empty multipart body is no form the fake can parse; the upload itself went out.
  EXPECT_TRUE(empty.success()->request->response());
  std::lock_guard lk(m);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].files.find("tiny")->second.content, "t");
  EXPECT_TRUE(leftoverFiles().empty());
}

TEST_F(MultipartUpload, FailuresAreReportedOnceOnMainAndLeaveNoFile) {
  auto manager = SessionManager::init(platform::net::Configuration::ephemeral());
  bool called = false;
  auto invalid = upload(*manager, [](MultipartFormData&) {}, 10, "http://bad host/", &called);
  ASSERT_TRUE(invalid.failure());
  EXPECT_TRUE(invalid.failure()->error.as<AFError>()->isInvalidURLError());
  EXPECT_FALSE(called);

  const fs::path vanishing = device.scratch("vanishing.txt");
  for (std::uint64_t threshold : {std::uint64_t{0}, SessionManager::multipartMemoryThreshold}) {
    SCOPED_TRACE(threshold);
    std::ofstream(vanishing) << "contents";
    auto unreadable = upload(*manager, [vanishing](MultipartFormData& form) {
      form.append(foundation::to_bytes("first"), "first");
      form.append(foundation::Url::file(vanishing), "doc");
      fs::remove(vanishing);
    }, threshold, site.url("/upload"));
    ASSERT_TRUE(unreadable.failure());
    const AFError* error = unreadable.failure()->error.as<AFError>();
    ASSERT_TRUE(error && error->multipartEncodingReason());
    EXPECT_EQ(error->multipartEncodingReason()->kind, Kind::inputStreamReadFailed);
    EXPECT_TRUE(leftoverFiles().empty());  // the partly written body is gone
  }
  auto missing = upload(*manager, [&](MultipartFormData& form) { form.append(foundation::Url::file(vanishing), "doc"); }, 0,
                        site.url("/upload"));
  ASSERT_TRUE(missing.failure());
  EXPECT_EQ(missing.failure()->error.as<AFError>()->multipartEncodingReason()->kind,
            Kind::bodyPartFileNotReachableWithError);
  EXPECT_EQ(site.count("POST", "/upload"), 0u);
}

TEST_F(MultipartUpload, WithoutACompletionTheUploadIsMadeAllTheSame) {
  Duvarel::makeMultipartUpload([](MultipartFormData& form) { form.append(foundation::to_bytes("x"), "shared"); },
                               SessionManager::multipartMemoryThreshold, site.url("/upload"), HTTPMethod::post);
  URLRequest request(*foundation::Url::parse(site.url("/upload")));
  request.method = "POST";
  request.headers.set("Content-Type", "text/plain");
  Duvarel::makeMultipartUploadWithURLRequest(
      [](MultipartFormData& form) { form.append(foundation::to_bytes("y"), "disk"); }, 0, request);
  ASSERT_TRUE(site.wait_for([&] { return receivedCount() == 2; }, std::chrono::seconds(30)));
  std::lock_guard lk(m);
  for (const auto& got : received) {
    EXPECT_EQ(got.contentType.rfind("multipart/form-data; boundary=", 0), 0u);  // replaced
    EXPECT_EQ(got.files.size(), 1u);
  }
}

}  // namespace

namespace {

class CountingManager : public Duvarel::SessionManager {
 public:
  using SessionManager::SessionManager;
  void makeMultipartUploadWithURLRequest(Duvarel::MultipartFormBuilder form, std::uint64_t threshold,
                                         const Duvarel::URLRequestConvertible& request,
                                         Duvarel::MultipartEncodingCompletion completion) override {
    ++overridden;
    SessionManager::makeMultipartUploadWithURLRequest(std::move(form), threshold, request, std::move(completion));
  }
  std::atomic<int> overridden{0};
};

TEST_F(MultipartUpload, TheURLFormGoesThroughASubclassOverride) {
  auto manager = Duvarel::SessionManager::make<CountingManager>(
      platform::net::Configuration::ephemeral(), std::make_shared<Duvarel::SessionDelegate>(), nullptr);
  auto result = upload(*manager, [](Duvarel::MultipartFormData& form) { form.append(foundation::to_bytes("o"), "o"); },
                       Duvarel::SessionManager::multipartMemoryThreshold, site.url("/upload"));
  EXPECT_TRUE(result.success());
  EXPECT_EQ(manager->overridden.load(), 1);
}

}  // namespace
