#pragma once
// Multipart uploads through a session manager (its makeMultipartUpload and
// makeMultipartUploadWithURLRequest are defined with this file): the form closure and the
// encoding run on the global utility queue; small bodies on a foreground
// session go from memory, the rest through a temporary file that is removed
// once the upload's task has finished. The encoding completion runs exactly
// once, on the main queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "http/multipart_form_data.h"
#include "http/session_manager.h"

namespace Duvarel {

struct MultipartFormDataEncodingResult {
  struct Success {
    std::shared_ptr<UploadRequest> request;
    bool streamingFromDisk = false;
    std::optional<platform::foundation::Url> streamFileURL;
  };
  struct Failure {
    Error error;
  };
  std::variant<Success, Failure> value;

  const Success* success() const { return std::get_if<Success>(&value); }
  const Failure* failure() const { return std::get_if<Failure>(&value); }
};

using MultipartFormBuilder = std::function<void(MultipartFormData&)>;
using MultipartEncodingCompletion = std::function<void(MultipartFormDataEncodingResult)>;

// <temporary directory>/org.duvarel.manager/multipart.form.data
std::filesystem::path multipartTemporaryDirectory();

// SessionManager::makeMultipartUpload and makeMultipartUploadWithURLRequest on
// SessionManager::shared() (a subclass's overrides included).
void makeMultipartUpload(MultipartFormBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                         const URLConvertible& url, HTTPMethod method, std::optional<HTTPHeaders> headers = std::nullopt,
                         MultipartEncodingCompletion encodingCompletion = nullptr);
void makeMultipartUploadWithURLRequest(MultipartFormBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                                       const URLRequestConvertible& urlRequest,
                                       MultipartEncodingCompletion encodingCompletion = nullptr);

}  // namespace Duvarel
