// The identity service fake's checkin route.
#include "testing/fakes/identity_service.h"

#include <chrono>

#include "testing/fakes/random.h"

namespace testing::fakes {

namespace {

// A fresh id in [2^60, 2^60 + 2^56): above 2^53, so a double would lose it.
std::int64_t fresh_id() {
  return (std::int64_t{1} << 60) + static_cast<std::int64_t>(std::stoull(random_hex(7), nullptr, 16));
}

}  // namespace

IdentityService::IdentityService(ServiceOptions options)
    : FakeService("identity", {kCheckinHost, kTokenHost}, options) {
  route("POST", "/checkin", [](const HttpRequest& req, HttpResponse& res) {
    const auto body = nlohmann::json::parse(req.body, nullptr, false);
    if (!body.is_object()) {
      reply_json(res, {{"error", "bad request"}}, 400);
      return;
    }
    const auto id = body.value("id", std::int64_t{0});
    const auto token = body.value("security_token", std::int64_t{0});
    reply_json(res, checkin_reply(id, token));
  });
  add_register_route();
}

nlohmann::json IdentityService::checkin_reply(std::int64_t id, std::int64_t security_token) {
  if (id == 0 || security_token == 0) {
    id = fresh_id();
    security_token = fresh_id();
  }
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return {{"android_id", id},
          {"security_token", security_token},
          {"time_msec", static_cast<std::int64_t>(now.count())},
          {"digest", "digest-" + random_hex(8)},
          {"version_info", "version-info-1"},
          {"device_data_version_info", "device-data-1"},
          {"setting", nlohmann::json::array({{{"name", "gcm_check_for_updates"}, {"value", "true"}},
                                             {{"name", "shuffle"}, {"value", "0"}}})}};
}

}  // namespace testing::fakes
