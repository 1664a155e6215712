#pragma once
// A multipart/form-data body under construction. Appends never fail on the
// spot: the first problem is stored and both encoders raise it. Part bodies
// stay in their streams until encoding; files are not read when appended.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/af_error.h"
#include "http/error.h"
#include "http/url_convertible.h"
#include "platform/foundation/stream.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace Duvarel {

class MultipartFormData {
 public:
  using Url = platform::foundation::Url;
  using Bytes = platform::foundation::Bytes;
  using InputStream = platform::foundation::InputStream;
  using OutputStream = platform::foundation::OutputStream;

  struct EncodingCharacters {
    static constexpr const char* crlf = "\r\n";
  };

  struct BoundaryGenerator {
    enum class BoundaryType { initial, encapsulated, final };
    // "duvarel.boundary." and two random 32-bit values as 8 lower-case hex digits each.
    static std::string randomBoundary();
    static Bytes boundaryData(BoundaryType type, const std::string& boundary);
  };

  class BodyPart {
   public:
    BodyPart(HTTPHeaders partHeaders, std::shared_ptr<InputStream> stream, std::uint64_t length)
        : headers(std::move(partHeaders)), bodyStream(std::move(stream)), bodyContentLength(length) {}
    HTTPHeaders headers;
    std::shared_ptr<InputStream> bodyStream;
    std::uint64_t bodyContentLength;
    bool hasInitialBoundary = false;
    bool hasFinalBoundary = false;
  };

  static constexpr std::int64_t streamBufferSize = 1024;

  MultipartFormData();
  virtual ~MultipartFormData() = default;
  MultipartFormData(const MultipartFormData&) = delete;
  MultipartFormData& operator=(const MultipartFormData&) = delete;

  // "multipart/form-data; boundary=<boundary>" unless a caller stored its own.
  virtual const std::string& contentType();
  virtual void setContentType(std::string contentType);
  // The sum of the parts' body lengths (no boundaries, no headers).
  virtual std::uint64_t contentLength() const;

  const std::string& boundary() const { return boundary_; }
  const std::vector<std::shared_ptr<BodyPart>>& bodyParts() const { return bodyParts_; }
  // The first append failure.
  const std::optional<Error>& bodyPartError() const { return bodyPartError_; }

  virtual void append(const Bytes& data, const std::string& name);
  virtual void append(const Bytes& data, const std::string& name, const std::string& mimeType);
  virtual void append(const Bytes& data, const std::string& name, const std::string& fileName,
                      const std::string& mimeType);
  // File name and media type from the URL's last path component and extension.
  virtual void append(const Url& fileURL, const std::string& name);
  virtual void append(const Url& fileURL, const std::string& name, const std::string& fileName,
                      const std::string& mimeType);
  virtual void append(std::shared_ptr<InputStream> stream, std::uint64_t length, const std::string& name,
                      const std::string& fileName, const std::string& mimeType);
  // Adds the part as given. A header holding CR or LF is refused as a stored failure.
  virtual void append(std::shared_ptr<InputStream> stream, std::uint64_t length, HTTPHeaders headers);

  // The whole body in memory.
  virtual Expected<Bytes> encode();
  // The whole body into a new file (never an existing one, never through a
  // link), readable by the owner only. A failure after creation leaves the
  // partial file for the caller to remove.
  virtual Expected<void> writeEncodedBody(const Url& fileURL);
  // The whole body into an open stream. A write that makes no progress, or a
  // stream that stops taking bytes, fails with outputStreamWriteFailed.
  virtual Expected<void> writeEncodedBody(OutputStream& stream);

 protected:
  HTTPHeaders contentHeaders(const std::string& name, const std::optional<std::string>& fileName,
                             const std::optional<std::string>& mimeType) const;
  static std::string mimeType(const std::string& pathExtension);
  void setBodyPartError(AFError::MultipartEncodingFailureReason reason);

 private:
  void appendPart(std::shared_ptr<InputStream> stream, std::uint64_t length, HTTPHeaders headers,
                  const std::optional<Url>& source);
  void markBoundaries();
  Bytes encodeHeaders(const BodyPart& part) const;
  Expected<void> encodeBodyStream(BodyPart& part, Bytes& out) const;
  Expected<void> writeBodyPart(BodyPart& part, OutputStream& stream) const;

  std::optional<std::string> contentType_;
  const std::string boundary_;
  std::vector<std::shared_ptr<BodyPart>> bodyParts_;
  std::optional<Error> bodyPartError_;
};

}  // namespace Duvarel
