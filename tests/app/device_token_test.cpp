// The device-token form post and the reachability test.
#include <gtest/gtest.h>

#include "app/helper.h"
#include "app/push_notifications_service.h"
#include "platform/os/system.h"
#include "tests/app/app_fixture.h"

namespace app::test {
namespace {

namespace foundation = platform::foundation;
using testing::fakes::FakeService;

const std::string kPrefix = "registerPushNotificationWithDeviceToken result: ";

class DeviceToken : public ::testing::Test {
 protected:
  void SetUp() override {
    write_config(h, kConfig);
    record_push_calls();
    h.boot_app(app::image());
    ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/") == 1; }));
    h.capture().clear();
  }
  testing::Harness h{{.fakes = {::testing::Fake::intranet}}};
};

TEST_F(DeviceToken, FormPostWithTheJsonContentTypeKeptAndItsResultLine) {
  ASPushNotificationsService::registerPushNotificationWithDeviceToken("ab12 cd&34");
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("POST", "/intranet/rest/device/") == 1; }));
  const auto post = h.intranet().requests("POST", "/intranet/rest/device/").front();
  EXPECT_EQ(post.body, "device_token=ab12%20cd%2634&device_type=ios");
  EXPECT_EQ(post.header("Content-Type"), "application/json");
  EXPECT_EQ(post.header_values("Content-Type").size(), 1u);
  ASSERT_TRUE(h.run_until([&] { return !h.capture().out().empty(); }));
  EXPECT_EQ(h.capture().out().rfind(kPrefix, 0), 0u) << h.capture().out();
  EXPECT_NE(h.capture().out().find("ok"), std::string::npos) << h.capture().out();
}

TEST_F(DeviceToken, AddressIsTheBaseTextPlusThePathAndAFailureLeavesTheLineEmpty) {
  h.intranet().on("POST", "//intranet/rest/device/", FakeService::drop_connection());
  ASConfigService::shared().setBaseURL(foundation::Url::parse("https://intranet.example.org/"));
  ASPushNotificationsService::registerPushNotificationWithDeviceToken("t1");
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("POST", "//intranet/rest/device/") >= 1; }));
  ASSERT_TRUE(h.run_until([&] { return !h.capture().out().empty(); }));
  EXPECT_EQ(h.capture().out(), kPrefix + "\n");

  // Without a base address nothing is sent.
  ASConfigService::shared().setBaseURL(std::nullopt);
  const auto before = h.intranet().count();
  ASPushNotificationsService::registerPushNotificationWithDeviceToken("t2");
  EXPECT_FALSE(h.run_until([&] { return h.intranet().count() > before; }, std::chrono::milliseconds(300)));
}

TEST(Reachability, ConnectedOnlyWhenReachableWithoutARequiredConnection) {
  EXPECT_FALSE(Helper::isConnectedToNetwork());  // before boot there are no flags
  testing::Harness h;
  struct Case {
    std::string name;
    platform::os::NetworkState state;
    bool connected;
  };
  const std::vector<Case> cases{
      {"reachable (2)", {.reachable = true}, true},
      {"reachable over cellular", {.reachable = true, .wwan = true}, true},
      {"connection required (6)", {.reachable = true, .connection_required = true}, false},
      {"not reachable (0)", {.reachable = false}, false},
  };
  for (const auto& c : cases) {
    platform::os::set_network_state(c.state);
    EXPECT_EQ(Helper::isConnectedToNetwork(), c.connected) << c.name;
  }
}

}  // namespace
}  // namespace app::test
