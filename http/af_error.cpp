#include "http/af_error.h"

namespace Duvarel {

namespace {

std::string urlText(const std::optional<platform::foundation::Url>& url) { return url ? url->absolute_string() : std::string(); }

// Localized description for parameter-encoding and serialization reasons.
std::string localized(const std::optional<Error>& error) { return error ? error->localizedDescription() : std::string(); }
// Default rendering for multipart reasons and for descriptions.
std::string rendered(const std::optional<Error>& error) { return error ? error->description() : std::string(); }

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += separator;
    out += items[i];
  }
  return out;
}

std::string quotedList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += "\"" + items[i] + "\"";
  }
  return out + "]";
}

constexpr const char* kReasonPrefix = "Duvarel.AFError.";

}  // namespace

std::string describeStringEncoding(StringEncoding encoding) {
  using E = StringEncoding;
  switch (encoding) {
    case E::utf8: return "Unicode (UTF-8)";
    case E::ascii: return "Western (ASCII)";
    case E::iso_latin1: return "Western (ISO Latin 1)";
    case E::iso_latin2: return "Central European (ISO Latin 2)";
    case E::iso_latin9: return "Western (ISO Latin 9)";
    case E::windows_1250: return "Central European (Windows Latin 2)";
    case E::windows_1251: return "Cyrillic (Windows)";
    case E::windows_1252: return "Western (Windows Latin 1)";
    case E::windows_1253: return "Greek (Windows)";
    case E::windows_1254: return "Turkish (Windows Latin 5)";
    case E::mac_roman: return "Western (Mac OS Roman)";
    case E::utf16: return "Unicode (UTF-16)";
    case E::utf16be: return "Unicode (UTF-16BE)";
    case E::utf16le: return "Unicode (UTF-16LE)";
    case E::utf32: return "Unicode (UTF-32)";
    case E::utf32be: return "Unicode (UTF-32BE)";
    case E::utf32le: return "Unicode (UTF-32LE)";
    case E::shift_jis: return "Japanese (Windows, DOS)";
    case E::euc_jp: return "Japanese (EUC)";
    case E::iso_2022_jp: return "Japanese (ISO 2022-JP)";
    case E::gb_18030: return "Chinese (GB 18030)";
    case E::big5: return "Traditional Chinese (Big 5)";
    case E::euc_kr: return "Korean (EUC)";
    case E::koi8_r: return "Cyrillic (KOI8-R)";
  }
  return "Unknown";
}

// ---- messages ---------------------------------------------------------------

std::string AFError::ParameterEncodingFailureReason::message() const {
  switch (kind) {
    case Kind::missingURL: return "URL request to encode was missing a URL";
    case Kind::jsonEncodingFailed: return "JSON could not be encoded because of error:\n" + localized(error);
    case Kind::propertyListEncodingFailed: return "PropertyList could not be encoded because of error:\n" + localized(error);
  }
  return {};
}

std::string AFError::MultipartEncodingFailureReason::message() const {
  const std::string u = urlText(url);
  switch (kind) {
    case Kind::bodyPartURLInvalid: return "The URL provided is not a file URL: " + u;
    case Kind::bodyPartFilenameInvalid: return "The URL provided does not have a valid filename: " + u;
    case Kind::bodyPartFileNotReachable: return "The URL provided is not reachable: " + u;
    case Kind::bodyPartFileNotReachableWithError:
      return std::string("The system returned an error while checking the provided URL for ") + "reachability.\nURL: " + u +
             "\nError: " + rendered(error);
    case Kind::bodyPartFileIsDirectory: return "The URL provided is a directory: " + u;
    case Kind::bodyPartFileSizeNotAvailable: return "Could not fetch the file size from the provided URL: " + u;
    case Kind::bodyPartFileSizeQueryFailedWithError:
      return std::string("The system returned an error while attempting to fetch the file size from the ") +
             "provided URL.\nURL: " + u + "\nError: " + rendered(error);
    case Kind::bodyPartInputStreamCreationFailed: return "Failed to create an InputStream for the provided URL: " + u;
    case Kind::outputStreamCreationFailed: return "Failed to create an OutputStream for URL: " + u;
    case Kind::outputStreamFileAlreadyExists: return "A file already exists at the provided URL: " + u;
    case Kind::outputStreamURLInvalid: return "The provided OutputStream URL is invalid: " + u;
    case Kind::outputStreamWriteFailed: return "OutputStream write failed with error: " + rendered(error);
    case Kind::inputStreamReadFailed: return "InputStream read failed with error: " + rendered(error);
  }
  return {};
}

std::string AFError::ResponseValidationFailureReason::message() const {
  switch (kind) {
    case Kind::dataFileNil: return "Response could not be validated, data file was nil.";
    case Kind::dataFileReadFailed: return "Response could not be validated, data file could not be read: " + urlText(at) + ".";
    case Kind::missingContentType:
      return std::string("Response Content-Type was missing and acceptable content types ") + "(" +
             joined(acceptableContentTypes, ",") + ") do not match \"*/*\".";
    case Kind::unacceptableContentType:
      return "Response Content-Type \"" + responseContentType + "\" does not match any acceptable types: " +
             joined(acceptableContentTypes, ",") + ".";
    case Kind::unacceptableStatusCode: return "Response status code was unacceptable: " + std::to_string(code) + ".";
  }
  return {};
}

std::string AFError::ResponseSerializationFailureReason::message() const {
  switch (kind) {
    case Kind::inputDataNil: return "Response could not be serialized, input data was nil.";
    case Kind::inputDataNilOrZeroLength: return "Response could not be serialized, input data was nil or zero length.";
    case Kind::inputFileNil: return "Response could not be serialized, input file was nil.";
    case Kind::inputFileReadFailed: return "Response could not be serialized, input file could not be read: " + urlText(at) + ".";
    case Kind::stringSerializationFailed:
      return "String could not be serialized with encoding: " + describeStringEncoding(encoding.value_or(StringEncoding::utf8)) +
             ".";
    case Kind::jsonSerializationFailed: return "JSON could not be serialized because of error:\n" + localized(error);
    case Kind::propertyListSerializationFailed:
      return "PropertyList could not be serialized because of error:\n" + localized(error);
  }
  return {};
}

std::string AFError::message() const {
  switch (kind()) {
    case Case::invalidURL: return "URL is not valid: " + std::get<0>(payload_).description();
    case Case::parameterEncodingFailed: return parameterEncodingReason()->message();
    case Case::multipartEncodingFailed: return multipartEncodingReason()->message();
    case Case::responseValidationFailed: return responseValidationReason()->message();
    case Case::responseSerializationFailed: return responseSerializationReason()->message();
  }
  return {};
}

// ---- default renderings ------------------------------------------------------

std::string AFError::ParameterEncodingFailureReason::description() const {
  std::string type = std::string(kReasonPrefix) + "ParameterEncodingFailureReason.";
  switch (kind) {
    case Kind::missingURL: return type + "missingURL";
    case Kind::jsonEncodingFailed: return type + "jsonEncodingFailed(error: " + rendered(error) + ")";
    case Kind::propertyListEncodingFailed: return type + "propertyListEncodingFailed(error: " + rendered(error) + ")";
  }
  return type;
}

std::string AFError::MultipartEncodingFailureReason::description() const {
  std::string type = std::string(kReasonPrefix) + "MultipartEncodingFailureReason.";
  const std::string u = urlText(url);
  switch (kind) {
    case Kind::bodyPartURLInvalid: return type + "bodyPartURLInvalid(url: " + u + ")";
    case Kind::bodyPartFilenameInvalid: return type + "bodyPartFilenameInvalid(in: " + u + ")";
    case Kind::bodyPartFileNotReachable: return type + "bodyPartFileNotReachable(at: " + u + ")";
    case Kind::bodyPartFileNotReachableWithError:
      return type + "bodyPartFileNotReachableWithError(atURL: " + u + ", error: " + rendered(error) + ")";
    case Kind::bodyPartFileIsDirectory: return type + "bodyPartFileIsDirectory(at: " + u + ")";
    case Kind::bodyPartFileSizeNotAvailable: return type + "bodyPartFileSizeNotAvailable(at: " + u + ")";
    case Kind::bodyPartFileSizeQueryFailedWithError:
      return type + "bodyPartFileSizeQueryFailedWithError(forURL: " + u + ", error: " + rendered(error) + ")";
    case Kind::bodyPartInputStreamCreationFailed: return type + "bodyPartInputStreamCreationFailed(for: " + u + ")";
    case Kind::outputStreamCreationFailed: return type + "outputStreamCreationFailed(for: " + u + ")";
    case Kind::outputStreamFileAlreadyExists: return type + "outputStreamFileAlreadyExists(at: " + u + ")";
    case Kind::outputStreamURLInvalid: return type + "outputStreamURLInvalid(url: " + u + ")";
    case Kind::outputStreamWriteFailed: return type + "outputStreamWriteFailed(error: " + rendered(error) + ")";
    case Kind::inputStreamReadFailed: return type + "inputStreamReadFailed(error: " + rendered(error) + ")";
  }
  return type;
}

std::string AFError::ResponseValidationFailureReason::description() const {
  std::string type = std::string(kReasonPrefix) + "ResponseValidationFailureReason.";
  switch (kind) {
    case Kind::dataFileNil: return type + "dataFileNil";
    case Kind::dataFileReadFailed: return type + "dataFileReadFailed(at: " + urlText(at) + ")";
    case Kind::missingContentType:
      return type + "missingContentType(acceptableContentTypes: " + quotedList(acceptableContentTypes) + ")";
    case Kind::unacceptableContentType:
      return type + "unacceptableContentType(acceptableContentTypes: " + quotedList(acceptableContentTypes) +
             ", responseContentType: \"" + responseContentType + "\")";
    case Kind::unacceptableStatusCode: return type + "unacceptableStatusCode(code: " + std::to_string(code) + ")";
  }
  return type;
}

std::string AFError::ResponseSerializationFailureReason::description() const {
  std::string type = std::string(kReasonPrefix) + "ResponseSerializationFailureReason.";
  switch (kind) {
    case Kind::inputDataNil: return type + "inputDataNil";
    case Kind::inputDataNilOrZeroLength: return type + "inputDataNilOrZeroLength";
    case Kind::inputFileNil: return type + "inputFileNil";
    case Kind::inputFileReadFailed: return type + "inputFileReadFailed(at: " + urlText(at) + ")";
    case Kind::stringSerializationFailed:
      return type + "stringSerializationFailed(encoding: " + describeStringEncoding(encoding.value_or(StringEncoding::utf8)) + ")";
    case Kind::jsonSerializationFailed: return type + "jsonSerializationFailed(error: " + rendered(error) + ")";
    case Kind::propertyListSerializationFailed:
      return type + "propertyListSerializationFailed(error: " + rendered(error) + ")";
  }
  return type;
}

std::string AFError::description() const {
  switch (kind()) {
    case Case::invalidURL: {
      const URLConvertible& value = std::get<0>(payload_);
      return "invalidURL(url: " + (value.text() ? "\"" + *value.text() + "\"" : value.description()) + ")";
    }
    case Case::parameterEncodingFailed: return "parameterEncodingFailed(reason: " + parameterEncodingReason()->description() + ")";
    case Case::multipartEncodingFailed: return "multipartEncodingFailed(reason: " + multipartEncodingReason()->description() + ")";
    case Case::responseValidationFailed:
      return "responseValidationFailed(reason: " + responseValidationReason()->description() + ")";
    case Case::responseSerializationFailed:
      return "responseSerializationFailed(reason: " + responseSerializationReason()->description() + ")";
  }
  return {};
}

// ---- accessors ----------------------------------------------------------------

std::optional<URLConvertible> AFError::urlConvertible() const {
  if (const URLConvertible* value = std::get_if<0>(&payload_)) return *value;
  return std::nullopt;
}

std::optional<platform::foundation::Url> AFError::url() const {
  if (const auto* reason = multipartEncodingReason()) return reason->url;
  return std::nullopt;
}

std::optional<Error> AFError::underlyingError() const {
  if (const auto* reason = parameterEncodingReason()) return reason->error;
  if (const auto* reason = multipartEncodingReason()) return reason->error;
  if (const auto* reason = responseSerializationReason()) return reason->error;
  return std::nullopt;
}

std::optional<std::vector<std::string>> AFError::acceptableContentTypes() const {
  const auto* reason = responseValidationReason();
  if (!reason) return std::nullopt;
  if (reason->kind != ResponseValidationFailureReason::Kind::missingContentType &&
      reason->kind != ResponseValidationFailureReason::Kind::unacceptableContentType)
    return std::nullopt;
  return reason->acceptableContentTypes;
}

std::optional<std::string> AFError::responseContentType() const {
  const auto* reason = responseValidationReason();
  if (!reason || reason->kind != ResponseValidationFailureReason::Kind::unacceptableContentType) return std::nullopt;
  return reason->responseContentType;
}

std::optional<std::int64_t> AFError::responseCode() const {
  const auto* reason = responseValidationReason();
  if (!reason || reason->kind != ResponseValidationFailureReason::Kind::unacceptableStatusCode) return std::nullopt;
  return reason->code;
}

std::optional<StringEncoding> AFError::failedStringEncoding() const {
  const auto* reason = responseSerializationReason();
  if (!reason || reason->kind != ResponseSerializationFailureReason::Kind::stringSerializationFailed) return std::nullopt;
  return reason->encoding;
}

}  // namespace Duvarel
