#include "platform/ui/view.h"

#include <algorithm>

#include "platform/os/profile.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "platform/ui/main_thread.h"
#include "platform/ui/view_controller.h"

namespace platform::ui {

rt::Class& runtime_class(std::string_view name) {
  auto& runtime = rt::Runtime::shared();
  if (rt::Class* cls = runtime.find(name)) return *cls;
  if (rt::Class* cls = runtime.find("UIResponder")) return *cls;
  return *runtime.find("NSObject");
}

View::View() : View(runtime_class("UIResponder"), {}) {}
View::View(Rect r) : View(runtime_class("UIResponder"), r) {}
View::View(rt::Class& cls, Rect r) : Responder(cls), frame(r) {}

void View::add_subview(std::shared_ptr<View> view) {
  check_main_thread("-[UIView addSubview:]");
  // A view cannot hold itself or one of its ancestors: the tree would become a cycle.
  if (!view || is_descendant_of(*view)) return;
  view->detach_from_superview();
  view->superview_ = this;
  subviews_.push_back(std::move(view));
}

void View::remove_from_superview() {
  check_main_thread("-[UIView removeFromSuperview]");
  detach_from_superview();
}

void View::detach_from_superview() {
  View* parent = std::exchange(superview_, nullptr);
  if (!parent) return;
  // Keep this view alive while it leaves its parent's list.
  auto self = std::static_pointer_cast<View>(shared_from_this());
  std::erase_if(parent->subviews_, [this](const std::shared_ptr<View>& v) { return v.get() == this; });
}

Window* View::window() const {
  const View* v = this;
  while (v->superview_) v = v->superview_;
  return const_cast<Window*>(dynamic_cast<const Window*>(v));
}

bool View::is_descendant_of(const View& other) const {
  for (const View* v = this; v; v = v->superview_) {
    if (v == &other) return true;
  }
  return false;
}

void Control::add_target(const void* owner, ControlEvent event, std::function<void()> action) {
  targets_.push_back({owner, event, std::move(action)});
}

void Control::send_actions(ControlEvent event) {
  if (!enabled) return;
  auto targets = targets_;
  for (auto& t : targets) {
    if (t.event == event && t.action) t.action();
  }
}

void ActivityIndicatorView::start_animating() {
  animating_ = true;
  hidden = false;
}

void ActivityIndicatorView::stop_animating() {
  animating_ = false;
  if (hides_when_stopped) hidden = true;
}

std::shared_ptr<BarButtonItem> BarButtonItem::system(int item, const void* owner, std::function<void()> action) {
  auto b = std::make_shared<BarButtonItem>();
  b->system_item = item;
  b->owner = owner;
  b->action = std::move(action);
  return b;
}

std::shared_ptr<BarButtonItem> BarButtonItem::custom(std::shared_ptr<View> view) {
  auto b = std::make_shared<BarButtonItem>();
  b->custom_view = std::move(view);
  return b;
}

// ---- Window ----

Window::Window() : Window(Rect{0, 0, os::profile().screen_width, os::profile().screen_height}) {}
Window::Window(Rect r) : View(runtime_class("UIWindow"), r) {}
Window::Window(rt::Class& cls) : View(cls, Rect{0, 0, os::profile().screen_width, os::profile().screen_height}) {}

void Window::set_root_view_controller(std::shared_ptr<ViewController> root) {
  check_main_thread("-[UIWindow setRootViewController:]");
  if (root == root_) return;
  std::shared_ptr<ViewController> old = std::exchange(root_, std::move(root));
  if (!visible_) return;
  if (root_) root_->view();
  bool old_on_screen = old && old->is_appeared();
  if (old_on_screen) old->begin_appearance(false, false);
  if (root_) root_->begin_appearance(true, false);
  if (old_on_screen) old->end_appearance(false, false);
  if (root_) root_->end_appearance(true, false);
}

void Window::make_key_and_visible() {
  check_main_thread("-[UIWindow makeKeyAndVisible]");
  Application* app = Application::shared();
  if (app) {
    app->add_window(std::static_pointer_cast<Window>(shared_from_this()));
    app->set_key_window(this);
  }
  hidden = false;
  if (visible_) return;
  visible_ = true;
  if (root_) {
    root_->view();
    root_->begin_appearance(true, false);
    root_->end_appearance(true, false);
  }
}

bool Window::is_key_window() const {
  Application* app = Application::shared();
  return app && app->key_window() == this;
}

}  // namespace platform::ui
