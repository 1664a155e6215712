#pragma once
// The push service's REST API on "push.example.net", under "/api/v1/".
//
// Default routes, each answering 200 with a JSON object:
//   POST /api/v1/players                      {"success":true,"id":<player_id()>}; a body with
//                                             "device_type": 11 (an e-mail player) gets a fresh id
//   PUT  /api/v1/players/<id>                 {"success":true}
//   GET  /api/v1/players/<id>                 {"tags":{}}
//   POST /api/v1/players/<id>/on_session      {"success":true,"id":<id>}
//   POST /api/v1/players/<id>/on_focus, on_purchase, email_logout   {"success":true}
//   POST /api/v1/notifications                {"id":<uuid>,"recipients":1}
//   PUT  /api/v1/notifications/<id>           {"success":true}
//   GET  /api/v1/apps/<id>/ios_params.js      ios_params()
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class PushService : public FakeService {
 public:
  static constexpr const char* kHost = "push.example.net";
  static constexpr const char* kApiRoot = "/api/v1/";

  explicit PushService(ServiceOptions options = {});
  ~PushService() override;

  // The player id answered to device registrations; fixed per service.
  const std::string& player_id() const { return player_id_; }
  static nlohmann::json ios_params();

  // Holds answers until release_held() is next called or stop(), then
  // answers with `then` (an empty 200 when null); once released, later
  // requests to the handler go at once. Requests are recorded on arrival.
  Handler held_until_released(Handler then = nullptr);
  // Releases every handler made before this call.
  void release_held();

 private:
  const std::string player_id_;
  std::mutex release_mutex_;
  std::condition_variable release_cv_;
  std::uint64_t release_generation_ = 0;
};

}  // namespace testing::fakes
