// The device checkin exchange.
#include "identity/checkin_service.h"

#include <charconv>

#include "identity/deployment.h"
#include "identity/errors.h"
#include "identity/logger.h"
#include "identity/utilities.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/json.h"
#include "platform/foundation/url.h"
#include "platform/net/session.h"
#include "platform/os/profile.h"
#include "platform/security/random.h"

namespace identity {

namespace fd = platform::foundation;
namespace net = platform::net;

namespace {

std::mutex& testBlockMutex() {
  static std::mutex m;
  return m;
}
FIRInstanceIDCheckinService::TestBlock& testBlock() {
  static FIRInstanceIDCheckinService::TestBlock block;
  return block;
}

// longLongValue of a decimal text: leading spaces, sign and digits; 0 otherwise.
long long longLongValue(const std::string& text) {
  std::size_t at = text.find_first_not_of(" \t");
  if (at == std::string::npos) return 0;
  if (text[at] == '+') ++at;
  long long value = 0;
  const auto result = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) return text[at] == '-' ? INT64_MIN : INT64_MAX;
  return result.ec == std::errc() ? value : 0;
}

// The decimal text of an id: an exact integer or a text of decimal digits.
// A real (a number out of the 64-bit range reads as one) is no id.
std::optional<std::string> idText(const fd::Value& value) {
  if (value.is_integer()) return std::to_string(*value.as_int());
  if (const std::string* text = value.string()) {
    if (text->empty()) return std::nullopt;
    for (char c : *text) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    return *text;
  }
  return std::nullopt;
}

std::string stringOrEmpty(const fd::Value& value) { return value.string() ? *value.string() : ""; }

}  // namespace

FIRInstanceIDCheckinService::FIRInstanceIDCheckinService() {
  auto configuration = net::Configuration::default_config();
  configuration.timeout_for_resource = 60;
  configuration.allows_cellular_access = true;
  session_ = net::Session::make(std::move(configuration));
  session_->session_description = std::string(kFIRInstanceIDCheckinSessionDescription);
}

FIRInstanceIDCheckinService::~FIRInstanceIDCheckinService() {
  session_->invalidate_and_cancel();
  setCheckinTestBlock({});
}

void FIRInstanceIDCheckinService::setCheckinTestBlock(TestBlock block) {
  std::lock_guard lock(testBlockMutex());
  testBlock() = std::move(block);
}

void FIRInstanceIDCheckinService::stopFetching() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  session_->invalidate_and_cancel();
}

fd::Dict FIRInstanceIDCheckinService::checkinParametersWithExistingCheckin(
    const FIRInstanceIDCheckinPreferences* existing) const {
  const std::int64_t lastCheckin = existing ? existing->lastCheckinTimestampMillis() : 0;
  const long long deviceID = existing ? longLongValue(existing->deviceID()) : 0;
  const long long secret = existing ? longLongValue(existing->secretToken()) : 0;
  fd::Dict iosbuild;
  if (auto model = FIRInstanceIDMachineModel()) iosbuild.set("model", fd::Value(*model));
  iosbuild.set("os_version", fd::Value("IOS_" + FIRInstanceIDSystemVersion()));
  fd::Dict checkin;
  checkin.set("iosbuild", fd::Value(std::move(iosbuild)));
  checkin.set("type", fd::Value(2));
  checkin.set("user_number", fd::Value(0));
  checkin.set("last_checkin_msec", fd::Value(static_cast<long long>(lastCheckin)));
  fd::Dict body;
  body.set("checkin", fd::Value(std::move(checkin)));
  body.set("fragment", fd::Value(0));
  body.set("locale", fd::Value(FIRInstanceIDPreferredLocale()));
  body.set("logging_id", fd::Value(static_cast<long long>(platform::security::random_u32())));
  body.set("timezone", fd::Value(platform::os::profile().time_zone));
  body.set("user_serial_number", fd::Value(0));
  body.set("version", fd::Value(2));
  body.set("digest", fd::Value(existing ? existing->digest() : std::string()));
  body.set("id", fd::Value(deviceID));
  body.set("security_token", fd::Value(secret));
  return body;
}

void FIRInstanceIDCheckinService::checkinWithExistingCheckin(FIRInstanceIDCheckinPreferencesRef existing,
                                                             Completion completion) {
  const fd::Dict parameters = checkinParametersWithExistingCheckin(existing.get());
  const auto body = fd::json::serialize(fd::Value(parameters));
  const std::string bodyText = body ? fd::to_string(*body) : std::string();
  IID_LOG_DEBUG(7006, "Checkin parameters: %s", bodyText.c_str());

  net::Request request(*fd::Url::parse(kFIRInstanceIDCheckinURL));
  request.method = "POST";
  request.headers.set("content-type", "application/json");
  request.body = body ? *body : fd::Bytes{};

  DataCompletion handler = [completion = std::move(completion)](std::optional<fd::Bytes> data,
                                                                 std::shared_ptr<const net::Response>,
                                                                 std::optional<fd::Error> error) {
    auto result = checkinPreferencesFromReply(data, error);
    if (result) {
      completion(*result, std::nullopt);
    } else {
      completion(nullptr, result.error());
    }
  };

  TestBlock hook;
  {
    std::lock_guard lock(testBlockMutex());
    hook = testBlock();
  }
  if (hook) {
    IID_LOG_DEBUG(7005, "Test block set, will not hit the server");
    hook(request, std::move(handler));
    return;
  }
  bool stopped;
  {
    std::lock_guard lock(mutex_);
    stopped = stopped_;
  }
  if (stopped) {
    platform::dispatch::Queue::global().async([handler = std::move(handler)] {
      handler(std::nullopt, nullptr, fd::Error(std::string(fd::url_error::domain), fd::url_error::cancelled));
    });
    return;
  }
  session_->data_task(std::move(request), std::move(handler))->resume();
}

fd::Expected<FIRInstanceIDCheckinPreferencesRef> FIRInstanceIDCheckinService::checkinPreferencesFromReply(
    const std::optional<fd::Bytes>& data, const std::optional<fd::Error>& error) {
  if (error) {
    IID_LOG_DEBUG(7000, "Device checkin HTTP fetch error. Error Code: %lld", static_cast<long long>(error->code));
    return *error;
  }
  auto parsed = fd::json::parse(data ? std::span<const std::uint8_t>(*data) : std::span<const std::uint8_t>());
  if (!parsed) {
    IID_LOG_DEBUG(7001, "Error serializing json object. Error Code: %lld", static_cast<long long>(parsed.error().code));
    return parsed.error();
  }
  const fd::Value& reply = *parsed;
  const auto deviceID = idText(reply["android_id"]);
  const auto secret = idText(reply["security_token"]);
  if (!deviceID || !secret) return errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeInvalidRequest);

  std::int64_t timestamp = reply["time_msec"].is_number() ? reply["time_msec"].as_int().value_or(0) : 0;
  const std::int64_t now = FIRInstanceIDNowMillis();
  if (now < timestamp) {
    IID_LOG_DEBUG(7002, "Invalid last checkin timestamp in future.");
    timestamp = now;
  }
  const std::string deviceDataVersion = stringOrEmpty(reply["device_data_version_info"]);
  const std::string digest = stringOrEmpty(reply["digest"]);
  const std::string versionInfo = stringOrEmpty(reply["version_info"]);
  IID_LOG_DEBUG(7003, "Checkin successful with authId: %s, digest: %s, lastCheckinTimestamp: %lld", deviceID->c_str(),
                digest.c_str(), static_cast<long long>(timestamp));

  fd::Dict settings;
  if (const fd::Array* entries = reply["setting"].array()) {
    for (const fd::Value& entry : *entries) {
      const std::string* name = entry["name"].string();
      const fd::Value& value = entry["value"];
      if (!name || !(value.is_string() || value.is_number())) continue;
      settings.set(*name, value);
    }
  }

  auto record = FIRInstanceIDCheckinPreferences::initWithDeviceID(*deviceID, *secret);
  fd::Dict contents;
  contents.set(std::string(kFIRInstanceIDDigestStringKey), fd::Value(digest));
  contents.set(std::string(kFIRInstanceIDVersionInfoStringKey), fd::Value(versionInfo));
  contents.set(std::string(kFIRInstanceIDDeviceDataVersionKey), fd::Value(deviceDataVersion));
  contents.set(std::string(kFIRInstanceIDLastCheckinTimeKey), fd::Value(static_cast<long long>(timestamp)));
  contents.set(std::string(kFIRInstanceIDGServicesDictionaryKey), fd::Value(std::move(settings)));
  record->updateWithCheckinPlistContents(contents);
  return record;
}

}  // namespace identity
