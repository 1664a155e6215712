// Every AFError message, case test and payload accessor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/af_error.h"

namespace Duvarel {
namespace {

namespace foundation = platform::foundation;
using Url = foundation::Url;
using PE = AFError::ParameterEncodingFailureReason;
using ME = AFError::MultipartEncodingFailureReason;
using RV = AFError::ResponseValidationFailureReason;
using RS = AFError::ResponseSerializationFailureReason;

const Url kFile = *Url::parse("file:///tmp/part.bin");
const foundation::Error kWriterError("NSCocoaErrorDomain", 3851, {{"NSLocalizedDescription", "Invalid value."}});
const std::string kWriterText = kWriterError.description();  // multipart messages use the rendering

struct MessageCase {
  const char* name;
  AFError error;
  std::string message;
};

TEST(AFError, EveryMessage) {
  const std::vector<MessageCase> cases = {
      {"invalidURL text", AFError::invalidURL("not a url"), "URL is not valid: not a url"},
      {"invalidURL url", AFError::invalidURL(*Url::parse("https://h/p?q=1")), "URL is not valid: https://h/p?q=1"},
      {"missingURL", AFError::parameterEncodingFailed(PE::missingURL()), "URL request to encode was missing a URL"},
      {"jsonEncodingFailed", AFError::parameterEncodingFailed(PE::jsonEncodingFailed(kWriterError)),
       "JSON could not be encoded because of error:\nInvalid value."},
      {"propertyListEncodingFailed", AFError::parameterEncodingFailed(PE::propertyListEncodingFailed(kWriterError)),
       "PropertyList could not be encoded because of error:\nInvalid value."},
      {"bodyPartURLInvalid", AFError::multipartEncodingFailed(ME::bodyPartURLInvalid(kFile)),
       "The URL provided is not a file URL: file:///tmp/part.bin"},
      {"bodyPartFilenameInvalid", AFError::multipartEncodingFailed(ME::bodyPartFilenameInvalid(kFile)),
       "The URL provided does not have a valid filename: file:///tmp/part.bin"},
      {"bodyPartFileNotReachable", AFError::multipartEncodingFailed(ME::bodyPartFileNotReachable(kFile)),
       "The URL provided is not reachable: file:///tmp/part.bin"},
      {"bodyPartFileNotReachableWithError",
       AFError::multipartEncodingFailed(ME::bodyPartFileNotReachableWithError(kFile, kWriterError)),
       "The system returned an error while checking the provided URL for reachability.\nURL: file:///tmp/part.bin\nError: " +
           kWriterText},
      {"bodyPartFileIsDirectory", AFError::multipartEncodingFailed(ME::bodyPartFileIsDirectory(kFile)),
       "The URL provided is a directory: file:///tmp/part.bin"},
      {"bodyPartFileSizeNotAvailable", AFError::multipartEncodingFailed(ME::bodyPartFileSizeNotAvailable(kFile)),
       "Could not fetch the file size from the provided URL: file:///tmp/part.bin"},
      {"bodyPartFileSizeQueryFailedWithError",
       AFError::multipartEncodingFailed(ME::bodyPartFileSizeQueryFailedWithError(kFile, kWriterError)),
       "The system returned an error while attempting to fetch the file size from the provided URL.\n"
       "URL: file:///tmp/part.bin\nError: " +
           kWriterText},
      {"bodyPartInputStreamCreationFailed", AFError::multipartEncodingFailed(ME::bodyPartInputStreamCreationFailed(kFile)),
       "Failed to create an InputStream for the provided URL: file:///tmp/part.bin"},
      {"outputStreamCreationFailed", AFError::multipartEncodingFailed(ME::outputStreamCreationFailed(kFile)),
       "Failed to create an OutputStream for URL: file:///tmp/part.bin"},
      {"outputStreamFileAlreadyExists", AFError::multipartEncodingFailed(ME::outputStreamFileAlreadyExists(kFile)),
       "A file already exists at the provided URL: file:///tmp/part.bin"},
      {"outputStreamURLInvalid", AFError::multipartEncodingFailed(ME::outputStreamURLInvalid(kFile)),
       "The provided OutputStream URL is invalid: file:///tmp/part.bin"},
      {"outputStreamWriteFailed", AFError::multipartEncodingFailed(ME::outputStreamWriteFailed(kWriterError)),
       "OutputStream write failed with error: " + kWriterText},
      {"inputStreamReadFailed", AFError::multipartEncodingFailed(ME::inputStreamReadFailed(kWriterError)),
       "InputStream read failed with error: " + kWriterText},
      {"dataFileNil", AFError::responseValidationFailed(RV::dataFileNil()),
       "Response could not be validated, data file was nil."},
      {"dataFileReadFailed", AFError::responseValidationFailed(RV::dataFileReadFailed(kFile)),
       "Response could not be validated, data file could not be read: file:///tmp/part.bin."},
      {"missingContentType", AFError::responseValidationFailed(RV::missingContentType({"application/json", "text/html"})),
       "Response Content-Type was missing and acceptable content types (application/json,text/html) do not match \"*/*\"."},
      {"unacceptableContentType",
       AFError::responseValidationFailed(RV::unacceptableContentType({"application/json", "text/html"}, "image/png")),
       "Response Content-Type \"image/png\" does not match any acceptable types: application/json,text/html."},
      {"unacceptableStatusCode", AFError::responseValidationFailed(RV::unacceptableStatusCode(404)),
       "Response status code was unacceptable: 404."},
      {"inputDataNil", AFError::responseSerializationFailed(RS::inputDataNil()),
       "Response could not be serialized, input data was nil."},
      {"inputDataNilOrZeroLength", AFError::responseSerializationFailed(RS::inputDataNilOrZeroLength()),
       "Response could not be serialized, input data was nil or zero length."},
      {"inputFileNil", AFError::responseSerializationFailed(RS::inputFileNil()),
       "Response could not be serialized, input file was nil."},
      {"inputFileReadFailed", AFError::responseSerializationFailed(RS::inputFileReadFailed(kFile)),
       "Response could not be serialized, input file could not be read: file:///tmp/part.bin."},
      {"stringSerializationFailed",
       AFError::responseSerializationFailed(RS::stringSerializationFailed(StringEncoding::utf8)),
       "String could not be serialized with encoding: Unicode (UTF-8)."},
      {"jsonSerializationFailed", AFError::responseSerializationFailed(RS::jsonSerializationFailed(kWriterError)),
       "JSON could not be serialized because of error:\nInvalid value."},
      {"propertyListSerializationFailed",
       AFError::responseSerializationFailed(RS::propertyListSerializationFailed(kWriterError)),
       "PropertyList could not be serialized because of error:\nInvalid value."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.message(), c.message) << c.name;
    EXPECT_EQ(c.error.errorDescription(), c.message) << c.name;
    // The localized description of the carried error is the same text.
    EXPECT_EQ(Error(c.error).localizedDescription(), c.message) << c.name;
  }
}

TEST(AFError, InvalidURLKeepsTheCallersInputUnchanged) {
  auto components = foundation::UrlComponents::parse("https://h/a");
  ASSERT_TRUE(components);
  components->set_host(std::string("x y"));
  AFError fromComponents = AFError::invalidURL(*components);
  ASSERT_TRUE(fromComponents.urlConvertible());
  ASSERT_TRUE(fromComponents.urlConvertible()->components());
  EXPECT_EQ(fromComponents.urlConvertible()->components()->string(), components->string());
  EXPECT_EQ(fromComponents.message(), "URL is not valid: " + components->string());

  AFError fromText = AFError::invalidURL("https://example.org/ok");
  ASSERT_TRUE(fromText.urlConvertible()->text());
  EXPECT_EQ(*fromText.urlConvertible()->text(), "https://example.org/ok");
  // url() belongs to multipart reasons only, even when the invalid value is a URL text.
  EXPECT_FALSE(fromText.url());
}

TEST(AFError, CaseTestsAreTrueForExactlyOneCase) {
  const std::vector<AFError> errors = {
      AFError::invalidURL(""),
      AFError::parameterEncodingFailed(PE::missingURL()),
      AFError::multipartEncodingFailed(ME::bodyPartURLInvalid(kFile)),
      AFError::responseValidationFailed(RV::dataFileNil()),
      AFError::responseSerializationFailed(RS::inputDataNil()),
  };
  for (std::size_t i = 0; i < errors.size(); ++i) {
    const AFError& e = errors[i];
    std::vector<bool> tests = {e.isInvalidURLError(), e.isParameterEncodingError(), e.isMultipartEncodingError(),
                               e.isResponseValidationError(), e.isResponseSerializationError()};
    for (std::size_t j = 0; j < tests.size(); ++j) EXPECT_EQ(tests[j], i == j) << i << " " << j;
    EXPECT_EQ(static_cast<std::size_t>(e.kind()), i);
    EXPECT_EQ(Error(e).bridged().code, static_cast<std::int64_t>(i));
    EXPECT_EQ(e.urlConvertible().has_value(), i == 0);
  }
}

TEST(AFError, UnderlyingErrorOnlyForReasonsThatCarryOne) {
  auto carries = [](const AFError& e) {
    auto u = e.underlyingError();
    return u && u->as<foundation::Error>() && *u->as<foundation::Error>() == kWriterError;
  };
  EXPECT_TRUE(carries(AFError::parameterEncodingFailed(PE::jsonEncodingFailed(kWriterError))));
  EXPECT_TRUE(carries(AFError::parameterEncodingFailed(PE::propertyListEncodingFailed(kWriterError))));
  EXPECT_TRUE(carries(AFError::multipartEncodingFailed(ME::bodyPartFileNotReachableWithError(kFile, kWriterError))));
  EXPECT_TRUE(carries(AFError::multipartEncodingFailed(ME::bodyPartFileSizeQueryFailedWithError(kFile, kWriterError))));
  EXPECT_TRUE(carries(AFError::multipartEncodingFailed(ME::outputStreamWriteFailed(kWriterError))));
  EXPECT_TRUE(carries(AFError::multipartEncodingFailed(ME::inputStreamReadFailed(kWriterError))));
  EXPECT_TRUE(carries(AFError::responseSerializationFailed(RS::jsonSerializationFailed(kWriterError))));
  EXPECT_TRUE(carries(AFError::responseSerializationFailed(RS::propertyListSerializationFailed(kWriterError))));

  for (const AFError& e : {AFError::invalidURL("x"), AFError::parameterEncodingFailed(PE::missingURL()),
                           AFError::multipartEncodingFailed(ME::bodyPartFileIsDirectory(kFile)),
                           AFError::responseValidationFailed(RV::unacceptableStatusCode(500)),
                           AFError::responseSerializationFailed(RS::inputFileReadFailed(kFile))}) {
    EXPECT_FALSE(e.underlyingError()) << e.description();
  }
}

TEST(AFError, UrlOfEveryMultipartReasonThatHasOne) {
  const std::vector<ME> withUrl = {
      ME::bodyPartURLInvalid(kFile),           ME::bodyPartFilenameInvalid(kFile),
      ME::bodyPartFileNotReachable(kFile),     ME::bodyPartFileNotReachableWithError(kFile, kWriterError),
      ME::bodyPartFileIsDirectory(kFile),      ME::bodyPartFileSizeNotAvailable(kFile),
      ME::bodyPartFileSizeQueryFailedWithError(kFile, kWriterError), ME::bodyPartInputStreamCreationFailed(kFile),
      ME::outputStreamCreationFailed(kFile),   ME::outputStreamFileAlreadyExists(kFile),
      ME::outputStreamURLInvalid(kFile)};
  for (const ME& reason : withUrl) {
    auto url = AFError::multipartEncodingFailed(reason).url();
    ASSERT_TRUE(url) << reason.description();
    EXPECT_EQ(*url, kFile);
  }
  EXPECT_FALSE(AFError::multipartEncodingFailed(ME::outputStreamWriteFailed(kWriterError)).url());
  EXPECT_FALSE(AFError::multipartEncodingFailed(ME::inputStreamReadFailed(kWriterError)).url());
  EXPECT_FALSE(AFError::responseValidationFailed(RV::dataFileReadFailed(kFile)).url());
  EXPECT_FALSE(AFError::responseSerializationFailed(RS::inputFileReadFailed(kFile)).url());
}

TEST(AFError, ValidationAndSerializationAccessors) {
  AFError missing = AFError::responseValidationFailed(RV::missingContentType({"a/b"}));
  EXPECT_EQ(missing.acceptableContentTypes(), std::vector<std::string>{"a/b"});
  EXPECT_FALSE(missing.responseContentType());
  EXPECT_FALSE(missing.responseCode());

  AFError unacceptable = AFError::responseValidationFailed(RV::unacceptableContentType({"a/b", "c/d"}, "e/f"));
  EXPECT_EQ(unacceptable.acceptableContentTypes(), (std::vector<std::string>{"a/b", "c/d"}));
  EXPECT_EQ(unacceptable.responseContentType(), "e/f");

  AFError status = AFError::responseValidationFailed(RV::unacceptableStatusCode(404));
  EXPECT_EQ(status.responseCode(), 404);
  EXPECT_FALSE(status.acceptableContentTypes());
  EXPECT_FALSE(status.failedStringEncoding());

  AFError encoding = AFError::responseSerializationFailed(RS::stringSerializationFailed(StringEncoding::iso_latin1));
  EXPECT_EQ(encoding.failedStringEncoding(), StringEncoding::iso_latin1);
  EXPECT_EQ(encoding.message(), "String could not be serialized with encoding: Western (ISO Latin 1).");
  EXPECT_FALSE(encoding.responseCode());

  for (const AFError& e : {AFError::invalidURL("x"), AFError::parameterEncodingFailed(PE::missingURL()),
                           AFError::responseValidationFailed(RV::dataFileNil())}) {
    EXPECT_FALSE(e.acceptableContentTypes());
    EXPECT_FALSE(e.responseContentType());
    EXPECT_FALSE(e.responseCode());
    EXPECT_FALSE(e.failedStringEncoding());
  }
}

TEST(AFError, DefaultRenderingNamesCaseReasonAndPayload) {
  EXPECT_EQ(AFError::parameterEncodingFailed(PE::missingURL()).description(),
            "parameterEncodingFailed(reason: Duvarel.AFError.ParameterEncodingFailureReason.missingURL)");
  EXPECT_EQ(AFError::responseValidationFailed(RV::unacceptableContentType({"a/b"}, "c/d")).description(),
            "responseValidationFailed(reason: Duvarel.AFError.ResponseValidationFailureReason.unacceptableContentType("
            "acceptableContentTypes: [\"a/b\"], responseContentType: \"c/d\"))");
  EXPECT_EQ(AFError::multipartEncodingFailed(ME::outputStreamWriteFailed(kWriterError)).description(),
            "multipartEncodingFailed(reason: Duvarel.AFError.MultipartEncodingFailureReason.outputStreamWriteFailed(error: " +
                kWriterText + "))");
}

}  // namespace
}  // namespace Duvarel
