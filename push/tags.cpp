// Tags: changes collected into one pending batch and sent 5 s after the last
// change, reading tags, and posting a notification from the device.
#include <mutex>

#include "platform/foundation/json.h"
#include "platform/foundation/text.h"
#include "push/client.h"
#include "push/device_facts.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace json = platform::foundation::json;

namespace {

constexpr std::string_view kSendTagsSelector = "sendTagsToServer";
constexpr double kTagBatchDelaySeconds = 5.0;

// The pending batch and the parked getTags call. Callers are expected on the
// main thread; registration takes the batch from its own queue.
struct TagState {
  std::mutex mutex;
  std::optional<foundation::Dict> pendingTags;
  std::vector<std::shared_ptr<OSPendingCallbacks>> pendingTagCallbacks;
  bool getTagsParked = false;
  OSResultSuccessBlock pendingGetTagsSuccessBlock;
  OSFailureBlock pendingGetTagsFailureBlock;
};

TagState& tagState() {
  static TagState* s = new TagState();
  return *s;
}

std::string jsonText(const foundation::Value& value) {
  auto bytes = json::serialize(value);
  return bytes ? foundation::to_string(*bytes) : std::string("(null)");
}

void logParseError(std::string_view operation, const foundation::Error& error, std::string_view text) {
  writeLogLine(kLogWarn, std::string(operation) + " JSON Parse Error: " + error.description());
  writeLogLine(kLogWarn, std::string(operation) + " JSON Parse Error, JSON: " + std::string(text));
}

}  // namespace

// ---- adding changes ----

void clearTagStatics() {
  auto& s = tagState();
  std::lock_guard lock(s.mutex);
  s.pendingTags.reset();
  s.pendingTagCallbacks.clear();
  s.getTagsParked = false;
  s.pendingGetTagsSuccessBlock = nullptr;
  s.pendingGetTagsFailureBlock = nullptr;
}

void RerAviror::sendTag(const std::string& key, const std::optional<std::string>& value) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("sendTag:value:")) return;
  sendTag(key, value, nullptr, nullptr);
}

void RerAviror::sendTag(const std::string& key, const std::optional<std::string>& value,
                        OSResultSuccessBlock successBlock, OSFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("sendTag:value:onSuccess:onFailure:")) return;
  // A missing value makes an empty change: its blocks still join the batch.
  foundation::Dict change;
  if (value) change.set(key, *value);
  sendTags(change, std::move(successBlock), std::move(failureBlock));
}

void RerAviror::sendTags(const foundation::Dict& keyValuePair) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("sendTags:")) return;
  sendTags(keyValuePair, nullptr, nullptr);
}

void RerAviror::sendTagsWithJsonString(std::string_view jsonString) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("sendTagsWithJsonString:")) return;
  auto parsed = json::parse(jsonString);
  if (!parsed) {
    logParseError("sendTags", parsed.error(), jsonString);
    return;
  }
  const foundation::Dict* tags = parsed->dict();
  if (!tags) {
    writeLogLine(kLogWarn, "sendTags JSON Invalid: The following key/value pairs you attempted to send as tags are "
                           "not valid JSON: " + std::string(jsonString));
    return;
  }
  sendTags(*tags);
}

void RerAviror::sendTags(const foundation::Dict& keyValuePair, OSResultSuccessBlock successBlock,
                         OSFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("sendTags:onSuccess:onFailure:")) return;
  if (!json::is_valid_object(foundation::Value(keyValuePair))) {
    writeLogLine(kLogWarn, "sendTags JSON Invalid: The following key/value pairs you attempted to send as tags are "
                           "not valid JSON: " + foundation::describe(foundation::Value(keyValuePair)));
    return;
  }
  for (const auto& [key, value] : keyValuePair) {
    if (value.is_dict()) {
      writeLogLine(kLogWarn, "sendTags Tags JSON must not contain nested objects");
      return;
    }
  }
  auto& s = tagState();
  {
    std::lock_guard lock(s.mutex);
    if (!s.pendingTags) s.pendingTags.emplace();
    for (const auto& [key, value] : keyValuePair) s.pendingTags->set(key, value);
    if (successBlock || failureBlock) {
      auto callbacks = std::make_shared<OSPendingCallbacks>();
      callbacks->setSuccessBlock(std::move(successBlock));
      callbacks->setFailureBlock(std::move(failureBlock));
      s.pendingTagCallbacks.push_back(std::move(callbacks));
    }
  }
  cancelMainThreadPerform(performTarget(), kSendTagsSelector);
  if (currentSubscriptionState()->userId()) {
    performOnMainThreadAfterDelay(performTarget(), kSendTagsSelector, kTagBatchDelaySeconds,
                                  [] { sendTagsToServer(); });
  }
}

// ---- the batch ----

std::optional<foundation::Dict> RerAviror::takePendingTags(std::vector<std::shared_ptr<OSPendingCallbacks>>& callbacks) {
  auto& s = tagState();
  std::lock_guard lock(s.mutex);
  std::optional<foundation::Dict> tags;
  tags.swap(s.pendingTags);
  callbacks = std::move(s.pendingTagCallbacks);
  s.pendingTagCallbacks.clear();
  return tags;
}

bool RerAviror::hasPendingTags() {
  auto& s = tagState();
  std::lock_guard lock(s.mutex);
  return s.pendingTags.has_value();
}

void RerAviror::sendTagsToServer() {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
  std::vector<std::shared_ptr<OSPendingCallbacks>> callbacks;
  auto tags = takePendingTags(callbacks);
  if (!tags) return;

  const auto appId = app_id();
  const auto netType = getNetType();
  std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests;
  requests["push"] =
      OSRequestSendTagsToServer::withUserId(currentSubscriptionState()->userId(), appId, tags, netType, std::nullopt);
  auto emailState = currentEmailSubscriptionState();
  if (const auto emailUserId = emailState->emailUserId()) {
    const auto authCode = emailState->emailAuthCode();
    if (!emailState->requiresEmailAuth() || authCode) {
      requests["email"] = OSRequestSendTagsToServer::withUserId(emailUserId, appId, tags, netType, authCode);
    }
  }
  RerAvirorClient::sharedClient().executeSimultaneousRequests(
      std::move(requests),
      [callbacks](const std::map<std::string, foundation::Dict>& results) {
        std::optional<foundation::Dict> result;
        if (auto it = results.find("push"); it != results.end()) {
          result = it->second;
        } else if (auto email = results.find("email"); email != results.end()) {
          result = email->second;
        }
        for (const auto& c : callbacks)
          if (auto block = c->successBlock()) block(result);
      },
      [callbacks](const std::map<std::string, foundation::Error>& errors) {
        auto it = errors.find("push");
        if (it == errors.end()) it = errors.find("email");
        const foundation::Error error = it != errors.end() ? it->second : foundation::Error{};
        for (const auto& c : callbacks)
          if (auto block = c->failureBlock()) block(error);
      });
}

// ---- reading ----

void RerAviror::getTags(OSResultSuccessBlock successBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("getTags:")) return;
  getTags(std::move(successBlock), nullptr);
}

void RerAviror::getTags(OSResultSuccessBlock successBlock, OSFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("getTags:onFailure:")) return;
  const auto userId = currentSubscriptionState()->userId();
  if (!userId) {
    auto& s = tagState();
    std::lock_guard lock(s.mutex);
    s.getTagsParked = true;
    s.pendingGetTagsSuccessBlock = std::move(successBlock);
    s.pendingGetTagsFailureBlock = std::move(failureBlock);
    return;
  }
  RerAvirorClient::sharedClient().executeRequest(
      OSRequestGetTags::withUserId(userId, app_id()),
      [successBlock = std::move(successBlock)](const std::optional<foundation::Dict>& result) {
        if (!successBlock) return;
        std::optional<foundation::Dict> tags;
        if (result)
          if (const auto* value = result->find("tags"); value && value->dict()) tags = *value->dict();
        successBlock(tags);
      },
      std::move(failureBlock));
}

void RerAviror::runPendingGetTags() {
  auto& s = tagState();
  OSResultSuccessBlock successBlock;
  OSFailureBlock failureBlock;
  {
    std::lock_guard lock(s.mutex);
    if (!s.getTagsParked) return;
    s.getTagsParked = false;
    successBlock = std::move(s.pendingGetTagsSuccessBlock);
    failureBlock = std::move(s.pendingGetTagsFailureBlock);
    s.pendingGetTagsSuccessBlock = nullptr;
    s.pendingGetTagsFailureBlock = nullptr;
  }
  getTags(std::move(successBlock), std::move(failureBlock));
}

// ---- deleting ----

void RerAviror::deleteTag(const std::string& key) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("deleteTag:")) return;
  deleteTags(std::vector<std::string>{key}, nullptr, nullptr);
}

void RerAviror::deleteTag(const std::string& key, OSResultSuccessBlock successBlock, OSFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("deleteTag:onSuccess:onFailure:")) return;
  deleteTags(std::vector<std::string>{key}, std::move(successBlock), std::move(failureBlock));
}

void RerAviror::deleteTags(const std::vector<std::string>& keys) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("deleteTags:")) return;
  deleteTags(keys, nullptr, nullptr);
}

void RerAviror::deleteTagsWithJsonString(std::string_view jsonString) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("deleteTagsWithJsonString:")) return;
  auto parsed = json::parse(jsonString);
  if (!parsed) {
    logParseError("deleteTags", parsed.error(), jsonString);
    return;
  }
  std::vector<std::string> keys;
  const foundation::Array* array = parsed->array();
  if (array) {
    for (const auto& key : *array) {
      if (!key.string()) {
        array = nullptr;
        break;
      }
      keys.push_back(*key.string());
    }
  }
  if (!array) {
    writeLogLine(kLogWarn, "deleteTags JSON must be an array of keys: " + std::string(jsonString));
    return;
  }
  deleteTags(keys);
}

void RerAviror::deleteTags(const std::vector<std::string>& keys, OSResultSuccessBlock successBlock,
                           OSFailureBlock failureBlock) {
  foundation::Dict deletions;
  {
    auto& s = tagState();
    std::lock_guard lock(s.mutex);
    for (const auto& key : keys) {
      const foundation::Value* pending = s.pendingTags ? s.pendingTags->find(key) : nullptr;
      if (!pending) {
        deletions.set(key, "");
      } else if (!(pending->string() && pending->string()->empty())) {
        // A pending change is dropped instead of being deleted on the service.
        s.pendingTags->erase(key);
      }
    }
  }
  sendTags(deletions, std::move(successBlock), std::move(failureBlock));
}

// ---- posting ----

void RerAviror::postNotification(const foundation::Dict& jsonData) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("postNotification:")) return;
  postNotification(jsonData, nullptr, nullptr);
}

void RerAviror::postNotificationWithJsonString(std::string_view jsonString, OSResultSuccessBlock successBlock,
                                               OSFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("postNotificationWithJsonString:onSuccess:onFailure:"))
    return;
  auto parsed = json::parse(jsonString);
  if (!parsed) {
    logParseError("postNotification", parsed.error(), jsonString);
    return;
  }
  const foundation::Dict* notification = parsed->dict();
  if (!notification) {
    logParseError("postNotification",
                  foundation::Error(std::string(kErrorDomainSpaced), 0, {{"error", "not a JSON object"}}),
                  jsonString);
    return;
  }
  postNotification(*notification, std::move(successBlock), std::move(failureBlock));
}

void RerAviror::postNotification(const foundation::Dict& jsonData, OSResultSuccessBlock successBlock,
                                 OSFailureBlock failureBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("postNotification:onSuccess:onFailure:")) return;
  foundation::Dict notification = jsonData;
  convertDatesToISO8061Strings(notification);
  // Only top-level dates are converted: anything else JSON cannot carry
  // refuses the whole notification.
  if (!json::is_valid_object(foundation::Value(notification))) {
    const std::string message = "postNotification JSON Invalid: the notification holds values that are not valid "
                                "JSON (dates are converted at the top level only): " +
                                foundation::describe(foundation::Value(notification));
    writeLogLine(kLogWarn, message);
    callFailureBlockOnMainThread(std::move(failureBlock),
                                 foundation::Error(std::string(kErrorDomainSpaced), 0, {{"error", message}}));
    return;
  }
  RerAvirorClient::sharedClient().executeRequest(
      OSRequestPostNotification::withAppId(app_id(), std::move(notification)),
      [successBlock = std::move(successBlock)](const std::optional<foundation::Dict>& result) {
        dispatch_async_on_main_queue([successBlock, result] {
          writeLogLine(kLogDebug, "HTTP create notification success " +
                                      (result ? jsonText(foundation::Value(*result)) : std::string("(null)")));
          if (successBlock) successBlock(result);
        });
      },
      [failureBlock = std::move(failureBlock)](const foundation::Error& error) {
        dispatch_async_on_main_queue([failureBlock, error] {
          writeLogLine(kLogError, "Create notification failed");
          writeLogLine(kLogInfo, error.description());
          if (failureBlock) failureBlock(error);
        });
      });
}

void RerAviror::convertDatesToISO8061Strings(foundation::Dict& data) {
  for (const auto& key : data.keys()) {
    const foundation::Value* value = data.find(key);
    if (value && value->date())
      data.set(key, foundation::text::format_date(*value->date(), "yyyy-MM-dd'T'HH:mm:ssZZZZZ"));
  }
}

std::string RerAviror::parseNSErrorAsJsonString(const foundation::Error& error) {
  const foundation::Value* returned = error.user_info.find("returned");
  if (!returned) return R"({"error": "HTTP no response error"})";
  auto bytes = json::serialize(*returned);
  if (!bytes) {
    writeLogLine(kLogError, bytes.error().description());
    return R"({"error": "Unknown error parsing error response."})";
  }
  return foundation::to_string(*bytes);
}

}  // namespace push
