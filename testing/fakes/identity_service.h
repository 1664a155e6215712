#pragma once
// The instance identity hosts: device checkin on "checkin.example.net" and
// token registration on "iid.example.net".
//
// Default route:
//   POST /iid/register   the form body is parsed whatever the Content-Type:
//                        a fetch answers "token=<tok-<sender>, '=' removed>",
//                        a delete ("delete=true") answers "deleted=<device>".
// Other requests get 404.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class IdentityService : public FakeService {
 public:
  static constexpr const char* kCheckinHost = "checkin.example.net";
  static constexpr const char* kTokenHost = "iid.example.net";
  static constexpr const char* kRegisterPath = "/iid/register";
  explicit IdentityService(ServiceOptions options = {})
      : FakeService("identity", {kCheckinHost, kTokenHost}, options) {
    add_register_route();
  }
  ~IdentityService() override { stop(); }

  // A form body ("a=1&b=%26") as its fields, percent-decoded, in order.
  static std::vector<std::pair<std::string, std::string>> form_fields(std::string_view body);
  // The first value of `name` in a form body; "" when absent.
  static std::string form_field(std::string_view body, std::string_view name);
  // The token the register route answers for a sender.
  static std::string token_for(std::string_view sender);

 private:
  void add_register_route();
};

}  // namespace testing::fakes
