#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/os/preferences.h"
#include "platform/testing/capture.h"
#include "platform/testing/temp_device.h"
#include "push/attachments.h"
#include "push/log.h"
#include "push/payload.h"
#include "testing/fakes/fake_service.h"

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace os = platform::os;
using namespace push;

// A loopback media server: each path answers with a chosen status, Content-Type and body.
class MediaServer {
 public:
  struct Answer {
    int status = 200;
    std::optional<std::string> contentType;
    std::string body;
  };

  MediaServer() {
    server_.on("GET", ".*", [this](const ::testing::fakes::HttpRequest& request, ::testing::fakes::HttpResponse& response) {
      std::lock_guard lock(mutex_);
      ++hits_[request.path];
      auto found = answers_.find(request.path);
      if (found == answers_.end()) {
        response.status = 404;
        return;
      }
      response.status = found->second.status;
      if (found->second.contentType) {
        response.set_content(found->second.body, *found->second.contentType);
      } else {
        // An empty field keeps the server from adding its default type.
        response.set_header("Content-Type", "");
        response.body = found->second.body;
      }
    });
  }

  void on(const std::string& path, Answer answer) {
    std::lock_guard lock(mutex_);
    answers_[path] = std::move(answer);
  }
  std::string url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + pathAndQuery;
  }
  int hits(const std::string& path) {
    std::lock_guard lock(mutex_);
    return hits_[path];
  }

 private:
  std::mutex mutex_;
  std::map<std::string, Answer> answers_;
  std::map<std::string, int> hits_;
  // Last, so it stops before the answers it reads go away.
  ::testing::fakes::FakeService server_{"media", {"127.0.0.1"}};
};

constexpr const char* kPng = "\x89PNG fake image bytes";

class AttachmentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<platform::testing::TempDevice>("push-media");
    ASSERT_TRUE(device_->boot());
    fs::create_directories(RerAvirorHelper::mediaFolder());
    capture_ = std::make_unique<platform::testing::CaptureSinks>();
  }
  void TearDown() override {
    capture_.reset();
    device_.reset();
  }

  std::set<std::string> mediaFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(RerAvirorHelper::mediaFolder())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  std::vector<std::string> cachedMedia() const {
    std::vector<std::string> names;
    auto stored = os::UserDefaults::standard().object(kCachedMediaKey);
    if (stored && stored->array()) {
      for (const auto& value : *stored->array()) names.push_back(value.string() ? *value.string() : "?");
    }
    return names;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(RerAvirorHelper::mediaFolder() / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  MediaServer server_;
  std::unique_ptr<platform::testing::TempDevice> device_;
  std::unique_ptr<platform::testing::CaptureSinks> capture_;
};

TEST(ExtensionRulesTest, SupportedExtensionsMimeTableAndQueryValues) {
  for (const char* ext : {"aiff", "wav", "mp3", "mp4", "jpg", "jpeg", "png", "gif", "mpeg", "mpg", "avi", "m4a", "m4v"}) {
    EXPECT_EQ(supportedFileExtension(std::string("a.") + ext), ext);
  }
  for (const char* name : {"pic.JPG", "pic.Png", "pic.webp", "png", "", "archive.png.zip"}) {
    EXPECT_EQ(supportedFileExtension(name), std::nullopt) << name;
  }
  EXPECT_EQ(supportedFileExtension("sounds.ding.wav"), "wav");

  const std::pair<const char*, const char*> table[] = {
      {"audio/aiff", "aiff"}, {"audio/x-wav", "wav"}, {"audio/mpeg", "mp3"}, {"video/mp4", "mp4"},
      {"image/jpeg", "jpeg"}, {"image/jpg", "jpg"},   {"image/png", "png"},  {"image/gif", "gif"},
      {"video/mpeg", "mpeg"}, {"video/mpg", "mpg"},   {"video/avi", "avi"},  {"sound/m4a", "m4a"},
      {"video/m4v", "m4v"}};
  for (const auto& [mime, ext] : table) EXPECT_EQ(fileExtensionForMimeType(mime), ext) << mime;
  for (const char* mime : {"IMAGE/PNG", "image/png; charset=binary", "audio/m4a", "image/webp", ""}) {
    EXPECT_EQ(fileExtensionForMimeType(mime), std::nullopt) << mime;
  }

  auto url = foundation::Url::parse("https://cdn.example.net/m?x=1&filename=clip.mp4&filename=other.png&file=z");
  ASSERT_TRUE(url);
  EXPECT_EQ(valueFromQueryParameter(*url, "filename"), "clip.mp4");
  EXPECT_EQ(valueFromQueryParameter(*url, "FILENAME"), std::nullopt);
  EXPECT_EQ(valueFromQueryParameter(*foundation::Url::parse("https://cdn.example.net/m"), "filename"), std::nullopt);
}

TEST_F(AttachmentsTest, DownloadsNameFilesByUrlMimeTypeOrQueryAndListThem) {
  server_.on("/m/pic.png", {200, "image/png", kPng});
  server_.on("/m/clip", {200, "image/png", kPng});
  server_.on("/m/movie", {200, std::nullopt, "movie bytes"});

  struct Case {
    std::string path;
    std::string extension;
    std::string body;
  };
  const Case cases[] = {
      {"/m/pic.png", ".png", kPng},
      {"/m/clip", ".png", kPng},
      {"/m/movie?filename=clip.mp4", ".mp4", "movie bytes"},
  };
  std::vector<std::string> names;
  for (const Case& c : cases) {
    std::optional<std::string> name = RerAvirorHelper::downloadMediaAndSaveInBundle(server_.url(c.path));
    ASSERT_TRUE(name) << c.path;
    EXPECT_EQ(name->size(), 10 + c.extension.size()) << *name;
    EXPECT_TRUE(name->ends_with(c.extension)) << *name;
    EXPECT_EQ(read(*name), c.body);
    names.push_back(*name);
  }
  // Listed in download order; no file without its extension is left behind.
  EXPECT_EQ(cachedMedia(), names);
  EXPECT_EQ(mediaFiles(), std::set<std::string>(names.begin(), names.end()));
  EXPECT_TRUE(capture_->log_lines().empty());
}

TEST_F(AttachmentsTest, TwoDownloadsOfOneAddressGiveTwoListedFiles) {
  server_.on("/m/pic.png", {200, "image/png", kPng});
  auto first = RerAvirorHelper::downloadMediaAndSaveInBundle(server_.url("/m/pic.png"));
  auto second = RerAvirorHelper::downloadMediaAndSaveInBundle(server_.url("/m/pic.png"));
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_EQ(cachedMedia(), (std::vector<std::string>{*first, *second}));
  EXPECT_EQ(server_.hits("/m/pic.png"), 2);
}

TEST_F(AttachmentsTest, UnsupportedExtensionSendsNoRequest) {
  server_.on("/m/pic.JPG", {200, "image/jpeg", kPng});
  EXPECT_EQ(RerAvirorHelper::downloadMediaAndSaveInBundle(server_.url("/m/pic.JPG")), std::nullopt);
  EXPECT_EQ(server_.hits("/m/pic.JPG"), 0);
  EXPECT_TRUE(mediaFiles().empty());
  EXPECT_TRUE(cachedMedia().empty());
}

TEST_F(AttachmentsTest, MimeTypeOutsideTheTableLeavesAnUnlistedFile) {
  server_.on("/m/image", {200, "image/webp", "webp bytes"});
  server_.on("/m/plain", {200, std::nullopt, "no type"});
  EXPECT_EQ(RerAvirorHelper::downloadMediaAndSaveInBundle(server_.url("/m/image")), std::nullopt);
  std::set<std::string> left = mediaFiles();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left.begin()->size(), 10u);  // the random name, no extension
  EXPECT_EQ(read(*left.begin()), "webp bytes");
  // No type and no "filename" query: the same.
  EXPECT_EQ(RerAvirorHelper::downloadMediaAndSaveInBundle(server_.url("/m/plain?file=a.png")), std::nullopt);
  EXPECT_EQ(mediaFiles().size(), 2u);
  EXPECT_TRUE(cachedMedia().empty());
}

TEST_F(AttachmentsTest, ErrorAnswersAndFailedTransfersLeaveNoFile) {
  server_.on("/m/gone.png", {404, "text/html", "<html>not found</html>"});
  server_.on("/m/broken", {500, "image/png", "server error page"});
  const std::string urls[] = {
      server_.url("/m/gone.png"),
      server_.url("/m/broken"),
      "http://127.0.0.1:1/m/refused.png",
  };
  for (const std::string& url : urls) {
    capture_->clear();
    EXPECT_EQ(RerAvirorHelper::downloadMediaAndSaveInBundle(url), std::nullopt) << url;
    EXPECT_TRUE(mediaFiles().empty()) << url;
    const auto lines = capture_->log_lines();
    ASSERT_EQ(lines.size(), 1u) << url;
    EXPECT_EQ(lines[0], std::string(logPrefix(kLogError)) +
                            "Encountered an error while attempting to download file with URL: " + url);
  }
  EXPECT_EQ(server_.hits("/m/gone.png"), 1);
  EXPECT_TRUE(cachedMedia().empty());
}

TEST_F(AttachmentsTest, AttachmentsFromWebAddressesAndBundleResources) {
  server_.on("/m/pic.png", {200, "image/png", kPng});
  server_.on("/m/gone.gif", {404, "text/plain", "missing"});
  std::ofstream(device_->bundle() / "sounds.ding.wav") << "RIFF";

  foundation::Dict raw{{"aps", foundation::Dict{{"alert", "hi"}}},
                       {"custom", foundation::Dict{{"i", "n-1"}}},
                       {"att", foundation::Dict{{"web", "  " + server_.url("/m/pic.png") + "\t"},
                                                {"sound", "sounds.ding.wav"},
                                                {"plain", "banner"},
                                                {"absent", "nothere.png"},
                                                {"failed", server_.url("/m/gone.gif")},
                                                {"bad", server_.url("/m/x.JPG")}}}};
  auto payload = OSNotificationPayload::parseWithApns(raw);
  ASSERT_TRUE(payload && payload->attachments()) << "payload attachments";
  notify::Content content;
  RerAvirorHelper::addAttachments(*payload, content);

  std::map<std::string, fs::path> got;
  for (const auto& attachment : content.attachments) got[attachment.identifier] = attachment.url.file_path();
  ASSERT_EQ(got.size(), 2u);
  ASSERT_EQ(cachedMedia().size(), 1u);
  EXPECT_EQ(got["web"], RerAvirorHelper::mediaFolder() / cachedMedia()[0]);
  EXPECT_EQ(fs::weakly_canonical(got["sound"]), fs::weakly_canonical(device_->bundle() / "sounds.ding.wav"));
}

TEST_F(AttachmentsTest, NoAttachmentSucceedingGivesAnEmptyList) {
  foundation::Dict raw{{"aps", foundation::Dict{{"alert", "hi"}}},
                       {"custom", foundation::Dict{{"i", "n-2"}}},
                       {"att", foundation::Dict{{"plain", "banner"}, {"bad", server_.url("/m/x.JPG")}}}};
  auto payload = OSNotificationPayload::parseWithApns(raw);
  ASSERT_TRUE(payload && payload->attachments());
  notify::Content content;
  content.attachments.push_back({"old", *foundation::Url::parse("file:///tmp/old.png"), {}});
  RerAvirorHelper::addAttachments(*payload, content);
  EXPECT_TRUE(content.attachments.empty());

  // Without attachments in the payload the content keeps its own.
  notify::Content untouched;
  untouched.attachments.push_back({"old", *foundation::Url::parse("file:///tmp/old.png"), {}});
  RerAvirorHelper::addAttachments(*OSNotificationPayload::parseWithApns(foundation::Dict{{"aps", foundation::Dict{}}}),
                                  untouched);
  EXPECT_EQ(untouched.attachments.size(), 1u);
}

}  // namespace
