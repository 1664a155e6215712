#pragma once
// The intranet web site on "intranet.example.org".
//
// Default routes:
//   GET  /                    home page: in-site, mailto, tel, foreign, maker's-site and target="_blank" links
//   GET  /menu, /news, /news/<n>, /about   plain pages
//   GET  /frames              a page with three iframes (/frame/1 .. /frame/3)
//   GET  /frame/<n>           a frame's page
//   GET  /login?user=X        302 to "/" with "Set-Cookie: PHPSESSID=<random>; Path=/" (400 without user)
//   POST /api/reraviror/register           {"ok":true}
//   GET|POST /intranet/rest/device/...     {"ok":true}
#include <string>

#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class IntranetSite : public FakeService {
 public:
  static constexpr const char* kHost = "intranet.example.org";
  static constexpr const char* kRegisterPath = "/api/reraviror/register";
  static constexpr const char* kDevicePath = "/intranet/rest/device/";
  // The maker's public site, which the app always hands to the system.
  static constexpr const char* kMakerUrl = "https://www.example.com/";
  // Another site; it is never loaded here.
  static constexpr const char* kForeignUrl = "https://partner.example/";
  static constexpr const char* kMailto = "mailto:office@intranet.example.org";
  static constexpr const char* kTel = "tel:+4930123456";

  explicit IntranetSite(ServiceOptions options = {});
  ~IntranetSite() override;

  // The PHPSESSID of the latest login; empty before the first.
  std::string session_id() const;
  std::string user() const;  // the user of the latest login

  static std::string home_page();
  static std::string frames_page();

 private:
  mutable std::mutex session_mutex_;
  std::string session_id_, user_;
};

}  // namespace testing::fakes
