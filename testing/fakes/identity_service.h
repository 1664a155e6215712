#pragma once
// The instance identity hosts: device checkin on "checkin.example.net" and
// token registration on "iid.example.net".
//
// Default routes:
//   POST /checkin        a JSON checkin reply: new ids (integers above 2^53)
//                        for a first checkin, the ids the request carries for
//                        a repeat checkin.
//   POST /iid/register   the form body is parsed whatever the Content-Type:
//                        a fetch answers "token=<tok-<sender>, '=' removed>",
//                        a delete ("delete=true") answers "deleted=<device>".
// Every other request gets 404; tests script the rest with on(), answer(),
// held() and drop_connection().
#include <cstdint>
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
  explicit IdentityService(ServiceOptions options = {});
  ~IdentityService() override { stop(); }

  // The reply to a checkin request carrying these ids (0 and 0 for a first
  // checkin, which gets new ids).
  static nlohmann::json checkin_reply(std::int64_t id, std::int64_t security_token);

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
