#include "testing/fakes/push_service.h"

#include "testing/fakes/random.h"

namespace testing::fakes {

nlohmann::json PushService::ios_params() {
  return {{"fba", true}, {"require_email_auth", false}, {"uses_provisional_auth", false}};
}

PushService::PushService(ServiceOptions options)
    : FakeService("push", {kHost}, options), player_id_(random_uuid()) {
  const std::string api = kApiRoot;
  const nlohmann::json success = {{"success", true}};
  route("POST", api + "players", [this](const HttpRequest& req, HttpResponse& res) {
    const auto body = nlohmann::json::parse(req.body, nullptr, false);
    const bool email = body.is_object() && body.value("device_type", nlohmann::json()) == 11;
    reply_json(res, {{"success", true}, {"id", email ? random_uuid() : player_id_}});
  });
  route("PUT", api + "players/([^/]+)", json(200, success));
  route("GET", api + "players/([^/]+)", json(200, {{"tags", nlohmann::json::object()}}));
  route("POST", api + "players/([^/]+)/on_session", [](const HttpRequest& req, HttpResponse& res) {
    reply_json(res, {{"success", true}, {"id", req.matches[1]}});
  });
  route("POST", api + "players/([^/]+)/(on_focus|on_purchase|email_logout)", json(200, success));
  route("POST", api + "notifications", [](const HttpRequest&, HttpResponse& res) {
    reply_json(res, {{"id", random_uuid()}, {"recipients", 1}});
  });
  route("PUT", api + "notifications/([^/]+)", json(200, success));
  route("GET", api + "apps/([^/]+)/ios_params\\.js", json(200, ios_params()));
}

PushService::~PushService() {
  release_held();
  stop();
}

Handler PushService::held_until_released(Handler then) {
  std::uint64_t generation;
  {
    std::lock_guard lock(release_mutex_);
    generation = release_generation_;
  }
  return [this, then, generation](const HttpRequest& req, HttpResponse& res) {
    {
      std::unique_lock lock(release_mutex_);
      while (release_generation_ == generation && !stopped())
        release_cv_.wait_for(lock, std::chrono::milliseconds(20));
    }
    if (then) {
      then(req, res);
    } else {
      res.status = 200;
    }
  };
}

void PushService::release_held() {
  {
    std::lock_guard lock(release_mutex_);
    ++release_generation_;
  }
  release_cv_.notify_all();
}

}  // namespace testing::fakes
