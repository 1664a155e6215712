#pragma once
// The headless view tree: views hold frames and flags set by code; no layout
// and no drawing. Views, controls and windows are runtime objects.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/object.h"

namespace platform::ui {

class Window;
class ViewController;

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

// A colour as red, green, blue and alpha, each from 0 to 1.
struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  static constexpr Color clear() { return {0, 0, 0, 0}; }
  static constexpr Color black() { return {0, 0, 0, 1}; }
  bool operator==(const Color&) const = default;
};

// The registered class of that name; "UIResponder", then "NSObject" when it is
// not registered (plain views have no class of their own).
rt::Class& runtime_class(std::string_view name);

class Responder : public rt::Object {
 public:
  explicit Responder(rt::Class& cls) : rt::Object(cls) {}
};

class View : public Responder {
 public:
  View();
  explicit View(Rect frame);
  explicit View(rt::Class& cls, Rect frame = {});

  bool hidden = false;
  Rect frame;
  std::optional<Color> background_color;  // none: the view draws no background
  bool opaque = true;
  std::uint32_t autoresizing_mask = 0;
  std::string accessibility_identifier;

  // Moves `view` here from its old parent. Ignored for this view itself or an ancestor.
  void add_subview(std::shared_ptr<View> view);
  void remove_from_superview();
  View* superview() const { return superview_; }
  Window* window() const;
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  bool is_descendant_of(const View& other) const;

 private:
  void detach_from_superview();
  View* superview_ = nullptr;
  std::vector<std::shared_ptr<View>> subviews_;
};

class ScrollView : public View {
 public:
  using View::View;
};

enum class ControlEvent : std::uint32_t { touch_up_inside = 1u << 6, value_changed = 1u << 12 };

class Control : public View {
 public:
  using View::View;
  void add_target(const void* owner, ControlEvent event, std::function<void()> action);
  // Runs the actions registered for `event`, in registration order.
  void send_actions(ControlEvent event);
  bool enabled = true;

 private:
  struct Target {
    const void* owner;
    ControlEvent event;
    std::function<void()> action;
  };
  std::vector<Target> targets_;
};

class Button : public Control {
 public:
  using Control::Control;
  std::string title;
};

class RefreshControl : public Control {
 public:
  using Control::Control;
  void begin_refreshing() { refreshing_ = true; }
  void end_refreshing() { refreshing_ = false; }
  bool is_refreshing() const { return refreshing_; }

 private:
  bool refreshing_ = false;
};

class ActivityIndicatorView : public View {
 public:
  using View::View;
  void start_animating();
  void stop_animating();
  bool is_animating() const { return animating_; }
  bool hides_when_stopped = true;
  int style = 0;
  std::optional<Color> color;  // none: the style's own colour

 private:
  bool animating_ = false;
};

class BarButtonItem {
 public:
  static std::shared_ptr<BarButtonItem> system(int item, const void* owner, std::function<void()> action);
  static std::shared_ptr<BarButtonItem> custom(std::shared_ptr<View> view);
  int system_item = -1;  // -1 for a custom item
  const void* owner = nullptr;
  std::function<void()> action;
  std::shared_ptr<View> custom_view;
  // What a tap does: the action, when there is one.
  void tap() const {
    if (action) action();
  }
};

struct NavigationItem {
  std::string title;
  std::shared_ptr<BarButtonItem> left, right;
};

// Runtime class "UIWindow".
class Window : public View {
 public:
  Window();
  explicit Window(Rect frame);
  // For the runtime class's factory: the screen bounds.
  explicit Window(rt::Class& cls);
  // On a visible window, the new root appears and the old one disappears.
  void set_root_view_controller(std::shared_ptr<ViewController> root);
  ViewController* root_view_controller() const { return root_.get(); }
  std::shared_ptr<ViewController> root_view_controller_shared() const { return root_; }
  // Becomes the application's key window (the previous one resigns key and
  // posts "UIWindowDidResignKeyNotification"), loads the root's view, then the
  // root appears.
  void make_key_and_visible();
  bool is_key_window() const;
  bool is_visible() const { return visible_; }

 private:
  std::shared_ptr<ViewController> root_;
  bool visible_ = false;
};

}  // namespace platform::ui
