#pragma once
// What response handlers hand to callers: the raw pair (DefaultDataResponse,
// DefaultDownloadResponse) and the serialized pair (DataResponse,
// DownloadResponse) with a Result, a Timeline and, on OS 10 and later, the
// task metrics.
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>

#include "http/error.h"
#include "http/result.h"
#include "http/timeline.h"
#include "http/url_convertible.h"
#include "platform/foundation/url.h"
#include "platform/net/session.h"

namespace Duvarel {

// A shared reference to an object of any type, as a response holds its metrics.
class AnyObject {
 public:
  AnyObject() = default;
  template <class T>
  AnyObject(std::shared_ptr<T> object)  // NOLINT: any object converts
      : ptr_(std::move(object)), type_(&typeid(T)) {}

  explicit operator bool() const { return ptr_ != nullptr; }
  // The object when it is a T, else nullptr.
  template <class T>
  std::shared_ptr<const T> as() const {
    if (!ptr_ || *type_ != typeid(T)) return nullptr;
    return std::static_pointer_cast<const T>(ptr_);
  }
  const void* get() const { return ptr_.get(); }

 private:
  std::shared_ptr<const void> ptr_;
  const std::type_info* type_ = &typeid(void);
};

using HTTPURLResponse = std::shared_ptr<const platform::net::Response>;

namespace detail {
// Stores `object` when the running OS is 10.0 or later and it is task metrics.
void addMetrics(AnyObject& slot, const AnyObject& object);
std::string requestLine(const std::optional<URLRequest>& request);
std::string responseLine(const HTTPURLResponse& response);
std::string fileURLLine(const char* label, const std::optional<platform::foundation::Url>& url);
std::string bytesLine(const char* label, const std::optional<platform::foundation::Bytes>& data);
}  // namespace detail

// The metrics slot the four response types share.
class Response {
 public:
  // Sets the metrics on OS 10.0 and later when `object` is task metrics;
  // otherwise leaves them as they are.
  void addMetrics(const AnyObject& object) { detail::addMetrics(_metrics, object); }
  // The stored object when it is task metrics.
  std::shared_ptr<const platform::net::TaskMetrics> metrics() const { return _metrics.as<platform::net::TaskMetrics>(); }

  AnyObject _metrics;
};

class DefaultDataResponse : public Response {
 public:
  // The metrics argument is not stored: handlers attach metrics with addMetrics.
  DefaultDataResponse(std::optional<URLRequest> aRequest, HTTPURLResponse aResponse,
                      std::optional<platform::foundation::Bytes> aData, std::optional<Error> aError, Timeline aTimeline,
                      AnyObject /*metrics*/ = {})
      : request(std::move(aRequest)),
        response(std::move(aResponse)),
        data(std::move(aData)),
        error(std::move(aError)),
        timeline(aTimeline) {}

  std::optional<URLRequest> request;
  HTTPURLResponse response;
  std::optional<platform::foundation::Bytes> data;
  std::optional<Error> error;
  Timeline timeline;
};

template <class Value>
class DataResponse : public Response {
 public:
  DataResponse(std::optional<URLRequest> aRequest, HTTPURLResponse aResponse,
               std::optional<platform::foundation::Bytes> aData, Result<Value> aResult, Timeline aTimeline = {})
      : request(std::move(aRequest)),
        response(std::move(aResponse)),
        data(std::move(aData)),
        result(std::move(aResult)),
        timeline(aTimeline) {}

  const Value* value() const { return result.value(); }
  const Error* error() const { return result.error(); }

  std::string description() const { return result.debugDescription(); }
  // Five lines: request, response, data size, result and timeline.
  std::string debugDescription() const {
    return detail::requestLine(request) + "\n" + detail::responseLine(response) + "\n" +
           detail::bytesLine("[Data]: ", data) + "\n[Result]: " + result.debugDescription() +
           "\n[Timeline]: " + timeline.debugDescription();
  }

  template <class F>
  auto map(F&& transform) const {
    return rebuilt(result.map(std::forward<F>(transform)));
  }
  template <class F>
  auto mapThrowing(F&& transform) const {
    return rebuilt(result.mapThrowing(std::forward<F>(transform)));
  }
  template <class F>
  DataResponse mapError(F&& transform) const {
    return rebuilt(result.mapError(std::forward<F>(transform)));
  }
  template <class F>
  DataResponse mapErrorThrowing(F&& transform) const {
    return rebuilt(result.mapErrorThrowing(std::forward<F>(transform)));
  }

  std::optional<URLRequest> request;
  HTTPURLResponse response;
  std::optional<platform::foundation::Bytes> data;
  Result<Value> result;
  Timeline timeline;

 private:
  template <class U>
  DataResponse<U> rebuilt(Result<U> newResult) const {
    DataResponse<U> out(request, response, data, std::move(newResult), timeline);
    out._metrics = _metrics;
    return out;
  }
};

class DefaultDownloadResponse : public Response {
 public:
  DefaultDownloadResponse(std::optional<URLRequest> aRequest, HTTPURLResponse aResponse,
                          std::optional<platform::foundation::Url> aTemporaryURL,
                          std::optional<platform::foundation::Url> aDestinationURL,
                          std::optional<platform::foundation::Bytes> aResumeData, std::optional<Error> aError,
                          Timeline aTimeline, AnyObject /*metrics*/ = {})
      : request(std::move(aRequest)),
        response(std::move(aResponse)),
        temporaryURL(std::move(aTemporaryURL)),
        destinationURL(std::move(aDestinationURL)),
        resumeData(std::move(aResumeData)),
        error(std::move(aError)),
        timeline(aTimeline) {}

  std::optional<URLRequest> request;
  HTTPURLResponse response;
  std::optional<platform::foundation::Url> temporaryURL;
  std::optional<platform::foundation::Url> destinationURL;
  std::optional<platform::foundation::Bytes> resumeData;
  std::optional<Error> error;
  Timeline timeline;
};

template <class Value>
class DownloadResponse : public Response {
 public:
  DownloadResponse(std::optional<URLRequest> aRequest, HTTPURLResponse aResponse,
                   std::optional<platform::foundation::Url> aTemporaryURL,
                   std::optional<platform::foundation::Url> aDestinationURL,
                   std::optional<platform::foundation::Bytes> aResumeData, Result<Value> aResult, Timeline aTimeline = {})
      : request(std::move(aRequest)),
        response(std::move(aResponse)),
        temporaryURL(std::move(aTemporaryURL)),
        destinationURL(std::move(aDestinationURL)),
        resumeData(std::move(aResumeData)),
        result(std::move(aResult)),
        timeline(aTimeline) {}

  const Value* value() const { return result.value(); }
  const Error* error() const { return result.error(); }

  std::string description() const { return result.debugDescription(); }
  // Seven lines: request, response, the two file paths, resume data size, result and timeline.
  std::string debugDescription() const {
    return detail::requestLine(request) + "\n" + detail::responseLine(response) + "\n" +
           detail::fileURLLine("[TemporaryURL]: ", temporaryURL) + "\n" +
           detail::fileURLLine("[DestinationURL]: ", destinationURL) + "\n" +
           detail::bytesLine("[ResumeData]: ", resumeData) + "\n[Result]: " + result.debugDescription() +
           "\n[Timeline]: " + timeline.debugDescription();
  }

  template <class F>
  auto map(F&& transform) const {
    return rebuilt(result.map(std::forward<F>(transform)));
  }
  template <class F>
  auto mapThrowing(F&& transform) const {
    return rebuilt(result.mapThrowing(std::forward<F>(transform)));
  }
  template <class F>
  DownloadResponse mapError(F&& transform) const {
    return rebuilt(result.mapError(std::forward<F>(transform)));
  }
  template <class F>
  DownloadResponse mapErrorThrowing(F&& transform) const {
    return rebuilt(result.mapErrorThrowing(std::forward<F>(transform)));
  }

  std::optional<URLRequest> request;
  HTTPURLResponse response;
  std::optional<platform::foundation::Url> temporaryURL;
  std::optional<platform::foundation::Url> destinationURL;
  std::optional<platform::foundation::Bytes> resumeData;
  Result<Value> result;
  Timeline timeline;

 private:
  template <class U>
  DownloadResponse<U> rebuilt(Result<U> newResult) const {
    DownloadResponse<U> out(request, response, temporaryURL, destinationURL, resumeData, std::move(newResult), timeline);
    out._metrics = _metrics;
    return out;
  }
};

}  // namespace Duvarel
