#pragma once
// The instance identity hosts: device checkin on "checkin.example.net" and
// token registration on "iid.example.net". POST "/checkin" answers a JSON
// checkin reply: new ids (integers above 2^53) for a first checkin, the ids
// the request carries for a repeat checkin. Every other request gets 404;
// tests script the rest with on(), held() and drop_connection().
#include <cstdint>

#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class IdentityService : public FakeService {
 public:
  static constexpr const char* kCheckinHost = "checkin.example.net";
  static constexpr const char* kTokenHost = "iid.example.net";
  explicit IdentityService(ServiceOptions options = {});
  ~IdentityService() override { stop(); }

  // The reply to a checkin request carrying these ids (0 and 0 for a first
  // checkin, which gets new ids).
  static nlohmann::json checkin_reply(std::int64_t id, std::int64_t security_token);
};

}  // namespace testing::fakes
