#pragma once
// Response handlers: each registration appends one operation to the request's
// task-delegate queue, which runs once the task has completed. Serializer
// handlers serialize and build their response on that queue; only the
// completion runs on the delivery queue (the main queue when none is given).
// Each operation keeps the request alive until it has run. Registration
// returns the request, so handlers chain:
//   addJSONResponseHandler(addDataResponseHandler(request, {}, f), {}, 4, g);
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "http/request.h"
#include "http/response.h"
#include "http/response_serializer.h"
#include "platform/dispatch/queue.h"

namespace Duvarel {

using DeliveryQueue = std::optional<platform::dispatch::Queue>;

// The request's timeline now: its start time (else now), end time (else now),
// its task delegate's initial response time (else the end time) and now.
Timeline requestTimeline(const Request& request);

namespace detail {

inline platform::dispatch::Queue deliveryQueue(const DeliveryQueue& queue) {
  return queue ? *queue : platform::dispatch::Queue::main();
}

// The file a download serializer reads: the destination when one was set, else the temporary file.
std::optional<platform::foundation::Url> downloadedFile(const DownloadTaskDelegate& delegate);
std::shared_ptr<DownloadTaskDelegate> downloadDelegateOf(const Request& request);

template <class Response>
void deliver(const DeliveryQueue& queue, std::shared_ptr<Response> response,
             std::shared_ptr<std::function<void(Response)>> completion) {
  deliveryQueue(queue).async([response = std::move(response), completion = std::move(completion)] {
    if (*completion) (*completion)(*response);
  });
}

}  // namespace detail

// ---- data and upload requests ----

template <std::derived_from<DataRequest> R>
std::shared_ptr<R> addDefaultResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                             std::function<void(DefaultDataResponse)> completion) {
  auto handler = std::make_shared<std::function<void(DefaultDataResponse)>>(std::move(completion));
  request->taskDelegate()->queue().add([request, queue, handler] {
    detail::deliveryQueue(queue).async([request, handler] {
      auto delegate = request->taskDelegate();
      DefaultDataResponse response(request->request(), request->response(), delegate->data(), delegate->error(),
                                   requestTimeline(*request));
      response.addMetrics(delegate->metrics());
      if (*handler) (*handler)(std::move(response));
    });
  });
  return request;
}

template <std::derived_from<DataRequest> R, class Value>
std::shared_ptr<R> addResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                      DataResponseSerializer<Value> serializer,
                                      std::function<void(DataResponse<Value>)> completion) {
  auto cell = std::make_shared<const DataResponseSerializer<Value>>(std::move(serializer));
  auto handler = std::make_shared<std::function<void(DataResponse<Value>)>>(std::move(completion));
  request->taskDelegate()->queue().add([request, queue, cell, handler] {
    auto delegate = request->taskDelegate();
    Result<Value> result =
        cell->serializeResponse(request->request(), request->response(), delegate->data(), delegate->error());
    auto response = std::make_shared<DataResponse<Value>>(request->request(), request->response(), delegate->data(),
                                                          std::move(result), requestTimeline(*request));
    response->addMetrics(delegate->metrics());
    detail::deliver(queue, std::move(response), handler);
  });
  return request;
}

template <std::derived_from<DataRequest> R>
std::shared_ptr<R> addDataResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                          std::function<void(DataResponse<platform::foundation::Bytes>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DataRequestSerializers::data(), std::move(completion));
}

template <std::derived_from<DataRequest> R>
std::shared_ptr<R> addStringResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                            std::optional<StringEncoding> encoding,
                                            std::function<void(DataResponse<std::string>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DataRequestSerializers::string(encoding),
                            std::move(completion));
}

template <std::derived_from<DataRequest> R>
std::shared_ptr<R> addJSONResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue, unsigned options,
                                          std::function<void(DataResponse<JSONValue>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DataRequestSerializers::json(options),
                            std::move(completion));
}

template <std::derived_from<DataRequest> R>
std::shared_ptr<R> addPropertyListResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                                  std::uint64_t options,
                                                  std::function<void(DataResponse<JSONValue>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DataRequestSerializers::propertyList(options),
                            std::move(completion));
}

// ---- download requests ----

template <std::derived_from<DownloadRequest> R>
std::shared_ptr<R> addDefaultResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                             std::function<void(DefaultDownloadResponse)> completion) {
  auto handler = std::make_shared<std::function<void(DefaultDownloadResponse)>>(std::move(completion));
  request->taskDelegate()->queue().add([request, queue, handler] {
    detail::deliveryQueue(queue).async([request, handler] {
      auto delegate = detail::downloadDelegateOf(*request);
      DefaultDownloadResponse response(request->request(), request->response(), delegate->temporaryURL(),
                                       delegate->destinationURL(), delegate->resumeData(), delegate->error(),
                                       requestTimeline(*request));
      response.addMetrics(delegate->metrics());
      if (*handler) (*handler)(std::move(response));
    });
  });
  return request;
}

template <std::derived_from<DownloadRequest> R, class Value>
std::shared_ptr<R> addResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                      DownloadResponseSerializer<Value> serializer,
                                      std::function<void(DownloadResponse<Value>)> completion) {
  auto cell = std::make_shared<const DownloadResponseSerializer<Value>>(std::move(serializer));
  auto handler = std::make_shared<std::function<void(DownloadResponse<Value>)>>(std::move(completion));
  request->taskDelegate()->queue().add([request, queue, cell, handler] {
    auto delegate = detail::downloadDelegateOf(*request);
    Result<Value> result = cell->serializeResponse(request->request(), request->response(),
                                                   detail::downloadedFile(*delegate), delegate->error());
    auto response = std::make_shared<DownloadResponse<Value>>(
        request->request(), request->response(), delegate->temporaryURL(), delegate->destinationURL(),
        delegate->resumeData(), std::move(result), requestTimeline(*request));
    response->addMetrics(delegate->metrics());
    detail::deliver(queue, std::move(response), handler);
  });
  return request;
}

template <std::derived_from<DownloadRequest> R>
std::shared_ptr<R> addDataResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                          std::function<void(DownloadResponse<platform::foundation::Bytes>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DownloadRequestSerializers::data(),
                            std::move(completion));
}

template <std::derived_from<DownloadRequest> R>
std::shared_ptr<R> addStringResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                            std::optional<StringEncoding> encoding,
                                            std::function<void(DownloadResponse<std::string>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DownloadRequestSerializers::string(encoding),
                            std::move(completion));
}

template <std::derived_from<DownloadRequest> R>
std::shared_ptr<R> addJSONResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue, unsigned options,
                                          std::function<void(DownloadResponse<JSONValue>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DownloadRequestSerializers::json(options),
                            std::move(completion));
}

template <std::derived_from<DownloadRequest> R>
std::shared_ptr<R> addPropertyListResponseHandler(std::shared_ptr<R> request, DeliveryQueue queue,
                                                  std::uint64_t options,
                                                  std::function<void(DownloadResponse<JSONValue>)> completion) {
  return addResponseHandler(std::move(request), std::move(queue), DownloadRequestSerializers::propertyList(options),
                            std::move(completion));
}

}  // namespace Duvarel
