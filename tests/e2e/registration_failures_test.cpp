// The registration post's failure handling and its cookies, played by appsim
// scenarios that script the answers of appsim's own loopback services: what
// the app prints for each answer, and a foreign site's cookie that stays
// off the post while the session cookie goes along.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "testing/harness/appsim_process.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;
using Result = AppSimProcess::Result;
using namespace std::chrono_literals;

class RegistrationScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "registration-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // appsim run --fakes (plus `extra` options) on a fresh temporary device.
  Result run(const std::string& text, std::vector<std::string> extra = {},
             std::chrono::milliseconds deadline = 60s) {
    const fs::path script = root_ / "script.txt";
    {
      std::ofstream out(script, std::ios::binary | std::ios::trunc);
      out << text;
    }
    std::vector<std::string> args{"run", "--fakes", "--bundle", AppSimProcess::built_bundle().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(script.string());
    AppSimOptions options;
    options.deadline = deadline;
    return AppSimProcess::run(args, options);
  }

  // --device options for a new device of the default profile whose request
  // timeouts end after `limit_s` at the latest.
  std::vector<std::string> limited_device(double limit_s) {
    const fs::path device = root_ / "device";
    fs::create_directories(device);
    std::ifstream in(AppSimProcess::built_executable().parent_path() / "devices" / "default.json", std::ios::binary);
    std::string profile((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto open = profile.find('{');
    EXPECT_NE(open, std::string::npos) << "no default profile next to appsim";
    if (open != std::string::npos)
      profile.insert(open + 1, " \"request_timeout_limit_s\": " + std::to_string(limit_s) + ",");
    std::ofstream(device / "device.json", std::ios::binary | std::ios::trunc) << profile;
    return {"--device", device.string()};
  }

  fs::path root_;
};

// Launch, let the push registration give the player id, log in (the login's
// redirect decision posts with the new session cookie), then mark: the
// cases' checks look at what follows the next page's decision.
const std::string kLoggedIn =
    "launch\n"
    "wait page-finished 30s\n"
    "wait request push POST /api/v1/players 30s\n"
    "wait idle 30s\n"  // the answer gives the player id
    "tap-link /login?user=demo\n"
    "wait request intranet POST /api/reraviror/register 30s\n"
    "wait page-finished 30s\n"
    "wait idle 30s\n";

// The app's plain lines: its debug lines are quoted, and the push prompt's
// answer is the one plain line of every launch.
std::vector<std::string> plain_app_lines(const Result& r) {
  std::vector<std::string> out;
  for (const auto& text : r.texts("app"))
    if (!text.starts_with("\"") && !text.starts_with("User accepted notifications:")) out.push_back(text);
  return out;
}

struct FailureCase {
  const char* name;
  const char* route;          // what follows "route intranet POST /api/reraviror/register "
  const char* line;           // the start of every plain line printed; "" for none at all
  const char* wait;           // the scenario lines that wait for the post and its outcome
  // The device's limit on request timeouts (seconds, 0: none), so a timeout
  // is played without waiting out the app's own 60 s.
  double timeout_limit_s = 0;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

#define POSTED "wait request intranet POST /api/reraviror/register 30s\n"

class RegistrationAnswers : public RegistrationScenario, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RegistrationAnswers, EachPostPrintsOnlyItsFailureOnOneLine) {
  const FailureCase& c = GetParam();
  const std::string register_route = std::string("route intranet POST /api/reraviror/register ") + c.route + "\n";
  const Result r = run(kLoggedIn + "mark\n" + register_route +
                           "tap-link /news\n" +
                           c.wait +
                           "wait idle 30s\n"
                           "expect request intranet POST /api/reraviror/register header Cookie PHPSESSID=* "
                           "header Content-Type application/json json {\"player-id\":\"*\"}\n"
                           "terminate\n",
                       c.timeout_limit_s > 0 ? limited_device(c.timeout_limit_s) : std::vector<std::string>{});
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  const auto lines = plain_app_lines(r);
  if (std::string(c.line).empty()) {
    EXPECT_TRUE(lines.empty()) << r.transcript();
    return;
  }
  ASSERT_FALSE(lines.empty()) << r.transcript();
  for (const auto& line : lines) EXPECT_TRUE(line.starts_with(c.line)) << line << "\n" << r.transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegistrationAnswers,
    ::testing::Values(
        // Any status with a JSON body, and 204 with none, count as success.
        FailureCase{"no_content", "status 204", "", POSTED},
        FailureCase{"server_error_json", "status 500 json {\"error\":\"down\"}", "", POSTED},
        FailureCase{"json_fragment", "json \"ok\"", "", POSTED},
        // A body that is not JSON, also under an error status.
        FailureCase{"garbage", "status 200 body \"<html>oops</html>\" header Content-Type text/html",
                    "JSON could not be serialized because of error:",
                    POSTED "wait console \"JSON could not\" 30s\n"},
        FailureCase{"server_error_empty", "status 500", "Response could not be serialized",
                    POSTED "wait console \"could not be serialized\" 30s\n"},
        // Transport failures print the error's description. A request is
        // recorded once its answer is due or the app gave up on it, so the
        // delayed one when the app gave up; the delay outlasts the device's
        // limit on the timeout, which every other request of the run must stay
        // under, also on a loaded machine.
        FailureCase{"timeout", "delay 7s", "The request timed out.",
                    "wait console \"timed out\" 30s\n" POSTED, 5},
        FailureCase{"dropped", "drop", "The network connection was lost.",
                    POSTED "wait console \"connection was lost\" 30s\n"},
        FailureCase{"refused", "refuse", "The network connection was lost.",
                    POSTED "wait console \"connection was lost\" 30s\n"}),
    [](const ::testing::TestParamInfo<FailureCase>& tested) { return std::string(tested.param.name); });

// A foreign site's cookies (set while it was the main document) stay in the
// web view's store and are offered for the post, but only the intranet's
// cookies for that path travel with it: the session cookie, a persistent
// one, several set by one answer; not one of another path, and not one the
// intranet tried to set for the foreign domain.
TEST_F(RegistrationScenario, AForeignSitesCookieNeverTravelsWithThePost) {
  const Result r = run(
      "route intranet GET /login status 302 header Location / "
      "header Set-Cookie \"PHPSESSID=s-1; Path=/\" header Set-Cookie \"remember=r-1; Max-Age=86400; Path=/\" "
      "header Set-Cookie \"other=o-1; Path=/elsewhere\" header Set-Cookie \"planted=p-1; Domain=partner.example\"\n"
      "route intranet GET /partner status 302 header Location https://partner.example/visit\n"
      "route partner.example GET /visit status 302 header Set-Cookie \"tracker=t-1; Path=/\" "
      "header Location https://intranet.example.org/news\n"
      "launch\n"
      "wait page-finished 30s\n"
      "wait request push POST /api/v1/players 30s\n"
      "wait idle 30s\n"
      "tap-link /login\n"
      "wait request intranet POST /api/reraviror/register 30s\n"
      "tap-link /partner\n"
      "wait request partner.example GET /visit 30s\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"
      "cookies\n"
      "mark\n"
      "tap-link /about\n"
      "wait page-finished 30s\n"
      "wait request intranet POST /api/reraviror/register 30s\n"
      "expect request intranet POST /api/reraviror/register header Cookie PHPSESSID=s-1 header Cookie remember=r-1 "
      "header Cookie not tracker header Cookie not other= header Cookie not planted\n"
      "expect no-request partner.example /visit\n"
      "expect requests intranet GET /about 1 header Cookie not tracker\n"
      "terminate\n",
      {"--host", "partner.example", "--verbose"});
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  // The foreign cookie did reach the web view's store, so the post had it on offer.
  EXPECT_TRUE(r.has("os", "web partner.example/ tracker=t-1")) << r.transcript();
  EXPECT_FALSE(r.has("os", "planted=p-1")) << r.transcript();
  // --verbose shows the post's headers under its svc line.
  EXPECT_TRUE(r.has("svc", "  Cookie: PHPSESSID=s-1")) << r.transcript();
  EXPECT_TRUE(plain_app_lines(r).empty()) << r.transcript();
}

#undef POSTED

}  // namespace
}  // namespace testing::e2e
