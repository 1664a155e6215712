#include "platform/dispatch/run_loop.h"
#include "platform/location/manager.h"
#include "../notify/fixture.h"

namespace platform::location::test {
namespace {

using platform::notify::test::DeviceTest;

class Recorder : public ManagerDelegate {
 public:
  void did_update(Manager&, std::vector<Location> locations) override {
    for (const auto& l : locations) fixes.push_back({l.latitude, l.longitude});
    on_main = dispatch::is_main_thread();
  }
  std::vector<std::pair<double, double>> fixes;
  bool on_main = false;
};

class LocationTest : public DeviceTest {};

TEST_F(LocationTest, AbsentByDefault) {
  boot_with(os::DeviceProfile{});
  register_runtime_classes();
  EXPECT_EQ(rt::Runtime::shared().find(kManagerClass), nullptr);
  EXPECT_FALSE(Manager::services_enabled());
  EXPECT_EQ(Manager::make(), nullptr);
}

TEST_F(LocationTest, FixReachesTheDelegateOfAnUpdatingManager) {
  boot_with_file(R"({"frameworks": ["UserNotifications", "CoreLocation"]})");
  register_runtime_classes();
  ASSERT_TRUE(Manager::services_enabled());
  auto manager = Manager::make();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->isa().name(), kManagerClass);
  EXPECT_EQ(Manager::authorization_status(), AuthorizationStatus::not_determined);
  manager->request_when_in_use_authorization();
  EXPECT_EQ(Manager::authorization_status(), AuthorizationStatus::authorized_when_in_use);
  manager->request_always_authorization();
  EXPECT_EQ(Manager::authorization_status(), AuthorizationStatus::authorized_always);

  auto delegate = std::make_shared<Recorder>();
  manager->set_delegate(delegate);
  system::set_location(1, 2);  // not updating yet
  manager->start_updating();
  system::set_location(52.52, 13.40);
  EXPECT_TRUE(delegate->fixes.empty());  // on the main thread's next turn
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(delegate->fixes, (std::vector<std::pair<double, double>>{{52.52, 13.40}}));
  EXPECT_TRUE(delegate->on_main);

  manager->stop_updating();
  system::set_location(3, 4);
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(delegate->fixes.size(), 1u);

  manager->start_updating();
  delegate.reset();  // weak: nothing to call
  system::set_location(5, 6);
  EXPECT_NO_THROW(dispatch::RunLoop::main().run_pending());
}

}  // namespace
}  // namespace platform::location::test
