#pragma once
// View controllers, containers, alerts and code-defined storyboards.
//
// Appearance goes through the runtime: the platform sends sel::view_did_load,
// sel::view_will_appear and friends with rt::send, and the original
// implementations registered on "UIViewController" call the C++ virtuals
// below, so a replacement on "UIViewController" wraps every subclass's
// override. Rules: the new root of a visible window appears and the old
// disappears; push/pop: the new top appears, the old top disappears; a
// full-screen present: the presented appears, the presenter disappears.
// view_did_layout_subviews runs after the view loads and at the end of each
// appearance transition (did-appear and did-disappear). A present while a
// presentation is in place, or of a controller already presented, is refused
// with a log line and its completion never runs. Completions run on the
// next main-queue turn, never inline.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/view.h"

namespace platform::ui {

class NavigationController;
class Storyboard;

class ViewController : public Responder {
 public:
  ViewController();
  explicit ViewController(rt::Class& cls);

  virtual void load_view();  // default: a plain View
  virtual void view_did_load() {}
  virtual void view_will_appear(bool) {}
  virtual void view_did_appear(bool) {}
  virtual void view_will_disappear(bool) {}
  virtual void view_did_disappear(bool) {}
  virtual void view_did_layout_subviews() {}

  // Loads the view on first use (load_view, then sel::view_did_load, then layout).
  View& view();
  bool is_view_loaded() const { return view_ != nullptr; }
  // For load_view overrides.
  void set_view(std::shared_ptr<View> view) { view_ = std::move(view); }

  std::string title;
  NavigationItem& navigation_item() { return navigation_item_; }
  int modal_transition_style = 0;

  NavigationController* navigation_controller() const;
  ViewController* parent() const { return parent_; }
  virtual std::vector<std::shared_ptr<ViewController>> children() const { return {}; }
  ViewController* presented() const { return presented_.get(); }
  ViewController* presenting() const { return presenting_; }
  bool is_being_presented() const { return being_presented_; }
  Storyboard* storyboard() const { return storyboard_.get(); }
  // Whether the controller is on screen (between did-appear and will-disappear).
  bool is_appeared() const { return appeared_; }

  void present(std::shared_ptr<ViewController> controller, bool animated, std::function<void()> completion);
  // Dismisses what this controller presents, or this controller when it is presented.
  void dismiss(bool animated, std::function<void()> completion);

  // Appearance transitions: sends the selectors to this controller and to the
  // children on screen (visible_children()).
  void begin_appearance(bool appearing, bool animated);
  void end_appearance(bool appearing, bool animated);

 protected:
  // The children that appear and disappear with this controller.
  virtual std::vector<ViewController*> visible_children() const { return {}; }
  void adopt(ViewController& child) { child.parent_ = this; }
  void release(ViewController& child) {
    if (child.parent_ == this) child.parent_ = nullptr;
  }

 private:
  friend class Storyboard;
  std::shared_ptr<View> view_;
  NavigationItem navigation_item_;
  ViewController* parent_ = nullptr;
  std::shared_ptr<ViewController> presented_;
  ViewController* presenting_ = nullptr;
  bool being_presented_ = false;
  bool appeared_ = false;
  std::shared_ptr<Storyboard> storyboard_;
};

// Runtime class "UINavigationController".
class NavigationController : public ViewController {
 public:
  explicit NavigationController(std::shared_ptr<ViewController> root);
  NavigationController(rt::Class& cls, std::shared_ptr<ViewController> root);

  void push(std::shared_ptr<ViewController> controller, bool animated);
  std::shared_ptr<ViewController> pop(bool animated);  // nullptr when only the root is left
  void pop_to(ViewController& controller, bool animated);
  void set_view_controllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated);
  const std::vector<std::shared_ptr<ViewController>>& view_controllers() const { return stack_; }
  ViewController* top() const { return stack_.empty() ? nullptr : stack_.back().get(); }
  // The presented controller of the top, or the top.
  ViewController* visible() const;
  bool navigation_bar_hidden() const { return bar_hidden_; }
  void set_navigation_bar_hidden(bool hidden, bool) { bar_hidden_ = hidden; }
  std::vector<std::shared_ptr<ViewController>> children() const override { return stack_; }

 protected:
  std::vector<ViewController*> visible_children() const override;

 private:
  // Replaces the stack; on screen, the new top appears and the old disappears.
  void replace_stack(std::vector<std::shared_ptr<ViewController>> stack, bool animated);
  std::vector<std::shared_ptr<ViewController>> stack_;
  bool bar_hidden_ = false;
};

// Runtime class "UITabBarController".
class TabBarController : public ViewController {
 public:
  TabBarController();
  explicit TabBarController(rt::Class& cls) : ViewController(cls) {}
  void set_view_controllers(std::vector<std::shared_ptr<ViewController>> controllers);
  std::vector<std::shared_ptr<ViewController>> children() const override { return tabs_; }
  ViewController* selected() const;
  void set_selected_index(std::size_t index) { selected_ = index; }

 protected:
  std::vector<ViewController*> visible_children() const override;

 private:
  std::vector<std::shared_ptr<ViewController>> tabs_;
  std::size_t selected_ = 0;
};

// Runtime class "UIPageViewController".
class PageViewController : public ViewController {
 public:
  PageViewController();
  explicit PageViewController(rt::Class& cls) : ViewController(cls) {}
  void set_view_controllers(std::vector<std::shared_ptr<ViewController>> controllers);
  std::vector<std::shared_ptr<ViewController>> view_controllers() const { return pages_; }
  std::vector<std::shared_ptr<ViewController>> children() const override { return pages_; }

 protected:
  std::vector<ViewController*> visible_children() const override;

 private:
  std::vector<std::shared_ptr<ViewController>> pages_;
};

struct AlertAction {
  std::string title;
  int style = 0;  // 0 default, 1 cancel, 2 destructive
  std::function<void(const AlertAction&)> handler;
};

// Runtime class "UIAlertController".
class AlertController : public ViewController {
 public:
  static std::shared_ptr<AlertController> make(std::optional<std::string> title, std::optional<std::string> message,
                                               int style /* 0 sheet, 1 alert */);
  AlertController(std::optional<std::string> title, std::optional<std::string> message, int style);
  explicit AlertController(rt::Class& cls) : ViewController(cls) {}
  void add_action(AlertAction action) { actions_.push_back(std::move(action)); }
  const std::vector<AlertAction>& actions() const { return actions_; }
  std::optional<std::string> message;
  int preferred_style = 1;
  // A tap on the action at `index` (the OS side): the alert is dismissed and
  // the handler runs on the next main-queue turn.
  void tap(std::size_t index);

 private:
  std::vector<AlertAction> actions_;
};

class AlertView;
class AlertViewDelegate {
 public:
  virtual ~AlertViewDelegate() = default;
  virtual void clicked_button(AlertView&, int) {}
  virtual void did_dismiss(AlertView&, int) {}
};

// Runtime class "UIAlertView". Button 0 is the cancel button when there is one.
class AlertView : public View {
 public:
  AlertView(std::string title, std::string message, std::weak_ptr<AlertViewDelegate> delegate,
            std::optional<std::string> cancel_title, std::vector<std::string> other_titles);
  // An empty alert, as the runtime class's factory makes it (creation by
  // class name); init() then gives it what the constructor above takes.
  explicit AlertView(rt::Class& cls);
  void init(std::string title, std::string message, std::weak_ptr<AlertViewDelegate> delegate,
            std::optional<std::string> cancel_title, std::vector<std::string> other_titles);
  int add_button(std::string title);
  // Puts the alert on screen (the application's visible alerts).
  void show();
  bool is_visible() const { return visible_; }
  int number_of_buttons() const { return static_cast<int>(buttons_.size()); }
  std::string button_title(int index) const;
  int cancel_button_index() const { return cancel_index_; }
  std::string title, message;
  // A tap on a button (the OS side): clicked_button, then did_dismiss, on the
  // next main-queue turn.
  void tap(int index);

 private:
  std::weak_ptr<AlertViewDelegate> delegate_;
  std::vector<std::string> buttons_;
  int cancel_index_ = -1;
  bool visible_ = false;
};

// Storyboards are code: the app defines them at start-up.
class Storyboard : public std::enable_shared_from_this<Storyboard> {
 public:
  using Scene = std::function<std::shared_ptr<ViewController>(Storyboard&)>;
  struct Definition {
    Scene initial;
    std::map<std::string, Scene> scenes;
  };
  static void define(std::string name, Definition definition);
  // nullptr when no storyboard has that name.
  static std::shared_ptr<Storyboard> named(std::string_view name);
  const std::string& name() const { return name_; }
  // nullptr when the definition has no initial scene / no such identifier.
  std::shared_ptr<ViewController> instantiate_initial();
  std::shared_ptr<ViewController> instantiate(std::string_view identifier);

  Storyboard(std::string name, Definition definition) : name_(std::move(name)), definition_(std::move(definition)) {}

 private:
  std::shared_ptr<ViewController> adopt(std::shared_ptr<ViewController> controller);
  std::string name_;
  Definition definition_;
};

}  // namespace platform::ui
