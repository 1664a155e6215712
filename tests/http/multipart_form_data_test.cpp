// Multipart bodies: boundaries, exact bytes, stored append failures, file
// writing and the stream faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <algorithm>

#include "http/multipart_form_data.h"
#include "http_support.h"

namespace {

using namespace Duvarel;
namespace foundation = platform::foundation;
namespace fs = std::filesystem;
using foundation::Bytes;
using EncodingKind = AFError::MultipartEncodingFailureReason::Kind;

std::optional<EncodingKind> encodingReasonOf(const std::optional<Error>& error) {
  if (!error) return std::nullopt;
  const AFError* af = error->as<AFError>();
  if (!af || !af->multipartEncodingReason()) return std::nullopt;
  return af->multipartEncodingReason()->kind;
}

// "duvarel.boundary." and 16 lower-case hex digits.
bool hasBoundaryShape(const std::string& b) {
  const std::string prefix = "duvarel.boundary.";
  return b.size() == prefix.size() + 16 && b.rfind(prefix, 0) == 0 &&
         std::all_of(b.begin() + static_cast<std::ptrdiff_t>(prefix.size()), b.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string readFormFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Multipart : public ::testing::Test {
 protected:
  http_test::Device device{{}, nullptr};
  fs::path dir = device.scratch("files");
  void SetUp() override { fs::create_directories(dir); }
  foundation::Url file(const std::string& name, const std::string& contents) {
    std::ofstream(dir / name, std::ios::binary) << contents;
    return foundation::Url::file(dir / name);
  }
  static std::string encoded(MultipartFormData& form) {
    auto bytes = form.encode();
    if (!bytes) return "<error " + bytes.error().description() + ">";
    return foundation::to_string(*bytes);
  }
};

TEST_F(Multipart, BoundaryAndContentType) {
  MultipartFormData a, b;
  EXPECT_TRUE(hasBoundaryShape(a.boundary())) << a.boundary();
  EXPECT_TRUE(hasBoundaryShape(b.boundary())) << b.boundary();
  EXPECT_NE(a.boundary(), b.boundary());
  EXPECT_EQ(a.contentType(), "multipart/form-data; boundary=" + a.boundary());
  a.setContentType("multipart/mixed; boundary=x");
  EXPECT_EQ(a.contentType(), "multipart/mixed; boundary=x");
}

TEST_F(Multipart, ExactBytesForZeroOneAndThreeParts) {
  MultipartFormData empty;
  EXPECT_EQ(encoded(empty), "");
  EXPECT_EQ(empty.contentLength(), 0u);

  MultipartFormData one;
  one.append(foundation::to_bytes("xyz"), "a");
  const std::string B = one.boundary();
  EXPECT_EQ(one.contentLength(), 3u);
  EXPECT_EQ(encoded(one), "--" + B + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxyz\r\n--" + B + "--\r\n");

  MultipartFormData three;
  const std::string T = three.boundary();
  three.append(foundation::to_bytes("1"), "first");
  three.append(foundation::to_bytes("22"), "second", "text/plain");
  three.append(foundation::to_bytes("333"), "third", "t.bin", "application/x-thing");
  EXPECT_EQ(three.contentLength(), 6u);
  const std::string expected =
      "--" + T + "\r\nContent-Disposition: form-data; name=\"first\"\r\n\r\n1" +
      "\r\n--" + T + "\r\nContent-Disposition: form-data; name=\"second\"\r\nContent-Type: text/plain\r\n\r\n22" +
      "\r\n--" + T + "\r\nContent-Disposition: form-data; name=\"third\"; filename=\"t.bin\"\r\n" +
      "Content-Type: application/x-thing\r\n\r\n333\r\n--" + T + "--\r\n";
  EXPECT_EQ(encoded(three), expected);
  ASSERT_TRUE(three.bodyParts().front()->hasInitialBoundary);
  EXPECT_TRUE(three.bodyParts().back()->hasFinalBoundary);
  EXPECT_FALSE(three.bodyParts()[1]->hasInitialBoundary || three.bodyParts()[1]->hasFinalBoundary);

  // The file road writes the same bytes.
  MultipartFormData again;
  again.append(foundation::to_bytes("1"), "first");
  again.append(foundation::to_bytes("22"), "second", "text/plain");
  auto memory = encoded(again);
  MultipartFormData copy;
  copy.append(foundation::to_bytes("1"), "first");
  copy.append(foundation::to_bytes("22"), "second", "text/plain");
  const auto out = foundation::Url::file(dir / "body.out");
  ASSERT_TRUE(copy.writeEncodedBody(out));
  std::string onDisk = readFormFile(dir / "body.out");
  // Same layout, different boundary.
  EXPECT_EQ(replaceAll(onDisk, copy.boundary(), "B"), replaceAll(memory, again.boundary(), "B"));
  EXPECT_EQ(fs::status(dir / "body.out").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  MultipartFormData none;
  const auto emptyOut = foundation::Url::file(dir / "empty.out");
  ASSERT_TRUE(none.writeEncodedBody(emptyOut));
  EXPECT_TRUE(fs::exists(dir / "empty.out"));
  EXPECT_EQ(fs::file_size(dir / "empty.out"), 0u);
}

TEST_F(Multipart, FilePartsAndLongStreams) {
  std::string big(5000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  MultipartFormData form;
  form.append(file("photo.png", big), "photo");
  form.append(file("notes.zzunknown", "n"), "notes");
  ASSERT_FALSE(form.bodyPartError()) << form.bodyPartError()->description();
  EXPECT_EQ(form.contentLength(), 5001u);
  const std::string body = encoded(form);
  EXPECT_NE(body.find("Content-Disposition: form-data; name=\"photo\"; filename=\"photo.png\"\r\nContent-Type: image/png\r\n\r\n" +
                      big + "\r\n--"),
            std::string::npos);
  EXPECT_NE(body.find("name=\"notes\"; filename=\"notes.zzunknown\"\r\nContent-Type: application/octet-stream\r\n\r\nn\r\n"),
            std::string::npos);
}

TEST_F(Multipart, AppendFailuresAreStoredAndTheFirstIsKept) {
  fs::create_directories(dir / "folder.d");
  const struct {
    const char* name;
    foundation::Url url;
    EncodingKind kind;
  } cases[] = {
      {"not a file URL", *foundation::Url::parse("https://h.example/a.txt"), EncodingKind::bodyPartURLInvalid},
      {"missing file", foundation::Url::file(dir / "missing.txt"), EncodingKind::bodyPartFileNotReachableWithError},
      {"directory", foundation::Url::file(dir / "folder.d"), EncodingKind::bodyPartFileIsDirectory},
      {"no extension", file("README", "r"), EncodingKind::bodyPartFilenameInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MultipartFormData form;
    form.append(c.url, "f");
    EXPECT_EQ(encodingReasonOf(form.bodyPartError()), c.kind);
    EXPECT_TRUE(form.bodyParts().empty());
    EXPECT_EQ(form.bodyPartError()->as<AFError>()->url(), c.url);
    EXPECT_EQ(encodingReasonOf(form.encode().has_value() ? std::nullopt : std::optional(form.encode().error())), c.kind);
  }

  MultipartFormData form;
  form.append(foundation::Url::file(dir / "missing.txt"), "first");
  form.append(foundation::to_bytes("ok"), "later");
  form.append(foundation::Url::file(dir / "folder.d"), "third");
  EXPECT_EQ(form.bodyParts().size(), 1u);
  auto encodedForm = form.encode();
  ASSERT_FALSE(encodedForm);
  EXPECT_EQ(encodingReasonOf(encodedForm.error()), EncodingKind::bodyPartFileNotReachableWithError);
  const auto out = foundation::Url::file(dir / "never.out");
  EXPECT_EQ(encodingReasonOf(form.writeEncodedBody(out).error()), EncodingKind::bodyPartFileNotReachableWithError);
  EXPECT_FALSE(fs::exists(dir / "never.out"));
}

TEST_F(Multipart, LineBreaksInPartHeadersAreRefused) {
  const auto good = file("a.txt", "a");
  MultipartFormData name, fileName, mime, custom;
  name.append(foundation::to_bytes("x"), "a\r\nContent-Type: evil");
  fileName.append(good, "f", "a.txt\"\r\nX-Injected: 1", "text/plain");
  mime.append(foundation::to_bytes("x"), "m", "text/plain\nX: y");
  custom.append(foundation::InputStream::from_data(foundation::to_bytes("x")), 1, HTTPHeaders{{"X-A\r", "v"}});
  for (MultipartFormData* form : {&name, &fileName, &mime, &custom}) {
    EXPECT_EQ(encodingReasonOf(form->bodyPartError()), EncodingKind::bodyPartFilenameInvalid);
    EXPECT_TRUE(form->bodyParts().empty());
  }
  EXPECT_EQ(fileName.bodyPartError()->as<AFError>()->url(), good);
}

TEST_F(Multipart, WriteEncodedBodyRefusals) {
  MultipartFormData form;
  form.append(foundation::to_bytes("x"), "a");
  const auto existing = file("existing.out", "keep");
  EXPECT_EQ(encodingReasonOf(form.writeEncodedBody(existing).error()), EncodingKind::outputStreamFileAlreadyExists);
  EXPECT_EQ(readFormFile(dir / "existing.out"), "keep");
  // The existence test comes before the URL kind.
  auto webWithExistingPath = *foundation::Url::parse("https://h.example" + (dir / "existing.out").string());
  EXPECT_EQ(encodingReasonOf(form.writeEncodedBody(webWithExistingPath).error()), EncodingKind::outputStreamFileAlreadyExists);
  EXPECT_EQ(encodingReasonOf(form.writeEncodedBody(*foundation::Url::parse("https://h.example/new.out")).error()),
            EncodingKind::outputStreamURLInvalid);
  // A link is never followed, even a dangling one.
  fs::create_symlink(dir / "target.out", dir / "link.out");
  EXPECT_EQ(encodingReasonOf(form.writeEncodedBody(foundation::Url::file(dir / "link.out")).error()),
            EncodingKind::outputStreamFileAlreadyExists);
  EXPECT_FALSE(fs::exists(dir / "target.out"));
  EXPECT_EQ(encodingReasonOf(form.writeEncodedBody(foundation::Url::file(dir / "no" / "such" / "dir.out")).error()),
            EncodingKind::outputStreamCreationFailed);
}

// An output stream that accepts `budget` bytes, then misbehaves as told.
class StingyStream final : public foundation::OutputStream {
 public:
  enum class Mode { zeroProgress, negativeWithoutError, noSpace };
  StingyStream(Mode mode, std::size_t budget) : mode_(mode), budget_(budget) {}
  void open() override { set_status(foundation::StreamStatus::open); }
  void close() override { set_status(foundation::StreamStatus::closed); }
  std::ptrdiff_t write(std::span<const std::uint8_t> bytes) override {
    if (budget_ == 0) return mode_ == Mode::zeroProgress ? 0 : -1;
    std::size_t n = std::min(budget_, bytes.size());
    budget_ -= n;
    written += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  bool has_space_available() const override { return mode_ != Mode::noSpace || budget_ > 0; }
  std::size_t written = 0;

 private:
  Mode mode_;
  std::size_t budget_;
};

// An input stream that reads `bytes`, then returns -1 without an error.
class BrokenInput final : public foundation::InputStream {
 public:
  void open() override { set_status(foundation::StreamStatus::open); }
  void close() override { set_status(foundation::StreamStatus::closed); }
  std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
    if (served_) return -1;
    served_ = true;
    buffer[0] = 'x';
    return 1;
  }
  bool has_bytes_available() const override { return true; }

 private:
  bool served_ = false;
};

TEST_F(Multipart, StreamFaultsFailInsteadOfTruncating) {
  for (auto mode : {StingyStream::Mode::zeroProgress, StingyStream::Mode::negativeWithoutError, StingyStream::Mode::noSpace}) {
    SCOPED_TRACE(static_cast<int>(mode));
    MultipartFormData form;
    form.append(Bytes(3000, 'q'), "a");
    StingyStream stream(mode, 1500);
    stream.open();
    auto written = form.writeEncodedBody(stream);
    ASSERT_FALSE(written);
    EXPECT_EQ(encodingReasonOf(written.error()), EncodingKind::outputStreamWriteFailed);
    EXPECT_EQ(stream.written, 1500u);
  }
  MultipartFormData broken;
  broken.append(std::make_shared<BrokenInput>(), 10, "b", "b.bin", "application/octet-stream");
  auto memory = broken.encode();
  ASSERT_FALSE(memory);
  EXPECT_EQ(encodingReasonOf(memory.error()), EncodingKind::inputStreamReadFailed);

  // A file that vanished after its append fails the encoding, never an empty part.
  MultipartFormData vanished;
  vanished.append(file("gone.txt", "data"), "g");
  fs::remove(dir / "gone.txt");
  auto gone = vanished.encode();
  ASSERT_FALSE(gone);
  EXPECT_EQ(encodingReasonOf(gone.error()), EncodingKind::inputStreamReadFailed);
}

}  // namespace
