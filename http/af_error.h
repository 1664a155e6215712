#pragma once
// AFError: the one error type the HTTP client raises, with its four reason
// enumerations, case tests, payload accessors and fixed English messages.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "http/error.h"
#include "http/url_convertible.h"
#include "platform/foundation/text.h"
#include "platform/foundation/url.h"

namespace Duvarel {

using StringEncoding = platform::foundation::text::Encoding;

// The encoding's display name, e.g. "Unicode (UTF-8)".
std::string describeStringEncoding(StringEncoding encoding);

class AFError : public ErrorProtocol {
 public:
  using Url = platform::foundation::Url;

  struct ParameterEncodingFailureReason {
    enum class Kind { jsonEncodingFailed, propertyListEncodingFailed, missingURL };
    static ParameterEncodingFailureReason jsonEncodingFailed(Error error) { return {Kind::jsonEncodingFailed, std::move(error)}; }
    static ParameterEncodingFailureReason propertyListEncodingFailed(Error error) {
      return {Kind::propertyListEncodingFailed, std::move(error)};
    }
    static ParameterEncodingFailureReason missingURL() { return {Kind::missingURL, std::nullopt}; }

    Kind kind;
    std::optional<Error> error;

    std::optional<Error> underlyingError() const { return error; }
    std::string message() const;
    std::string description() const;
  };

  struct MultipartEncodingFailureReason {
    enum class Kind {
      bodyPartURLInvalid,
      bodyPartFilenameInvalid,
      bodyPartFileNotReachable,
      bodyPartFileNotReachableWithError,
      bodyPartFileIsDirectory,
      bodyPartFileSizeNotAvailable,
      bodyPartFileSizeQueryFailedWithError,
      bodyPartInputStreamCreationFailed,
      outputStreamCreationFailed,
      outputStreamFileAlreadyExists,
      outputStreamURLInvalid,
      outputStreamWriteFailed,
      inputStreamReadFailed,
    };
    static MultipartEncodingFailureReason bodyPartURLInvalid(Url url) { return {Kind::bodyPartURLInvalid, std::move(url), {}}; }
    static MultipartEncodingFailureReason bodyPartFilenameInvalid(Url in) { return {Kind::bodyPartFilenameInvalid, std::move(in), {}}; }
    static MultipartEncodingFailureReason bodyPartFileNotReachable(Url at) { return {Kind::bodyPartFileNotReachable, std::move(at), {}}; }
    static MultipartEncodingFailureReason bodyPartFileNotReachableWithError(Url atURL, Error error) {
      return {Kind::bodyPartFileNotReachableWithError, std::move(atURL), std::move(error)};
    }
    static MultipartEncodingFailureReason bodyPartFileIsDirectory(Url at) { return {Kind::bodyPartFileIsDirectory, std::move(at), {}}; }
    static MultipartEncodingFailureReason bodyPartFileSizeNotAvailable(Url at) {
      return {Kind::bodyPartFileSizeNotAvailable, std::move(at), {}};
    }
    static MultipartEncodingFailureReason bodyPartFileSizeQueryFailedWithError(Url forURL, Error error) {
      return {Kind::bodyPartFileSizeQueryFailedWithError, std::move(forURL), std::move(error)};
    }
    static MultipartEncodingFailureReason bodyPartInputStreamCreationFailed(Url for_) {
      return {Kind::bodyPartInputStreamCreationFailed, std::move(for_), {}};
    }
    static MultipartEncodingFailureReason outputStreamCreationFailed(Url for_) {
      return {Kind::outputStreamCreationFailed, std::move(for_), {}};
    }
    static MultipartEncodingFailureReason outputStreamFileAlreadyExists(Url at) {
      return {Kind::outputStreamFileAlreadyExists, std::move(at), {}};
    }
    static MultipartEncodingFailureReason outputStreamURLInvalid(Url url) { return {Kind::outputStreamURLInvalid, std::move(url), {}}; }
    static MultipartEncodingFailureReason outputStreamWriteFailed(Error error) {
      return {Kind::outputStreamWriteFailed, std::nullopt, std::move(error)};
    }
    static MultipartEncodingFailureReason inputStreamReadFailed(Error error) {
      return {Kind::inputStreamReadFailed, std::nullopt, std::move(error)};
    }

    Kind kind;
    std::optional<Url> url;  // every kind but the two stream failures
    std::optional<Error> error;

    std::optional<Error> underlyingError() const { return error; }
    std::string message() const;
    std::string description() const;
  };

  struct ResponseValidationFailureReason {
    enum class Kind { dataFileNil, dataFileReadFailed, missingContentType, unacceptableContentType, unacceptableStatusCode };
    static ResponseValidationFailureReason dataFileNil() { return {Kind::dataFileNil, {}, {}, {}, {}}; }
    static ResponseValidationFailureReason dataFileReadFailed(Url at) { return {Kind::dataFileReadFailed, std::move(at), {}, {}, {}}; }
    static ResponseValidationFailureReason missingContentType(std::vector<std::string> acceptableContentTypes) {
      return {Kind::missingContentType, {}, std::move(acceptableContentTypes), {}, {}};
    }
    static ResponseValidationFailureReason unacceptableContentType(std::vector<std::string> acceptableContentTypes,
                                                                   std::string responseContentType) {
      return {Kind::unacceptableContentType, {}, std::move(acceptableContentTypes), std::move(responseContentType), {}};
    }
    static ResponseValidationFailureReason unacceptableStatusCode(std::int64_t code) {
      return {Kind::unacceptableStatusCode, {}, {}, {}, code};
    }

    Kind kind;
    std::optional<Url> at;
    std::vector<std::string> acceptableContentTypes;
    std::string responseContentType;
    std::int64_t code = 0;

    std::string message() const;
    std::string description() const;
  };

  struct ResponseSerializationFailureReason {
    enum class Kind {
      inputDataNil,
      inputDataNilOrZeroLength,
      inputFileNil,
      inputFileReadFailed,
      stringSerializationFailed,
      jsonSerializationFailed,
      propertyListSerializationFailed,
    };
    static ResponseSerializationFailureReason inputDataNil() { return {Kind::inputDataNil, {}, {}, {}}; }
    static ResponseSerializationFailureReason inputDataNilOrZeroLength() { return {Kind::inputDataNilOrZeroLength, {}, {}, {}}; }
    static ResponseSerializationFailureReason inputFileNil() { return {Kind::inputFileNil, {}, {}, {}}; }
    static ResponseSerializationFailureReason inputFileReadFailed(Url at) { return {Kind::inputFileReadFailed, std::move(at), {}, {}}; }
    static ResponseSerializationFailureReason stringSerializationFailed(StringEncoding encoding) {
      return {Kind::stringSerializationFailed, {}, encoding, {}};
    }
    static ResponseSerializationFailureReason jsonSerializationFailed(Error error) {
      return {Kind::jsonSerializationFailed, {}, {}, std::move(error)};
    }
    static ResponseSerializationFailureReason propertyListSerializationFailed(Error error) {
      return {Kind::propertyListSerializationFailed, {}, {}, std::move(error)};
    }

    Kind kind;
    std::optional<Url> at;
    std::optional<StringEncoding> encoding;
    std::optional<Error> error;

    std::optional<Error> underlyingError() const { return error; }
    std::string message() const;
    std::string description() const;
  };

  // The five cases, in declaration order (also the bridged error code).
  enum class Case { invalidURL, parameterEncodingFailed, multipartEncodingFailed, responseValidationFailed, responseSerializationFailed };

  static AFError invalidURL(URLConvertible url) { return AFError(Payload(std::move(url))); }
  static AFError parameterEncodingFailed(ParameterEncodingFailureReason reason) { return AFError(Payload(std::move(reason))); }
  static AFError multipartEncodingFailed(MultipartEncodingFailureReason reason) { return AFError(Payload(std::move(reason))); }
  static AFError responseValidationFailed(ResponseValidationFailureReason reason) { return AFError(Payload(std::move(reason))); }
  static AFError responseSerializationFailed(ResponseSerializationFailureReason reason) {
    return AFError(Payload(std::move(reason)));
  }

  Case kind() const { return static_cast<Case>(payload_.index()); }

  bool isInvalidURLError() const { return kind() == Case::invalidURL; }
  bool isParameterEncodingError() const { return kind() == Case::parameterEncodingFailed; }
  bool isMultipartEncodingError() const { return kind() == Case::multipartEncodingFailed; }
  bool isResponseValidationError() const { return kind() == Case::responseValidationFailed; }
  bool isResponseSerializationError() const { return kind() == Case::responseSerializationFailed; }

  // The reason of the matching case, nullptr otherwise.
  const ParameterEncodingFailureReason* parameterEncodingReason() const { return std::get_if<1>(&payload_); }
  const MultipartEncodingFailureReason* multipartEncodingReason() const { return std::get_if<2>(&payload_); }
  const ResponseValidationFailureReason* responseValidationReason() const { return std::get_if<3>(&payload_); }
  const ResponseSerializationFailureReason* responseSerializationReason() const { return std::get_if<4>(&payload_); }

  std::optional<URLConvertible> urlConvertible() const;
  std::optional<Url> url() const;  // multipart reasons only
  std::optional<Error> underlyingError() const;
  std::optional<std::vector<std::string>> acceptableContentTypes() const;
  std::optional<std::string> responseContentType() const;
  std::optional<std::int64_t> responseCode() const;
  std::optional<StringEncoding> failedStringEncoding() const;

  // Always a text: the message of the case or of its reason.
  std::optional<std::string> errorDescription() const { return message(); }
  std::string message() const;
  // The default rendering, e.g. `parameterEncodingFailed(reason: ...missingURL)`.
  std::string description() const;
  std::int64_t code() const { return static_cast<std::int64_t>(kind()); }

 private:
  using Payload = std::variant<URLConvertible, ParameterEncodingFailureReason, MultipartEncodingFailureReason,
                               ResponseValidationFailureReason, ResponseSerializationFailureReason>;
  explicit AFError(Payload p) : payload_(std::move(p)) {}
  Payload payload_;
};

}  // namespace Duvarel
