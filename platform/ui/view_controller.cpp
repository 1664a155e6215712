#include "platform/ui/view_controller.h"

#include <algorithm>

#include "platform/foundation/console.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "platform/ui/internal.h"
#include "platform/ui/main_thread.h"

namespace platform::ui {

// ---- ViewController ----

ViewController::ViewController() : ViewController(runtime_class("UIViewController")) {}
ViewController::ViewController(rt::Class& cls) : Responder(cls) {}

void ViewController::load_view() { view_ = std::make_shared<View>(); }

View& ViewController::view() {
  check_main_thread("-[UIViewController view]");
  if (!view_) {
    load_view();
    if (!view_) view_ = std::make_shared<View>();
    rt::send(*this, sel::view_did_load);
    view_did_layout_subviews();
  }
  return *view_;
}

NavigationController* ViewController::navigation_controller() const {
  for (ViewController* p = parent_; p; p = p->parent_) {
    if (auto* nav = dynamic_cast<NavigationController*>(p)) return nav;
  }
  return nullptr;
}

void ViewController::begin_appearance(bool appearing, bool animated) {
  if (appearing) {
    view();
    rt::send(*this, sel::view_will_appear, animated);
  } else {
    rt::send(*this, sel::view_will_disappear, animated);
    appeared_ = false;
  }
  for (ViewController* child : visible_children()) child->begin_appearance(appearing, animated);
}

void ViewController::end_appearance(bool appearing, bool animated) {
  if (appearing) {
    appeared_ = true;
    rt::send(*this, sel::view_did_appear, animated);
    view_did_layout_subviews();
  } else {
    rt::send(*this, sel::view_did_disappear, animated);
    view_did_layout_subviews();
  }
  for (ViewController* child : visible_children()) child->end_appearance(appearing, animated);
}

void ViewController::present(std::shared_ptr<ViewController> controller, bool animated,
                             std::function<void()> completion) {
  check_main_thread("-[UIViewController presentViewController:animated:completion:]");
  if (!controller) return;
  if (presented_) {
    // Already presenting: refused with a log line; the completion never runs.
    foundation::console::log_line("[platform] present refused: " + std::string(isa().name()) +
                                  " is already presenting " + std::string(presented_->isa().name()));
    return;
  }
  if (controller->presenting_ || controller.get() == this) {
    foundation::console::log_line("[platform] present refused: " + std::string(controller->isa().name()) +
                                  " is already presented");
    return;
  }
  presented_ = controller;
  controller->presenting_ = this;
  controller->being_presented_ = true;
  bool on_screen = appeared_;
  if (on_screen) {
    controller->begin_appearance(true, animated);
    begin_appearance(false, animated);
    end_appearance(false, animated);
    controller->end_appearance(true, animated);
  }
  detail::next_turn([controller, completion = std::move(completion)] {
    controller->being_presented_ = false;
    if (completion) completion();
  });
}

void ViewController::dismiss(bool animated, std::function<void()> completion) {
  check_main_thread("-[UIViewController dismissViewControllerAnimated:completion:]");
  ViewController* presenter = presented_ ? this : presenting_;
  if (!presenter || !presenter->presented_) {
    detail::next_turn(std::move(completion));
    return;
  }
  // Whatever the dismissed controller presents in turn goes with it; the top
  // of that chain is the one on screen.
  std::vector<std::shared_ptr<ViewController>> chain{std::move(presenter->presented_)};
  while (chain.back()->presented_) chain.push_back(chain.back()->presented_);
  ViewController& top = *chain.back();
  if (top.appeared_) {
    top.begin_appearance(false, animated);
    presenter->begin_appearance(true, animated);
    top.end_appearance(false, animated);
    presenter->end_appearance(true, animated);
  }
  for (auto& c : chain) {
    c->presented_.reset();
    c->presenting_ = nullptr;
    c->being_presented_ = false;
  }
  detail::next_turn([chain = std::move(chain), completion = std::move(completion)] {
    if (completion) completion();
  });
}

// ---- NavigationController ----

NavigationController::NavigationController(std::shared_ptr<ViewController> root)
    : NavigationController(runtime_class("UINavigationController"), std::move(root)) {}

NavigationController::NavigationController(rt::Class& cls, std::shared_ptr<ViewController> root)
    : ViewController(cls) {
  if (root) {
    adopt(*root);
    stack_.push_back(std::move(root));
  }
}

std::vector<ViewController*> NavigationController::visible_children() const {
  if (ViewController* t = top()) return {t};
  return {};
}

ViewController* NavigationController::visible() const {
  ViewController* t = top();
  if (t && t->presented()) return t->presented();
  return t;
}

void NavigationController::replace_stack(std::vector<std::shared_ptr<ViewController>> stack, bool animated) {
  std::shared_ptr<ViewController> old_top = stack_.empty() ? nullptr : stack_.back();
  std::shared_ptr<ViewController> new_top = stack.empty() ? nullptr : stack.back();
  for (auto& c : stack_) {
    if (std::find(stack.begin(), stack.end(), c) == stack.end()) release(*c);
  }
  for (auto& c : stack) adopt(*c);
  stack_ = std::move(stack);
  if (!is_appeared() || old_top == new_top) return;
  if (new_top) new_top->begin_appearance(true, animated);
  if (old_top) old_top->begin_appearance(false, animated);
  if (old_top) old_top->end_appearance(false, animated);
  if (new_top) new_top->end_appearance(true, animated);
}

void NavigationController::push(std::shared_ptr<ViewController> controller, bool animated) {
  check_main_thread("-[UINavigationController pushViewController:animated:]");
  if (!controller || std::find(stack_.begin(), stack_.end(), controller) != stack_.end()) return;
  auto stack = stack_;
  stack.push_back(std::move(controller));
  replace_stack(std::move(stack), animated);
}

std::shared_ptr<ViewController> NavigationController::pop(bool animated) {
  check_main_thread("-[UINavigationController popViewControllerAnimated:]");
  if (stack_.size() < 2) return nullptr;
  auto stack = stack_;
  std::shared_ptr<ViewController> gone = stack.back();
  stack.pop_back();
  replace_stack(std::move(stack), animated);
  return gone;
}

void NavigationController::pop_to(ViewController& controller, bool animated) {
  check_main_thread("-[UINavigationController popToViewController:animated:]");
  auto it = std::find_if(stack_.begin(), stack_.end(), [&](const auto& c) { return c.get() == &controller; });
  if (it == stack_.end()) return;
  replace_stack(std::vector<std::shared_ptr<ViewController>>(stack_.begin(), it + 1), animated);
}

void NavigationController::set_view_controllers(std::vector<std::shared_ptr<ViewController>> controllers,
                                                 bool animated) {
  check_main_thread("-[UINavigationController setViewControllers:animated:]");
  std::erase(controllers, nullptr);
  replace_stack(std::move(controllers), animated);
}

// ---- TabBarController, PageViewController ----

TabBarController::TabBarController() : ViewController(runtime_class("UITabBarController")) {}

void TabBarController::set_view_controllers(std::vector<std::shared_ptr<ViewController>> controllers) {
  tabs_ = std::move(controllers);
  for (auto& c : tabs_) adopt(*c);
  selected_ = 0;
}

ViewController* TabBarController::selected() const { return selected_ < tabs_.size() ? tabs_[selected_].get() : nullptr; }

std::vector<ViewController*> TabBarController::visible_children() const {
  if (ViewController* s = selected()) return {s};
  return {};
}

PageViewController::PageViewController() : ViewController(runtime_class("UIPageViewController")) {}

void PageViewController::set_view_controllers(std::vector<std::shared_ptr<ViewController>> controllers) {
  pages_ = std::move(controllers);
  for (auto& c : pages_) adopt(*c);
}

std::vector<ViewController*> PageViewController::visible_children() const {
  std::vector<ViewController*> out;
  for (auto& p : pages_) out.push_back(p.get());
  return out;
}

// ---- Alerts ----

std::shared_ptr<AlertController> AlertController::make(std::optional<std::string> title,
                                                       std::optional<std::string> message, int style) {
  return std::make_shared<AlertController>(std::move(title), std::move(message), style);
}

AlertController::AlertController(std::optional<std::string> t, std::optional<std::string> m, int style)
    : ViewController(runtime_class("UIAlertController")), message(std::move(m)), preferred_style(style) {
  if (t) title = *t;
}

void AlertController::tap(std::size_t index) {
  if (index >= actions_.size()) return;
  AlertAction action = actions_[index];
  dismiss(true, [action] {
    if (action.handler) action.handler(action);
  });
}

AlertView::AlertView(std::string t, std::string m, std::weak_ptr<AlertViewDelegate> delegate,
                     std::optional<std::string> cancel_title, std::vector<std::string> other_titles)
    : View(runtime_class("UIAlertView")) {
  init(std::move(t), std::move(m), std::move(delegate), std::move(cancel_title), std::move(other_titles));
}

AlertView::AlertView(rt::Class& cls) : View(cls) {}

void AlertView::init(std::string t, std::string m, std::weak_ptr<AlertViewDelegate> delegate,
                     std::optional<std::string> cancel_title, std::vector<std::string> other_titles) {
  title = std::move(t);
  message = std::move(m);
  delegate_ = std::move(delegate);
  buttons_.clear();
  cancel_index_ = -1;
  if (cancel_title) {
    cancel_index_ = 0;
    buttons_.push_back(std::move(*cancel_title));
  }
  for (auto& o : other_titles) buttons_.push_back(std::move(o));
}

int AlertView::add_button(std::string button) {
  buttons_.push_back(std::move(button));
  return static_cast<int>(buttons_.size()) - 1;
}

void AlertView::show() {
  check_main_thread("-[UIAlertView show]");
  if (visible_) return;
  visible_ = true;
  if (Application* app = Application::shared()) {
    app->add_alert_view(std::static_pointer_cast<AlertView>(shared_from_this()));
  }
}

std::string AlertView::button_title(int index) const {
  return index >= 0 && index < number_of_buttons() ? buttons_[static_cast<std::size_t>(index)] : std::string();
}

void AlertView::tap(int index) {
  if (!visible_ || index < 0 || index >= number_of_buttons()) return;
  visible_ = false;
  auto self = std::static_pointer_cast<AlertView>(shared_from_this());
  detail::next_turn([self, index] {
    if (auto d = self->delegate_.lock()) d->clicked_button(*self, index);
    if (Application* app = Application::shared()) app->remove_alert_view(self.get());
    if (auto d = self->delegate_.lock()) d->did_dismiss(*self, index);
  });
}

// ---- Storyboard ----

void Storyboard::define(std::string name, Definition definition) {
  std::lock_guard lock(detail::state().mutex);
  detail::state().storyboards[std::move(name)] = std::move(definition);
}

std::shared_ptr<Storyboard> Storyboard::named(std::string_view name) {
  std::lock_guard lock(detail::state().mutex);
  auto& all = detail::state().storyboards;
  auto it = all.find(name);
  if (it == all.end()) return nullptr;
  return std::make_shared<Storyboard>(std::string(name), it->second);
}

std::shared_ptr<ViewController> Storyboard::adopt(std::shared_ptr<ViewController> controller) {
  if (controller) controller->storyboard_ = shared_from_this();
  return controller;
}

std::shared_ptr<ViewController> Storyboard::instantiate_initial() {
  if (!definition_.initial) return nullptr;
  return adopt(definition_.initial(*this));
}

std::shared_ptr<ViewController> Storyboard::instantiate(std::string_view identifier) {
  auto it = definition_.scenes.find(std::string(identifier));
  if (it == definition_.scenes.end() || !it->second) return nullptr;
  return adopt(it->second(*this));
}

}  // namespace platform::ui
