#include "http/response_handlers.h"

#include "platform/dispatch/clock.h"

namespace Duvarel {

Timeline requestTimeline(const Request& request) {
  const double start = request.startTime().value_or(platform::dispatch::absolute_time());
  const double completed = request.endTime().value_or(platform::dispatch::absolute_time());
  const double initialResponse = request.taskDelegate()->initialResponseTime().value_or(completed);
  const double serializationCompleted = platform::dispatch::absolute_time();
  return Timeline(start, initialResponse, completed, serializationCompleted);
}

namespace detail {

std::optional<platform::foundation::Url> downloadedFile(const DownloadTaskDelegate& delegate) {
  return delegate.destination() ? delegate.destinationURL() : delegate.temporaryURL();
}

std::shared_ptr<DownloadTaskDelegate> downloadDelegateOf(const Request& request) {
  auto delegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(request.taskDelegate());
  if (!delegate) delegate = std::make_shared<DownloadTaskDelegate>(nullptr);
  return delegate;
}

}  // namespace detail

}  // namespace Duvarel
