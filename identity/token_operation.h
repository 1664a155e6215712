#pragma once
// Token register and delete operations: one form-encoded POST to the token
// register endpoint per operation, authenticated with the checkin
// credentials.
//
// Threads: operations run one at a time on the token manager's operation
// queue; they finish on the URL session's delegate queue, on the main queue
// (a retried fetch) or on the thread that cancels. Completion handlers run on
// the finishing thread, in the order added, exactly once.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "identity/utilities.h"
#include "platform/dispatch/operation.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/net/http.h"

namespace platform::net {
class Session;
class Task;
}  // namespace platform::net

namespace identity {

class FIRInstanceIDCheckinPreferences;
class FIRInstanceIDKeyPair;

enum FIRInstanceIDTokenAction : std::int64_t {
  FIRInstanceIDTokenActionFetch = 0,
  FIRInstanceIDTokenActionDelete = 1,
  FIRInstanceIDTokenActionDeleteAll = 2,
};

enum FIRInstanceIDTokenOperationResult : std::int64_t {
  FIRInstanceIDTokenOperationSucceeded = 0,
  FIRInstanceIDTokenOperationError = 1,
  FIRInstanceIDTokenOperationCancelled = 2,
};

// The notification a fetch posts (object nil) when the server asks for an identity reset.
inline constexpr std::string_view kFIRInstanceIDIdentityInvalidatedNotification = "com.dozada.iid.identity-invalid";

class FIRInstanceIDTokenOperation : public platform::dispatch::Operation {
 public:
  using Completion = std::function<void(FIRInstanceIDTokenOperationResult result, std::optional<std::string> token,
                                        std::optional<platform::foundation::Error> error)>;
  using ResponseHandler = std::function<void(std::optional<platform::foundation::Bytes> data,
                                             std::shared_ptr<const platform::net::Response> response,
                                             std::optional<platform::foundation::Error> error)>;
  // Receives the request instead of the network when set.
  using TestBlock = std::function<void(const platform::net::Request& request, ResponseHandler completion)>;

  FIRInstanceIDTokenOperation(FIRInstanceIDTokenAction action, std::optional<std::string> authorizedEntity,
                              std::optional<std::string> scope, platform::foundation::Dict options,
                              std::shared_ptr<const FIRInstanceIDCheckinPreferences> checkinPreferences,
                              std::shared_ptr<FIRInstanceIDKeyPair> keyPair);
  ~FIRInstanceIDTokenOperation() override;

  FIRInstanceIDTokenAction action() const { return action_; }
  const std::optional<std::string>& authorizedEntity() const { return authorizedEntity_; }
  const std::optional<std::string>& scope() const { return scope_; }
  const platform::foundation::Dict& options() const { return options_; }
  const std::shared_ptr<const FIRInstanceIDCheckinPreferences>& checkinPreferences() const { return checkinPreferences_; }
  const std::shared_ptr<FIRInstanceIDKeyPair>& keyPair() const { return keyPair_; }
  FIRInstanceIDTokenOperationResult result() const;

  void addCompletionHandler(Completion handler);
  void setTestBlock(TestBlock block);

  bool is_asynchronous() const override { return true; }
  void start() override;
  // Base cancellation, the running task cancelled, finished with result 2.
  void cancel();
  // Acts once: later calls are ignored.
  void finishWithResult(FIRInstanceIDTokenOperationResult result, std::optional<std::string> token,
                        std::optional<platform::foundation::Error> error);
  virtual void performTokenOperation() {}

  // The session every token operation shares (60 s, "com.dozada.iid.tokens.session").
  static std::shared_ptr<platform::net::Session> sharedURLSession();
  // POST to the register endpoint with "Authorization" and "app".
  static platform::net::Request requestWithAuthHeader(const std::string& authHeader);
  static std::vector<FIRInstanceIDURLQueryItem> standardQueryItemsWithDeviceID(const std::optional<std::string>& deviceID,
                                                                              const std::optional<std::string>& scope);
  // "AidLogin <device ID>:<secret>".
  static std::string HTTPAuthHeaderFromCheckin(const FIRInstanceIDCheckinPreferences& checkin);
  // "appid" with the identity of the key pair (none without one).
  std::vector<FIRInstanceIDURLQueryItem> queryItemsWithKeyPair(const std::shared_ptr<FIRInstanceIDKeyPair>& keyPair) const;

 protected:
  // Sends through the test block, else as a data task of the shared session;
  // the reply reaches handleResponse of this operation, held weakly.
  void send(platform::net::Request request);
  virtual void handleResponseWithData(std::optional<platform::foundation::Bytes> data,
                                      std::shared_ptr<const platform::net::Response> response,
                                      std::optional<platform::foundation::Error> error) = 0;

 private:
  const FIRInstanceIDTokenAction action_;
  const std::optional<std::string> authorizedEntity_;
  const std::optional<std::string> scope_;
  const platform::foundation::Dict options_;
  const std::shared_ptr<const FIRInstanceIDCheckinPreferences> checkinPreferences_;
  const std::shared_ptr<FIRInstanceIDKeyPair> keyPair_;

  mutable std::mutex mutex_;
  FIRInstanceIDTokenOperationResult result_ = FIRInstanceIDTokenOperationError;
  bool finishing_ = false;
  std::shared_ptr<platform::net::Task> dataTask_;
  std::vector<Completion> completionHandlers_;
  TestBlock testBlock_;
};

class FIRInstanceIDTokenFetchOperation : public FIRInstanceIDTokenOperation {
 public:
  FIRInstanceIDTokenFetchOperation(std::string authorizedEntity, std::string scope, platform::foundation::Dict options,
                                   std::shared_ptr<const FIRInstanceIDCheckinPreferences> checkinPreferences,
                                   std::shared_ptr<FIRInstanceIDKeyPair> keyPair);
  void performTokenOperation() override;

  // The process-wide count of PHONE_REGISTRATION_ERROR retries (never reset).
  static int phoneRegistrationRetryCount();

 protected:
  void handleResponseWithData(std::optional<platform::foundation::Bytes> data,
                              std::shared_ptr<const platform::net::Response> response,
                              std::optional<platform::foundation::Error> error) override;
};

class FIRInstanceIDTokenDeleteOperation : public FIRInstanceIDTokenOperation {
 public:
  // Entity and scope may be absent (the reset of an old checkin).
  FIRInstanceIDTokenDeleteOperation(std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
                                    std::shared_ptr<const FIRInstanceIDCheckinPreferences> checkinPreferences,
                                    std::shared_ptr<FIRInstanceIDKeyPair> keyPair, FIRInstanceIDTokenAction action);
  void performTokenOperation() override;

 protected:
  void handleResponseWithData(std::optional<platform::foundation::Bytes> data,
                              std::shared_ptr<const platform::net::Response> response,
                              std::optional<platform::foundation::Error> error) override;
};

}  // namespace identity
