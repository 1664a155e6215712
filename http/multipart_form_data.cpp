#include "http/multipart_form_data.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <span>

#include "platform/foundation/fd_io.h"
#include "platform/os/file_manager.h"
#include "platform/os/media.h"
#include "platform/security/random.h"

namespace Duvarel {

namespace foundation = platform::foundation;
using EncodingReason = AFError::MultipartEncodingFailureReason;
using Bytes = foundation::Bytes;

namespace {

foundation::Error posixError(int code) { return foundation::Error(std::string(foundation::posix_error::domain), code); }

Error multipartError(EncodingReason reason) { return AFError::multipartEncodingFailed(std::move(reason)); }


bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// A new file opened with O_CREAT|O_EXCL|O_NOFOLLOW: creation and the
// existence test are one step, and a link is never followed.
class ExclusiveFileStream final : public foundation::OutputStream {
 public:
  explicit ExclusiveFileStream(std::filesystem::path path) : path_(std::move(path)) {}
  ~ExclusiveFileStream() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void open() override {
    if (status() != foundation::StreamStatus::not_open) return;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      openErrno_ = errno;
      fail(posix_error(errno));
      return;
    }
    set_status(foundation::StreamStatus::open);
    notify(foundation::open_completed);
  }
  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    unschedule();
    set_status(foundation::StreamStatus::closed);
  }
  std::ptrdiff_t write(std::span<const std::uint8_t> bytes) override {
    if (fd_ < 0 || status() != foundation::StreamStatus::open) return -1;
    if (int err = foundation::fd_io::write_all(fd_, bytes); err != 0) {
      fail(posix_error(err));
      return -1;
    }
    return static_cast<std::ptrdiff_t>(bytes.size());
  }
  bool has_space_available() const override { return fd_ >= 0 && status() == foundation::StreamStatus::open; }

  int openErrno() const { return openErrno_; }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  int openErrno_ = 0;
};

// Writes every byte or fails; no progress is a failure, never a short body.
Expected<void> writeBuffer(std::span<const std::uint8_t> bytes, foundation::OutputStream& stream) {
  while (!bytes.empty()) {
    if (!stream.has_space_available()) {
      return multipartError(EncodingReason::outputStreamWriteFailed(stream.error().value_or(posixError(EIO))));
    }
    std::ptrdiff_t written = stream.write(bytes);
    if (auto error = stream.error()) return multipartError(EncodingReason::outputStreamWriteFailed(*error));
    if (written <= 0) return multipartError(EncodingReason::outputStreamWriteFailed(posixError(EIO)));
    bytes = bytes.subspan(std::min(bytes.size(), static_cast<std::size_t>(written)));
  }
  return {};
}

// Reads the part's stream chunk by chunk into `sink`; a read error, or a read
// below zero without one, fails.
template <class Sink>
Expected<void> readStream(foundation::InputStream& stream, Sink&& sink) {
  stream.open();
  if (auto error = stream.error()) {
    stream.close();
    return multipartError(EncodingReason::inputStreamReadFailed(*error));
  }
  while (stream.has_bytes_available()) {
    std::array<std::uint8_t, MultipartFormData::streamBufferSize> buffer{};
    std::ptrdiff_t read = stream.read(buffer);
    if (auto error = stream.error()) {
      stream.close();
      return multipartError(EncodingReason::inputStreamReadFailed(*error));
    }
    if (read < 0) {
      stream.close();
      return multipartError(EncodingReason::inputStreamReadFailed(posixError(EIO)));
    }
    if (read == 0) break;
    if (auto done = sink(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(read))); !done) {
      stream.close();
      return done;
    }
  }
  stream.close();
  return {};
}

}  // namespace

std::string MultipartFormData::BoundaryGenerator::randomBoundary() {
  const std::uint32_t first = platform::security::random_u32();
  const std::uint32_t second = platform::security::random_u32();
  char text[40];
  std::snprintf(text, sizeof text, "duvarel.boundary.%08x%08x", first, second);
  return text;
}

Bytes MultipartFormData::BoundaryGenerator::boundaryData(BoundaryType type, const std::string& boundary) {
  std::string text;
  switch (type) {
    case BoundaryType::initial: text = "--" + boundary + "\r\n"; break;
    case BoundaryType::encapsulated: text = "\r\n--" + boundary + "\r\n"; break;
    case BoundaryType::final: text = "\r\n--" + boundary + "--\r\n"; break;
  }
  return foundation::to_bytes(text);
}

MultipartFormData::MultipartFormData() : boundary_(BoundaryGenerator::randomBoundary()) {}

const std::string& MultipartFormData::contentType() {
  if (!contentType_) contentType_ = "multipart/form-data; boundary=" + boundary_;
  return *contentType_;
}
void MultipartFormData::setContentType(std::string contentType) { contentType_ = std::move(contentType); }

std::uint64_t MultipartFormData::contentLength() const {
  std::uint64_t total = 0;
  for (const auto& part : bodyParts_) total += part->bodyContentLength;
  return total;
}

HTTPHeaders MultipartFormData::contentHeaders(const std::string& name, const std::optional<std::string>& fileName,
                                              const std::optional<std::string>& mimeType) const {
  std::string disposition = "form-data; name=\"" + name + "\"";
  if (fileName) disposition += "; filename=\"" + *fileName + "\"";
  HTTPHeaders headers{{"Content-Disposition", disposition}};
  if (mimeType) headers["Content-Type"] = *mimeType;
  return headers;
}

std::string MultipartFormData::mimeType(const std::string& pathExtension) {
  return platform::os::mime_type_for_extension(pathExtension);
}

void MultipartFormData::setBodyPartError(EncodingReason reason) {
  if (!bodyPartError_) bodyPartError_ = multipartError(std::move(reason));
}

void MultipartFormData::append(const Bytes& data, const std::string& name) {
  appendPart(InputStream::from_data(data), data.size(), contentHeaders(name, std::nullopt, std::nullopt), std::nullopt);
}
void MultipartFormData::append(const Bytes& data, const std::string& name, const std::string& mime) {
  appendPart(InputStream::from_data(data), data.size(), contentHeaders(name, std::nullopt, mime), std::nullopt);
}
void MultipartFormData::append(const Bytes& data, const std::string& name, const std::string& fileName,
                               const std::string& mime) {
  appendPart(InputStream::from_data(data), data.size(), contentHeaders(name, fileName, mime), std::nullopt);
}

void MultipartFormData::append(const Url& fileURL, const std::string& name) {
  const std::string fileName = fileURL.last_path_component();
  const std::string extension = fileURL.path_extension();
  if (fileName.empty() || extension.empty()) {
    setBodyPartError(EncodingReason::bodyPartFilenameInvalid(fileURL));
    return;
  }
  append(fileURL, name, fileName, mimeType(extension));
}

void MultipartFormData::append(const Url& fileURL, const std::string& name, const std::string& fileName,
                               const std::string& mime) {
  HTTPHeaders headers = contentHeaders(name, fileName, mime);
  if (!fileURL.is_file_url()) {
    setBodyPartError(EncodingReason::bodyPartURLInvalid(fileURL));
    return;
  }
  const std::filesystem::path path = fileURL.file_path();
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    foundation::Dict info{{std::string(foundation::key_file_path), path.string()}};
    if (ec && ec != std::errc::no_such_file_or_directory)
      info.set(std::string(foundation::key_underlying_error), foundation::Value(ec.message()));
    setBodyPartError(EncodingReason::bodyPartFileNotReachableWithError(
        fileURL, foundation::Error(std::string(foundation::cocoa_error::domain),
                                   foundation::cocoa_error::file_read_no_such_file, std::move(info))));
    return;
  }
  bool isDirectory = false;
  auto& files = platform::os::FileManager::shared();
  if (!files.exists(path, &isDirectory) || isDirectory) {
    setBodyPartError(EncodingReason::bodyPartFileIsDirectory(fileURL));
    return;
  }
  auto attributes = files.attributes(path);
  if (!attributes) {
    setBodyPartError(EncodingReason::bodyPartFileSizeQueryFailedWithError(fileURL, attributes.error()));
    return;
  }
  auto stream = InputStream::from_file(fileURL);
  if (!stream) {
    setBodyPartError(EncodingReason::bodyPartInputStreamCreationFailed(fileURL));
    return;
  }
  appendPart(std::move(stream), attributes->size, std::move(headers), fileURL);
}

void MultipartFormData::append(std::shared_ptr<InputStream> stream, std::uint64_t length, const std::string& name,
                               const std::string& fileName, const std::string& mime) {
  appendPart(std::move(stream), length, contentHeaders(name, fileName, mime), std::nullopt);
}

void MultipartFormData::append(std::shared_ptr<InputStream> stream, std::uint64_t length, HTTPHeaders headers) {
  appendPart(std::move(stream), length, std::move(headers), std::nullopt);
}

void MultipartFormData::appendPart(std::shared_ptr<InputStream> stream, std::uint64_t length, HTTPHeaders headers,
                                   const std::optional<Url>& source) {
  for (const auto& [field, value] : headers) {
    if (hasLineBreak(field) || hasLineBreak(value)) {
      // A line break would start a header of its own: refuse the part.
      setBodyPartError(EncodingReason::bodyPartFilenameInvalid(source.value_or(*Url::parse("data:,"))));
      return;
    }
  }
  bodyParts_.push_back(std::make_shared<BodyPart>(std::move(headers), std::move(stream), length));
}

void MultipartFormData::markBoundaries() {
  if (bodyParts_.empty()) return;
  bodyParts_.front()->hasInitialBoundary = true;
  bodyParts_.back()->hasFinalBoundary = true;
}

Bytes MultipartFormData::encodeHeaders(const BodyPart& part) const {
  std::string text;
  for (const auto& [field, value] : part.headers) text += field + ": " + value + "\r\n";
  text += "\r\n";
  return foundation::to_bytes(text);
}

Expected<void> MultipartFormData::encodeBodyStream(BodyPart& part, Bytes& out) const {
  if (!part.bodyStream) return multipartError(EncodingReason::inputStreamReadFailed(posixError(EBADF)));
  return readStream(*part.bodyStream, [&out](std::span<const std::uint8_t> chunk) -> Expected<void> {
    out.insert(out.end(), chunk.begin(), chunk.end());
    return {};
  });
}

Expected<Bytes> MultipartFormData::encode() {
  if (bodyPartError_) return *bodyPartError_;
  markBoundaries();
  Bytes out;
  // The body's size as stated, so the buffer is allocated once.
  std::uint64_t expected = contentLength();
  for (const auto& part : bodyParts_) expected += encodeHeaders(*part).size() + 2 * (boundary_.size() + 8);
  out.reserve(static_cast<std::size_t>(expected));
  for (const auto& part : bodyParts_) {
    Bytes boundaryLine = BoundaryGenerator::boundaryData(
        part->hasInitialBoundary ? BoundaryGenerator::BoundaryType::initial : BoundaryGenerator::BoundaryType::encapsulated,
        boundary_);
    out.insert(out.end(), boundaryLine.begin(), boundaryLine.end());
    Bytes headerBlock = encodeHeaders(*part);
    out.insert(out.end(), headerBlock.begin(), headerBlock.end());
    if (auto body = encodeBodyStream(*part, out); !body) return body.error();
    if (part->hasFinalBoundary) {
      Bytes finalLine = BoundaryGenerator::boundaryData(BoundaryGenerator::BoundaryType::final, boundary_);
      out.insert(out.end(), finalLine.begin(), finalLine.end());
    }
  }
  return out;
}

Expected<void> MultipartFormData::writeBodyPart(BodyPart& part, OutputStream& stream) const {
  Bytes boundaryLine = BoundaryGenerator::boundaryData(
      part.hasInitialBoundary ? BoundaryGenerator::BoundaryType::initial : BoundaryGenerator::BoundaryType::encapsulated,
      boundary_);
  if (auto r = writeBuffer(boundaryLine, stream); !r) return r;
  if (auto r = writeBuffer(encodeHeaders(part), stream); !r) return r;
  if (!part.bodyStream) return multipartError(EncodingReason::inputStreamReadFailed(posixError(EBADF)));
  if (auto r = readStream(*part.bodyStream,
                          [&stream](std::span<const std::uint8_t> chunk) { return writeBuffer(chunk, stream); });
      !r)
    return r;
  if (part.hasFinalBoundary) {
    if (auto r = writeBuffer(BoundaryGenerator::boundaryData(BoundaryGenerator::BoundaryType::final, boundary_), stream);
        !r)
      return r;
  }
  return {};
}

Expected<void> MultipartFormData::writeEncodedBody(OutputStream& stream) {
  if (bodyPartError_) return *bodyPartError_;
  markBoundaries();
  for (const auto& part : bodyParts_) {
    if (auto r = writeBodyPart(*part, stream); !r) return r;
  }
  return {};
}

Expected<void> MultipartFormData::writeEncodedBody(const Url& fileURL) {
  if (bodyPartError_) return *bodyPartError_;
  // An item at the URL's path, whatever the URL's kind, is refused first.
  if (const std::string path = fileURL.path(); !path.empty()) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found && !ec)
      return multipartError(EncodingReason::outputStreamFileAlreadyExists(fileURL));
  }
  if (!fileURL.is_file_url()) return multipartError(EncodingReason::outputStreamURLInvalid(fileURL));
  ExclusiveFileStream stream(fileURL.file_path());
  stream.open();
  if (stream.status() != foundation::StreamStatus::open) {
    const int err = stream.openErrno();
    if (err == EEXIST || err == ELOOP) return multipartError(EncodingReason::outputStreamFileAlreadyExists(fileURL));
    return multipartError(EncodingReason::outputStreamCreationFailed(fileURL));
  }
  Expected<void> written = writeEncodedBody(static_cast<OutputStream&>(stream));
  stream.close();
  return written;
}

}  // namespace Duvarel
