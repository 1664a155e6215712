#include "push/client.h"

#include <cstdio>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/json.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/utilities.h"

namespace push {

namespace dispatch = platform::dispatch;

namespace {

foundation::Value errorValue(const foundation::Error& error) {
  return foundation::Value::object(std::make_shared<foundation::Error>(error));
}

std::optional<foundation::Dict> replyDict(const std::optional<foundation::Value>& parsed) {
  if (!parsed) return std::nullopt;
  if (const auto* d = parsed->dict()) return *d;
  return foundation::Dict{};
}

bool logsAt(std::uint32_t level) { return level <= consoleLogLevel() || level <= visualLogLevel(); }

}  // namespace

// ---- ReattemptRequest, OSPendingCallbacks ----

std::shared_ptr<ReattemptRequest> ReattemptRequest::withRequest(std::shared_ptr<RerAvirorRequest> request,
                                                                OSResultSuccessBlock successBlock,
                                                                OSFailureBlock failureBlock) {
  auto r = std::make_shared<ReattemptRequest>();
  r->request = std::move(request);
  r->successBlock = std::move(successBlock);
  r->failureBlock = std::move(failureBlock);
  return r;
}

OSResultSuccessBlock OSPendingCallbacks::successBlock() const {
  std::lock_guard lock(mutex_);
  return success_;
}
void OSPendingCallbacks::setSuccessBlock(OSResultSuccessBlock block) {
  std::lock_guard lock(mutex_);
  success_ = std::move(block);
}
OSFailureBlock OSPendingCallbacks::failureBlock() const {
  std::lock_guard lock(mutex_);
  return failure_;
}
void OSPendingCallbacks::setFailureBlock(OSFailureBlock block) {
  std::lock_guard lock(mutex_);
  failure_ = std::move(block);
}

// ---- RerAvirorClient ----

RerAvirorClient& RerAvirorClient::sharedClient() {
  static RerAvirorClient* client = new RerAvirorClient();
  return *client;
}

RerAvirorClient::RerAvirorClient()
    : sharedSession_(net::Session::make(configurationWithCachingPolicy(net::CachePolicy::use_protocol))),
      noCacheSession_(net::Session::make(configurationWithCachingPolicy(net::CachePolicy::reload_ignoring_local))) {}

net::Configuration RerAvirorClient::configurationWithCachingPolicy(net::CachePolicy policy) {
  auto configuration = net::Configuration::default_config();
  configuration.timeout_for_request = kTimeoutSeconds;
  configuration.timeout_for_resource = kTimeoutSeconds;
  configuration.request_cache_policy = policy;
  return configuration;
}

const std::shared_ptr<net::Session>& RerAvirorClient::sessionForRequest(const RerAvirorRequest& request) const {
  return request.disableLocalCaching() ? noCacheSession_ : sharedSession_;
}

foundation::Error RerAvirorClient::privacyConsentErrorWithRequestType(std::string_view type) {
  return foundation::Error(std::string(kErrorDomainSpaced), 0,
                           {{"error", "Attempted to perform an HTTP request (" + std::string(type) +
                                          ") before the user provided privacy consent."}});
}

foundation::Error RerAvirorClient::genericTimedOutError() {
  return foundation::Error(std::string(kErrorDomainSpaced), 0, {{"error", "The request timed out"}});
}

bool RerAvirorClient::validRequest(const RerAvirorRequest& request) const {
  if (request.missingAppId()) return false;
  prettyPrintDebugStatementWithRequest(request);
  return true;
}

void RerAvirorClient::handleMissingAppIdError(const OSFailureBlock& failureBlock,
                                              const RerAvirorRequest& request) const {
  const std::string message = "HTTP Request (" + std::string(request.className()) + ") must contain app_id parameter";
  writeLogLine(kLogError, message);
  if (failureBlock) failureBlock(foundation::Error(std::string(kErrorDomain), -1, {{"error", message}}));
}

void RerAvirorClient::prettyPrintDebugStatementWithRequest(const RerAvirorRequest& request) const {
  if (!logsAt(kLogVerbose)) return;
  if (!request.parameters()) return;
  const foundation::Value parameters(*request.parameters());
  if (!foundation::json::is_valid_object(parameters)) return;
  auto bytes = foundation::json::serialize(parameters, {.pretty = true});
  if (!bytes) return;
  const auto url = request.urlRequest().url;
  writeLogLine(kLogVerbose, "HTTP Request (" + std::string(request.className()) + ") with URL: " +
                                (url ? url->absolute_string() : std::string("(null)")) +
                                ", with parameters: " + foundation::to_string(*bytes));
}

void RerAvirorClient::executeRequest(std::shared_ptr<RerAvirorRequest> request, OSResultSuccessBlock successBlock,
                                     OSFailureBlock failureBlock) {
  if (!request) return;
  if (request->method() != GET && RerAviror::shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
    if (failureBlock) failureBlock(privacyConsentErrorWithRequestType(request->className()));
    return;
  }
  if (!validRequest(*request)) {
    handleMissingAppIdError(failureBlock, *request);
    return;
  }
  const auto& session = sessionForRequest(*request);
  auto task = session->data_task(
      request->urlRequest(),
      [this, request, successBlock = std::move(successBlock), failureBlock = std::move(failureBlock)](
          std::optional<foundation::Bytes> data, std::shared_ptr<const net::Response> response,
          std::optional<foundation::Error> error) {
        handleJSONNSURLResponse(response, data, error, true, request, successBlock, failureBlock);
      });
  task->resume();
}

void RerAvirorClient::handleJSONNSURLResponse(const std::shared_ptr<const net::Response>& response,
                                              const std::optional<foundation::Bytes>& data,
                                              const std::optional<foundation::Error>& error, bool isAsync,
                                              const std::shared_ptr<RerAvirorRequest>& request,
                                              const OSResultSuccessBlock& successBlock,
                                              const OSFailureBlock& failureBlock) {
  const int status = response && response->status ? *response->status : 0;
  std::optional<foundation::Value> parsed;
  if (data && !data->empty()) {
    auto result = foundation::json::parse(*data);
    if (logsAt(kLogVerbose)) {
      writeLogLine(kLogVerbose, "network response (" + std::string(request->className()) +
                                    "): " + (result ? foundation::describe(*result) : std::string("(null)")));
    }
    if (!result) {
      if (failureBlock)
        failureBlock(foundation::Error(std::string(kErrorDomainSpaced), status, {{"returned", errorValue(result.error())}}));
      return;
    }
    parsed = std::move(result.value());
  }
  if (willReattemptRequest(status, request, successBlock, failureBlock, isAsync)) return;
  if (!error && status == 200) {
    if (successBlock) successBlock(replyDict(parsed));
    return;
  }
  if (!failureBlock) return;
  if (parsed && !error) {
    failureBlock(foundation::Error(std::string(kErrorDomain), status, {{"returned", *parsed}}));
  } else if (error) {
    failureBlock(foundation::Error(std::string(kErrorDomain), status, {{"error", errorValue(*error)}}));
  } else {
    failureBlock(foundation::Error(std::string(kErrorDomain), status));
  }
}

bool RerAvirorClient::willReattemptRequest(int statusCode, const std::shared_ptr<RerAvirorRequest>& request,
                                           const OSResultSuccessBlock& successBlock,
                                           const OSFailureBlock& failureBlock, bool asyncRequest) {
  if ((statusCode >= 1 && statusCode <= 499) || request->reattemptCount() >= kMaxReattempts) return false;
  auto reattempt = ReattemptRequest::withRequest(request, successBlock, failureBlock);
  if (asyncRequest) {
    performOnMainThreadAfterDelay(reattempt.get(), "reattemptRequest:", kReattemptDelaySeconds,
                                  [this, reattempt] { reattemptRequest(reattempt); });
    char delay[32];
    std::snprintf(delay, sizeof delay, "%.3f", kReattemptDelaySeconds);
    writeLogLine(kLogDebug, "Re-scheduling request (" + std::string(request->className()) +
                                ") to be re-attempted in " + delay +
                                " seconds due to failed HTTP request with status code " + std::to_string(statusCode));
  } else {
    reattemptRequest(reattempt);
  }
  return true;
}

void RerAvirorClient::reattemptRequest(const std::shared_ptr<ReattemptRequest>& reattempt) {
  if (!reattempt || !reattempt->request) return;
  reattempt->request->setReattemptCount(reattempt->request->reattemptCount() + 1);
  executeRequest(reattempt->request, reattempt->successBlock, reattempt->failureBlock);
}

void RerAvirorClient::executeSimultaneousRequests(std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests,
                                                  OSMultipleSuccessBlock successBlock,
                                                  OSMultipleFailureBlock failureBlock) {
  if (requests.empty()) return;
  dispatch::Queue::global().async([this, requests = std::move(requests), successBlock = std::move(successBlock),
                                   failureBlock = std::move(failureBlock)] {
    // Written by the completion threads, read once the wait ended; after that
    // late completions change nothing.
    struct Batch {
      std::mutex mutex;
      std::map<std::string, foundation::Dict> results;
      std::map<std::string, foundation::Error> errors;
      bool answered = false;
    };
    auto batch = std::make_shared<Batch>();
    dispatch::Group group;
    for (const auto& [key, request] : requests) {
      group.enter();
      executeRequest(
          request,
          [batch, group, name = key](const std::optional<foundation::Dict>& result) {
            {
              std::lock_guard lock(batch->mutex);
              if (!batch->answered && result) batch->results[name] = *result;
            }
            group.leave();
          },
          [batch, group, name = key](const foundation::Error& error) {
            {
              std::lock_guard lock(batch->mutex);
              if (!batch->answered) batch->errors[name] = error;
            }
            group.leave();
          });
    }
    const bool finished = group.wait(dispatch::Duration(kBatchWaitSeconds));
    std::map<std::string, foundation::Dict> results;
    std::map<std::string, foundation::Error> errors;
    {
      std::lock_guard lock(batch->mutex);
      batch->answered = true;
      if (!finished && batch->errors.empty())
        for (const auto& entry : requests) batch->errors[entry.first] = genericTimedOutError();
      results = std::move(batch->results);
      errors = std::move(batch->errors);
    }
    dispatch::Queue::main().async([results = std::move(results), errors = std::move(errors), successBlock,
                                   failureBlock] {
      if (!errors.empty()) {
        if (failureBlock) failureBlock(errors);
      } else if (successBlock) {
        successBlock(results);
      }
    });
  });
}

void RerAvirorClient::executeSynchronousRequest(std::shared_ptr<RerAvirorRequest> request,
                                                OSResultSuccessBlock successBlock, OSFailureBlock failureBlock) {
  if (!request) return;
  if (!validRequest(*request)) {
    handleMissingAppIdError(failureBlock, *request);
    return;
  }
  struct Outcome {
    std::mutex mutex;
    std::shared_ptr<const net::Response> response;
    std::optional<foundation::Error> error;
    bool waitEnded = false;
  };
  auto outcome = std::make_shared<Outcome>();
  dispatch::Semaphore semaphore(0);
  auto task = sharedSession_->data_task(
      request->urlRequest(), [outcome, semaphore](std::optional<foundation::Bytes>,
                                                  std::shared_ptr<const net::Response> response,
                                                  std::optional<foundation::Error> error) {
        {
          std::lock_guard lock(outcome->mutex);
          if (outcome->waitEnded) return;
          outcome->response = std::move(response);
          outcome->error = std::move(error);
        }
        semaphore.signal();
      });
  task->resume();
  semaphore.wait(dispatch::Duration(kTimeoutSeconds));
  std::shared_ptr<const net::Response> response;
  std::optional<foundation::Error> error;
  {
    std::lock_guard lock(outcome->mutex);
    outcome->waitEnded = true;
    response = outcome->response;
    error = outcome->error;
  }
  handleJSONNSURLResponse(response, std::nullopt, error, false, request, successBlock, failureBlock);
}

}  // namespace push
