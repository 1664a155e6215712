// E-mail subscription: creating, updating and logging out the e-mail player
// record, and the setEmail call parked until registration and the per-app
// parameters.
#include "push/email.h"

#include <mutex>

#include "platform/os/preferences.h"
#include "push/client.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace {

constexpr std::int64_t kEmailDeviceType = 11;

// Never destroyed: an answer may still replay a parked call while the process exits.
std::mutex& g_pendingMutex = *new std::mutex;
std::shared_ptr<RerAvirorSetEmailParameters>& g_pendingEmailParameters =
    *new std::shared_ptr<RerAvirorSetEmailParameters>;

foundation::Error invalidEmailError() {
  return foundation::Error(std::string(kEmailErrorDomain), 0, {{"error", "Email is invalid"}});
}

foundation::Error authRequiredError() {
  return foundation::Error(std::string(kEmailAuthErrorDomain), 0,
                           {{"error",
                             "Email authentication (auth token) is set to REQUIRED for this application. Please "
                             "provide an auth token from your backend server or change the setting in the RerAviror "
                             "dashboard."}});
}

foundation::Error logoutWithoutRecordError() {
  return foundation::Error(
      std::string(kEmailErrorDomain), 0,
      {{"error",
        "Attempted to log out of the user's email with RerAviror. The user does not currently have an email player "
        "ID and is not logged in, so it is not possible to log out of the email for this device"}});
}

foundation::Error missingEmailPlayerIdError() {
  return foundation::Error(std::string(kEmailAuthErrorDomain), 0, {{"error", "Missing RerAviror Email Player ID"}});
}

// The answer's "id" when it is a non-empty text.
std::optional<std::string> playerIdOf(const std::optional<foundation::Dict>& result) {
  if (!result) return std::nullopt;
  const foundation::Value* id = result->find("id");
  if (!id || !id->string() || id->string()->empty()) return std::nullopt;
  return *id->string();
}

OSResultSuccessBlock successOnMain(OSEmailSuccessBlock block) {
  return [block = std::move(block)](const std::optional<foundation::Dict>&) {
    RerAviror::callSuccessBlockOnMainThread(block);
  };
}

OSFailureBlock failureOnMain(OSEmailFailureBlock block) {
  return [block = std::move(block)](const foundation::Error& error) {
    RerAviror::callFailureBlockOnMainThread(block, error);
  };
}

}  // namespace

std::shared_ptr<RerAvirorSetEmailParameters> RerAvirorSetEmailParameters::withEmail(
    std::string email, std::optional<std::string> authToken, OSEmailSuccessBlock successBlock,
    OSEmailFailureBlock failureBlock) {
  auto parameters = std::make_shared<RerAvirorSetEmailParameters>();
  parameters->email = std::move(email);
  parameters->authToken = std::move(authToken);
  parameters->successBlock = std::move(successBlock);
  parameters->failureBlock = std::move(failureBlock);
  return parameters;
}

std::shared_ptr<RerAvirorSetEmailParameters> pendingEmailParameters() {
  std::lock_guard lock(g_pendingMutex);
  return g_pendingEmailParameters;
}

void clearEmailStatics() {
  std::lock_guard lock(g_pendingMutex);
  g_pendingEmailParameters.reset();
}

void RerAviror::setEmail(const std::string& email) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("setEmail:")) return;
  setEmail(email, OSEmailSuccessBlock{}, OSEmailFailureBlock{});
}

void RerAviror::setEmail(const std::string& email, OSEmailSuccessBlock successBlock,
                         OSEmailFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("setEmail:withSuccess:withFailure:")) return;
  setEmail(email, std::nullopt, std::move(successBlock), std::move(failureBlock));
}

void RerAviror::setEmail(const std::string& email, const std::optional<std::string>& emailAuthHashToken) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("setEmail:withEmailAuthHashToken:")) return;
  setEmail(email, emailAuthHashToken, OSEmailSuccessBlock{}, OSEmailFailureBlock{});
}

void RerAviror::setEmail(const std::string& email, const std::optional<std::string>& emailAuthHashToken,
                         OSEmailSuccessBlock successBlock, OSEmailFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("setEmail:withEmailAuthHashToken:withSuccess:withFailure:"))
    return;
  const std::optional<std::string>& hash = emailAuthHashToken;

  if (!isValidEmail(email)) {
    writeLogLine(kLogWarn, "Invalid email (" + email + ") passed to setEmail");
    if (failureBlock) failureBlock(invalidEmailError());
    return;
  }
  auto emailState = currentEmailSubscriptionState();
  if (emailState->requiresEmailAuth() && (!hash || hash->empty())) {
    if (failureBlock) failureBlock(authRequiredError());
    return;
  }
  const auto storedAddress = emailState->emailAddress();
  if (storedAddress && *storedAddress == email && emailState->emailAuthCode() == hash) {
    writeLogLine(kLogVerbose, "Email already exists, there is no need to call setEmail again");
    if (successBlock) successBlock();
    return;
  }

  const auto userId = currentSubscriptionState()->userId();
  if (!userId || (!iosParamsReceived() && hash)) {
    writeLogLine(kLogVerbose,
                 "iOS Parameters for this application has not yet been downloaded. Delaying call to setEmail: until "
                 "the parameters have been downloaded.");
    std::lock_guard lock(g_pendingMutex);
    g_pendingEmailParameters =
        RerAvirorSetEmailParameters::withEmail(email, hash, std::move(successBlock), std::move(failureBlock));
    return;
  }

  const auto appId = app_id();
  auto& client = RerAvirorClient::sharedClient();
  if (const auto emailUserId = emailState->emailUserId()) {
    // The existing record takes the new address; the stored address stays as it was.
    client.executeRequest(
        OSRequestUpdateDeviceToken::withUserId(emailUserId, appId, email, std::nullopt, std::nullopt, hash,
                                               std::nullopt),
        successOnMain(std::move(successBlock)), failureOnMain(failureBlock));
    return;
  }

  client.executeRequest(
      OSRequestCreateDevice::withAppId(appId, kEmailDeviceType, email, userId, hash),
      [email, hash, userId, appId, successBlock, failureBlock](const std::optional<foundation::Dict>& result) {
        const auto emailPlayerId = playerIdOf(result);
        if (!emailPlayerId) {
          writeLogLine(kLogError, "Missing RerAviror Email Player ID");
          callFailureBlockOnMainThread(failureBlock, missingEmailPlayerIdError());
          return;
        }
        auto state = currentEmailSubscriptionState();
        state->setEmailAddress(email);
        state->setEmailAuthCode(hash);
        state->setEmailUserId(emailPlayerId);
        state->persist();
        RerAvirorClient::sharedClient().executeRequest(
            OSRequestUpdateDeviceToken::withUserId(userId, appId, std::nullopt, getNotificationTypes(),
                                                   emailPlayerId, hash, email),
            successOnMain(successBlock), failureOnMain(failureBlock));
      },
      failureOnMain(failureBlock));
}

void RerAviror::replayPendingEmail() {
  std::shared_ptr<RerAvirorSetEmailParameters> parked;
  {
    std::lock_guard lock(g_pendingMutex);
    parked = std::move(g_pendingEmailParameters);
    g_pendingEmailParameters.reset();
  }
  if (parked) setEmail(parked->email, parked->authToken, parked->successBlock, parked->failureBlock);
}

void RerAviror::logoutEmail() {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("logoutEmail")) return;
  logoutEmailWithSuccess(OSEmailSuccessBlock{}, OSEmailFailureBlock{});
}

void RerAviror::logoutEmailWithSuccess(OSEmailSuccessBlock successBlock, OSEmailFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("logoutEmailWithSuccess:withFailure:")) return;
  auto emailState = currentEmailSubscriptionState();
  const auto emailUserId = emailState->emailUserId();
  if (!emailUserId) {
    writeLogLine(kLogError, "Email Player ID does not exist, cannot logout");
    if (failureBlock) failureBlock(logoutWithoutRecordError());
    return;
  }
  RerAvirorClient::sharedClient().executeRequest(
      OSRequestLogoutEmail::withAppId(app_id(), emailUserId, currentSubscriptionState()->userId(),
                                      emailState->emailAuthCode()),
      [successBlock](const std::optional<foundation::Dict>&) {
        auto& defaults = platform::os::UserDefaults::standard();
        defaults.remove("GT_EMAIL_PLAYER_ID");
        defaults.synchronize();
        auto state = currentEmailSubscriptionState();
        state->setEmailAddress(std::nullopt);
        state->setEmailAuthCode(std::nullopt);
        state->setEmailUserId(std::nullopt);
        state->persist();
        callSuccessBlockOnMainThread(successBlock);
      },
      failureOnMain(failureBlock));
}

void RerAviror::emailChangedWithNewEmailPlayerId(const std::string& emailPlayerId) {
  auto state = currentEmailSubscriptionState();
  if (state->emailUserId() == emailPlayerId) return;
  state->setEmailUserId(emailPlayerId);
  state->persist();
  RerAvirorClient::sharedClient().executeRequest(
      OSRequestUpdateDeviceToken::withUserId(currentSubscriptionState()->userId(), app_id(), std::nullopt,
                                             getNotificationTypes(), emailPlayerId, state->emailAuthCode(),
                                             state->emailAddress()),
      nullptr, [](const foundation::Error& error) {
        writeLogLine(kLogError, "Encountered an error updating this user's email player record: " + error.description());
      });
}

}  // namespace push
