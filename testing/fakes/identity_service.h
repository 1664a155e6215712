#pragma once
// The instance identity hosts: device checkin on "checkin.example.net" and
// token registration on "iid.example.net". No default routes yet: every
// request gets 404.
#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class IdentityService : public FakeService {
 public:
  static constexpr const char* kCheckinHost = "checkin.example.net";
  static constexpr const char* kTokenHost = "iid.example.net";
  explicit IdentityService(ServiceOptions options = {})
      : FakeService("identity", {kCheckinHost, kTokenHost}, options) {}
  ~IdentityService() override { stop(); }
};

}  // namespace testing::fakes
