#include "http/multipart_upload.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/dispatch/queue.h"
#include "platform/foundation/uuid.h"
#include "platform/os/file_manager.h"

namespace Duvarel {

namespace foundation = platform::foundation;

namespace {

void complete(const MultipartEncodingCompletion& completion, MultipartFormDataEncodingResult result) {
  if (!completion) return;
  dispatch::Queue::main().async([completion, result = std::move(result)] { completion(result); });
}

// Makes the folder chain with mode 0700; an existing folder is fine.
Expected<void> makePrivateDirectory(const std::filesystem::path& directory) {
  std::filesystem::path built;
  for (const auto& component : directory) {
    built /= component;
    if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) {
      const int err = errno;
      return foundation::Error(std::string(foundation::cocoa_error::domain), foundation::cocoa_error::file_write_unknown,
                               {{std::string(foundation::key_file_path), built.string()},
                                {std::string(foundation::key_underlying_error),
                                 foundation::Value(std::string(foundation::posix_error::domain) + " " +
                                                   std::to_string(err))}});
    }
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(directory, ec))
    return foundation::Error(std::string(foundation::cocoa_error::domain), foundation::cocoa_error::file_write_unknown,
                             {{std::string(foundation::key_file_path), directory.string()}});
  return {};
}

void encodeAndUpload(const std::shared_ptr<SessionManager>& manager, const MultipartFormBuilder& build,
                     std::uint64_t threshold, const URLRequestConvertible& urlRequest,
                     const MultipartEncodingCompletion& completion) {
  MultipartFormData form;
  if (build) build(form);
  std::optional<std::filesystem::path> fileToRemove;
  auto failWith = [&](const Error& error) {
    if (fileToRemove) {
      std::error_code ec;
      std::filesystem::remove(*fileToRemove, ec);
    }
    complete(completion, {MultipartFormDataEncodingResult::Failure{error}});
  };

  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted) return failWith(converted.error());
  URLRequest request = std::move(converted).value();
  request.headers.set("Content-Type", form.contentType());

  const bool background = manager->session()->configuration().identifier.has_value();
  if (form.contentLength() < threshold && !background) {
    Expected<foundation::Bytes> data = form.encode();
    if (!data) return failWith(data.error());
    auto upload = manager->makeDataUploadRequestWithURLRequest(std::move(data).value(), request);
    complete(completion, {MultipartFormDataEncodingResult::Success{upload, false, std::nullopt}});
    return;
  }

  const std::filesystem::path directory = multipartTemporaryDirectory();
  const std::filesystem::path file = directory / foundation::Uuid::random().string();
  const auto fileURL = foundation::Url::file(file);
  fileToRemove = file;
  std::optional<Error> directoryError;
  manager->queue().sync([&] {
    if (auto made = makePrivateDirectory(directory); !made) directoryError = made.error();
  });
  if (directoryError) return failWith(*directoryError);
  if (auto written = form.writeEncodedBody(fileURL); !written) {
    // Never remove what the writer refused to touch.
    const AFError* af = written.error().as<AFError>();
    if (af && af->multipartEncodingReason() &&
        af->multipartEncodingReason()->kind == AFError::MultipartEncodingFailureReason::Kind::outputStreamFileAlreadyExists)
      fileToRemove.reset();
    return failWith(written.error());
  }
  auto upload = manager->makeFileUploadRequestWithURLRequest(fileURL, request);
  upload->taskDelegate()->queue().add([file] {
    std::error_code ec;
    std::filesystem::remove(file, ec);
  });
  complete(completion, {MultipartFormDataEncodingResult::Success{upload, true, fileURL}});
}

}  // namespace

std::filesystem::path multipartTemporaryDirectory() {
  return platform::os::FileManager::shared().url_for(platform::os::Directory::temporary) / "org.duvarel.manager" /
         "multipart.form.data";
}

void SessionManager::makeMultipartUpload(MultipartFormBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                                         const URLConvertible& url, HTTPMethod method, std::optional<HTTPHeaders> headers,
                                         MultipartEncodingCompletion encodingCompletion) {
  Expected<URLRequest> request = makeURLRequest(url, method, headers);
  if (!request) {
    complete(encodingCompletion, {MultipartFormDataEncodingResult::Failure{request.error()}});
    return;
  }
  makeMultipartUploadWithURLRequest(std::move(multipartFormData), encodingMemoryThreshold, std::move(request).value(),
                                    std::move(encodingCompletion));
}

void SessionManager::makeMultipartUploadWithURLRequest(MultipartFormBuilder multipartFormData,
                                                       std::uint64_t encodingMemoryThreshold,
                                                       const URLRequestConvertible& urlRequest,
                                                       MultipartEncodingCompletion encodingCompletion) {
  dispatch::Queue::global(dispatch::Qos::utility)
      .async([manager = shared_from_this(), build = std::move(multipartFormData), encodingMemoryThreshold,
              urlRequest, completion = std::move(encodingCompletion)] {
        encodeAndUpload(manager, build, encodingMemoryThreshold, urlRequest, completion);
      });
}

void makeMultipartUpload(MultipartFormBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                         const URLConvertible& url, HTTPMethod method, std::optional<HTTPHeaders> headers,
                         MultipartEncodingCompletion encodingCompletion) {
  SessionManager::shared()->makeMultipartUpload(std::move(multipartFormData), encodingMemoryThreshold, url, method,
                                                std::move(headers), std::move(encodingCompletion));
}

void makeMultipartUploadWithURLRequest(MultipartFormBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                                       const URLRequestConvertible& urlRequest,
                                       MultipartEncodingCompletion encodingCompletion) {
  SessionManager::shared()->makeMultipartUploadWithURLRequest(std::move(multipartFormData), encodingMemoryThreshold,
                                                              urlRequest, std::move(encodingCompletion));
}

}  // namespace Duvarel
