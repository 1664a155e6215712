#include <fstream>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/notify/center.h"
#include "platform/notify/system.h"
#include "fixture.h"

namespace platform::notify::test {
namespace {

// A centre delegate that records the messages and calls each completion twice.
class RecordingDelegate : public rt::Object {
 public:
  explicit RecordingDelegate(rt::Class& cls) : rt::Object(cls) {}

  void will_present(rt::Id center, Notification notification, PresentCompletion completion) {
    calls.push_back("will-present " + notification.request.identifier);
    on_main.push_back(dispatch::is_main_thread());
    centers.push_back(center);
    completion(badge | sound | alert);
    completion(0);
  }

  void did_receive(rt::Id /*center*/, rt::Id response, std::function<void()> completion) {
    auto* text = dynamic_cast<TextInputResponse*>(response.get());
    auto* plain = dynamic_cast<Response*>(response.get());
    calls.push_back("did-receive " + (plain ? plain->action_identifier : "?") + " " + (text ? text->user_text : "-"));
    on_main.push_back(dispatch::is_main_thread());
    completion();
    completion();
  }

  std::vector<std::string> calls;
  std::vector<bool> on_main;
  std::vector<rt::Id> centers;
};

class DelegateTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    boot_with(os::DeviceProfile{});
  }
};

TEST_F(DelegateTest, ExchangedSetterSeesTheDelegateAndWillPresentReachesIt) {
  rt::Runtime::Scope scope;
  register_runtime_classes();
  rt::Class* center_class = rt::Runtime::shared().find(kCenterClass);
  ASSERT_NE(center_class, nullptr);

  // An injection: its own setter, exchanged with the centre's, records and forwards.
  const rt::Sel<void(rt::Id)> injected{"test_setDelegate:"};
  std::vector<rt::Id> seen;
  ASSERT_TRUE(center_class->add_method(injected, rt::Imp::make(injected, [&](rt::Object& self, rt::Id d) {
    seen.push_back(d);
    rt::send(self, injected, d);  // now the original
  })));
  ASSERT_TRUE(rt::exchange(*center_class->resolve(sel::center_set_delegate), *center_class->resolve(injected)));

  rt::ClassBuilder<RecordingDelegate>("TestCenterDelegate", "NSObject")
      .method(sel::will_present, &RecordingDelegate::will_present)
      .method(sel::did_receive, &RecordingDelegate::did_receive)
      .define();
  auto delegate = std::dynamic_pointer_cast<RecordingDelegate>(rt::Runtime::shared().find("TestCenterDelegate")->create());
  auto center = Center::current();
  center->set_delegate(delegate);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], delegate);
  EXPECT_EQ(center->delegate(), delegate);

  std::vector<std::uint32_t> options;
  std::vector<std::string> done;
  Notification pushed{foundation::Date{1600000000}, Request{"push-1", {}, Trigger{Trigger::push, 0, false, true}}};
  ASSERT_TRUE(system::present(pushed, [&](std::uint32_t o) { options.push_back(o); }));
  ASSERT_TRUE(system::deliver_response(
      TextInputResponse::make(pushed, "answer", "on my way"), [&] { done.push_back("text"); }));
  ASSERT_TRUE(system::deliver_response(Response::make(pushed, std::string(dismiss_action)),
                                       [&] { done.push_back("dismiss"); }));
  EXPECT_TRUE(delegate->calls.empty());  // delivered on the main thread's next turn, not inline
  dispatch::RunLoop::main().run_pending();

  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"will-present push-1", "did-receive answer on my way",
                                                       "did-receive com.apple.UNNotificationDismissActionIdentifier -"}));
  EXPECT_EQ(delegate->on_main, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(delegate->centers.at(0), center);
  // Only the first completion call acts; each later one leaves a line in the system log.
  EXPECT_EQ(options, (std::vector<std::uint32_t>{badge | sound | alert}));
  EXPECT_EQ(done, (std::vector<std::string>{"text", "dismiss"}));
  std::ifstream log(os::system_log_file());
  int ignored = 0;
  for (std::string line; std::getline(log, line);) ignored += line.find("called more than once") != std::string::npos;
  EXPECT_EQ(ignored, 3);

  // The delegate is weak.
  seen.clear();
  delegate.reset();
  EXPECT_EQ(center->delegate(), nullptr);
}

TEST_F(DelegateTest, DelegateWithoutTheSelectorsGetsNothing) {
  register_runtime_classes();
  auto center = Center::current();
  ASSERT_NE(center, nullptr);
  auto plain = rt::Runtime::shared().find("NSObject")->create();
  ASSERT_NE(plain, nullptr);
  center->set_delegate(plain);
  bool answered = false;
  EXPECT_TRUE(system::present(Notification{}, [&](std::uint32_t) { answered = true; }));
  EXPECT_TRUE(system::deliver_response(Response::make({}, std::string(default_action)), [&] { answered = true; }));
  EXPECT_NO_THROW(dispatch::RunLoop::main().run_pending());
  EXPECT_FALSE(answered);
}

}  // namespace
}  // namespace platform::notify::test
