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

 private:
  const std::string player_id_;
};

}  // namespace testing::fakes
