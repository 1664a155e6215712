// The view tree, controls, containers, code-defined storyboards and the device.
#include <gtest/gtest.h>

#include "fixture.h"
#include "platform/foundation/notification.h"
#include "platform/foundation/uuid.h"
#include "platform/os/profile.h"

namespace platform::ui::test {
namespace {

class ViewsTest : public UiTest {};

// The first view of the tree with that accessibility identifier (what the
// simulator uses to find a control).
View* find(View& root, std::string_view id) {
  if (root.accessibility_identifier == id) return &root;
  for (const auto& child : root.subviews()) {
    if (View* found = find(*child, id)) return found;
  }
  return nullptr;
}

TEST_F(ViewsTest, SubviewsMoveBetweenParentsAndKnowTheirWindow) {
  auto window = std::make_shared<Window>();
  EXPECT_EQ(window->frame, (Rect{0, 0, os::profile().screen_width, os::profile().screen_height}));
  auto a = std::make_shared<View>();
  auto b = std::make_shared<View>();
  auto leaf = std::make_shared<Button>();
  leaf->accessibility_identifier = "reload";
  window->add_subview(a);
  a->add_subview(leaf);
  EXPECT_EQ(leaf->window(), window.get());
  EXPECT_TRUE(leaf->is_descendant_of(*window));
  EXPECT_EQ(find(*window, "reload"), leaf.get());

  b->add_subview(leaf);  // moves: one parent at a time
  EXPECT_TRUE(a->subviews().empty());
  EXPECT_EQ(leaf->superview(), b.get());
  EXPECT_EQ(leaf->window(), nullptr);
  EXPECT_EQ(find(*window, "reload"), nullptr);

  leaf->remove_from_superview();
  EXPECT_TRUE(b->subviews().empty());
  EXPECT_EQ(leaf->superview(), nullptr);
  a->add_subview(a);  // not its own child, nor its ancestor's parent
  a->add_subview(window);
  EXPECT_TRUE(a->subviews().empty());
  EXPECT_EQ(window->superview(), nullptr);
  EXPECT_EQ(a->window(), window.get());
}

TEST_F(ViewsTest, ControlsRunTheirTargetsPerEvent) {
  std::vector<std::string> ran;
  auto button = std::make_shared<Button>();
  button->add_target(this, ControlEvent::touch_up_inside, [&] { ran.push_back("first"); });
  button->add_target(this, ControlEvent::value_changed, [&] { ran.push_back("changed"); });
  button->add_target(nullptr, ControlEvent::touch_up_inside, [&] { ran.push_back("second"); });
  button->send_actions(ControlEvent::touch_up_inside);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second"}));
  button->enabled = false;
  button->send_actions(ControlEvent::touch_up_inside);
  EXPECT_EQ(ran.size(), 2u);

  // Pull to refresh: the OS side begins refreshing and sends value-changed; the app ends it.
  auto refresh = std::make_shared<RefreshControl>();
  refresh->add_target(this, ControlEvent::value_changed, [&] {
    ran.push_back(refresh->is_refreshing() ? "refresh while refreshing" : "refresh");
    refresh->end_refreshing();
  });
  refresh->begin_refreshing();
  refresh->send_actions(ControlEvent::value_changed);
  EXPECT_EQ(ran.back(), "refresh while refreshing");
  EXPECT_FALSE(refresh->is_refreshing());

  ActivityIndicatorView spinner;
  spinner.hidden = true;
  spinner.start_animating();
  EXPECT_TRUE(spinner.is_animating());
  EXPECT_FALSE(spinner.hidden);
  spinner.stop_animating();
  EXPECT_TRUE(spinner.hidden);
  spinner.hides_when_stopped = false;
  spinner.start_animating();
  spinner.stop_animating();
  EXPECT_FALSE(spinner.hidden);

  auto item = BarButtonItem::system(13, this, [&] { ran.push_back("bar"); });
  item->tap();
  EXPECT_EQ(ran.back(), "bar");
  BarButtonItem::custom(std::make_shared<View>())->tap();  // no action: nothing
}

TEST_F(ViewsTest, ContainersShowTheirVisibleChildren) {
  auto tabs = std::make_shared<TabBarController>();
  auto first = std::make_shared<RecordingController>("first");
  auto second = std::make_shared<RecordingController>("second");
  auto inner = std::make_shared<RecordingController>("inner");
  auto nav = std::make_shared<NavigationController>(inner);
  tabs->set_view_controllers({first, nav});
  tabs->set_selected_index(1);
  EXPECT_EQ(tabs->selected(), nav.get());
  EXPECT_EQ(inner->navigation_controller(), nav.get());
  EXPECT_EQ(nav->parent(), tabs.get());
  EXPECT_EQ(first->navigation_controller(), nullptr);

  auto window = std::make_shared<Window>();
  window->set_root_view_controller(tabs);
  window->make_key_and_visible();
  // Only the selected tab (and its top) appear.
  EXPECT_EQ(events(), (std::vector<std::string>{"inner.didLoad", "inner.willAppear", "inner.didAppear"}));
  EXPECT_FALSE(first->is_view_loaded());

  events().clear();
  auto pages = std::make_shared<PageViewController>();
  pages->set_view_controllers({second});
  EXPECT_EQ(pages->view_controllers().size(), 1u);
  EXPECT_EQ(second->parent(), pages.get());
  window->set_root_view_controller(pages);
  // A child's view loads as its container appears.
  EXPECT_EQ(events(), (std::vector<std::string>{"inner.willDisappear", "second.didLoad", "second.willAppear",
                                                "inner.didDisappear", "second.didAppear"}));
  EXPECT_FALSE(inner->is_appeared());
  EXPECT_TRUE(second->is_appeared());
}

template <class T>
std::shared_ptr<T> create(std::string_view name) {
  rt::Class* cls = rt::Runtime::shared().find(name);
  return cls ? std::dynamic_pointer_cast<T>(cls->create()) : nullptr;
}

TEST_F(ViewsTest, ClassesCreatedByNameAreTheirTypes) {
  EXPECT_NE(create<ViewController>("UIViewController"), nullptr);
  auto nav = create<NavigationController>("UINavigationController");
  ASSERT_NE(nav, nullptr);
  EXPECT_TRUE(nav->view_controllers().empty());
  EXPECT_NE(create<TabBarController>("UITabBarController"), nullptr);
  EXPECT_NE(create<PageViewController>("UIPageViewController"), nullptr);
  EXPECT_NE(create<AlertController>("UIAlertController"), nullptr);
  EXPECT_NE(create<UserActivity>("NSUserActivity"), nullptr);
  auto window = create<Window>("UIWindow");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->frame.width, os::profile().screen_width);

  auto alert = create<AlertView>("UIAlertView");
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->number_of_buttons(), 0);
  alert->init("Crash", "Send a report?", {}, "Don't send", {"Send"});
  EXPECT_EQ(alert->title, "Crash");
  EXPECT_EQ(alert->cancel_button_index(), 0);
  EXPECT_EQ(alert->button_title(1), "Send");
  EXPECT_EQ(alert->button_title(2), "");
}

TEST_F(ViewsTest, StoryboardsInstantiateTheirScenes) {
  EXPECT_EQ(Storyboard::named("Main"), nullptr);
  Storyboard::define("Main", {.initial = [](Storyboard& board) {
                                auto nav = std::make_shared<NavigationController>(board.instantiate("Web"));
                                nav->title = "initial";
                                return nav;
                              },
                              .scenes = {{"Web", [](Storyboard&) {
                                            auto vc = std::make_shared<RecordingController>("web");
                                            vc->title = "web";
                                            return vc;
                                          }}}});
  auto board = Storyboard::named("Main");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(board->name(), "Main");

  auto initial = std::dynamic_pointer_cast<NavigationController>(board->instantiate_initial());
  ASSERT_NE(initial, nullptr);
  EXPECT_EQ(initial->title, "initial");
  EXPECT_EQ(initial->storyboard(), board.get());
  ASSERT_NE(initial->top(), nullptr);
  EXPECT_EQ(initial->top()->title, "web");
  EXPECT_EQ(initial->top()->storyboard(), board.get());

  // Each instantiation is a fresh controller.
  auto a = board->instantiate("Web");
  auto b = board->instantiate("Web");
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_NE(dynamic_cast<RecordingController*>(a.get()), nullptr);
  EXPECT_EQ(board->instantiate("Missing"), nullptr);

  Storyboard::define("Empty", {});
  EXPECT_EQ(Storyboard::named("Empty")->instantiate_initial(), nullptr);
}

TEST_F(ViewsTest, DeviceFactsComeFromTheProfileAndOrientationChangesArePosted) {
  stop();
  os::DeviceProfile profile;
  profile.system_version = "12.4";
  profile.model = "iPad";
  profile.device_name = "Test device";
  profile.multitasking = false;
  start(profile);

  Device& device = Device::current();
  EXPECT_EQ(device.system_name(), "iOS");
  EXPECT_EQ(device.system_version(), "12.4");
  EXPECT_EQ(device.model(), "iPad");
  EXPECT_EQ(device.name(), "Test device");
  EXPECT_FALSE(device.multitasking_supported());
  ASSERT_FALSE(os::profile().vendor_identifier.empty());
  EXPECT_EQ(device.identifier_for_vendor(), *foundation::Uuid::parse(os::profile().vendor_identifier));
  EXPECT_NE(device.identifier_for_vendor(), foundation::Uuid{});

  MainOptions options;
  Application& app = application_launch(0, nullptr, options);
  EXPECT_EQ(device.orientation(), 1);
  std::vector<std::string> posted;
  auto& center = foundation::NotificationCenter::default_center();
  auto t1 = center.add_observer(nullptr, std::string(notification_name::device_orientation_did_change), nullptr,
                                nullptr, [&](const foundation::Notification& n) {
                                  EXPECT_EQ(n.sender(), &device);
                                  posted.push_back("device " + std::to_string(device.orientation()));
                                });
  auto t2 = center.add_observer(nullptr, std::string(notification_name::did_change_status_bar_orientation), nullptr,
                                nullptr, [&](const foundation::Notification& n) {
                                  EXPECT_EQ(n.sender(), &app);
                                  posted.push_back("status bar " + std::to_string(app.status_bar_orientation()));
                                });
  device.set_orientation(3);
  device.set_orientation(3);  // unchanged: nothing posted
  EXPECT_EQ(posted, (std::vector<std::string>{"device 3", "status bar 3"}));
  t1.remove();
  t2.remove();
}

}  // namespace
}  // namespace platform::ui::test
