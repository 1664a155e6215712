#include "platform/sim/screen.h"

#include <algorithm>

#include "platform/sim/internal.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"

namespace platform::sim {

namespace {

constexpr int kMaxDepth = 64;  // guards against a cycle in a broken tree

ui::ViewController* visible_child(ui::ViewController* c) {
  if (auto* nav = dynamic_cast<ui::NavigationController*>(c)) return nav->top();
  if (auto* tab = dynamic_cast<ui::TabBarController*>(c)) return tab->selected();
  return nullptr;
}

bool is_container(ui::ViewController* c) {
  return dynamic_cast<ui::NavigationController*>(c) || dynamic_cast<ui::TabBarController*>(c);
}

// The key window's root, then each presented controller, bottom first.
std::vector<ui::ViewController*> presentation_chain() {
  std::vector<ui::ViewController*> chain;
  ui::Application* app = ui::Application::shared();
  ui::Window* window = app ? app->key_window() : nullptr;
  ui::ViewController* c = window ? window->root_view_controller() : nullptr;
  while (c && chain.size() < kMaxDepth) {
    chain.push_back(c);
    ui::ViewController* next = nullptr;
    int depth = 0;
    for (ui::ViewController* d = c; d && !next && depth < kMaxDepth; d = visible_child(d), ++depth) {
      next = d->presented();
    }
    c = next;
  }
  return chain;
}

ui::View* search_view(ui::View& view, const std::function<bool(ui::View&)>& visit, int depth) {
  if (view.hidden || depth > kMaxDepth) return nullptr;
  if (visit(view)) return &view;
  // Later subviews are on top.
  const auto& subviews = view.subviews();
  for (auto it = subviews.rbegin(); it != subviews.rend(); ++it) {
    if (ui::View* found = search_view(**it, visit, depth + 1)) return found;
  }
  return nullptr;
}

ui::View* search_controller(ui::ViewController* c, const std::function<bool(ui::View&)>& visit, int depth) {
  if (!c || depth > kMaxDepth) return nullptr;
  if (ui::ViewController* child = visible_child(c)) {
    if (ui::View* found = search_controller(child, visit, depth + 1)) return found;
  }
  if (c->is_view_loaded()) {
    if (ui::View* found = search_view(c->view(), visit, 0)) return found;
  }
  if (!is_container(c)) {
    for (const auto& child : c->children()) {
      if (ui::View* found = search_controller(child.get(), visit, depth + 1)) return found;
    }
  }
  return nullptr;
}

std::string q(const std::string& s) { return "\"" + s + "\""; }

std::string class_name(const rt::Object& o) { return std::string(o.isa().name()); }

std::string join(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

struct Dumper {
  std::string out;

  void line(int indent, const std::string& text) {
    out.append(static_cast<std::size_t>(indent) * 2, ' ');
    out += text;
    out += '\n';
  }

  std::optional<std::string> describe_view(const ui::View& v) {
    std::string id = v.accessibility_identifier.empty() ? "" : " id=" + v.accessibility_identifier;
    std::string hidden = v.hidden ? " hidden" : "";
    if (auto web = detail::describe_web_view(v)) return *web + id + hidden;
    if (auto* b = dynamic_cast<const ui::Button*>(&v)) {
      return "button" + id + (b->title.empty() ? "" : " " + q(b->title)) + (b->enabled ? "" : " disabled") + hidden;
    }
    if (auto* r = dynamic_cast<const ui::RefreshControl*>(&v)) {
      return "refresh-control" + id + (r->is_refreshing() ? " refreshing" : "") + hidden;
    }
    if (auto* c = dynamic_cast<const ui::Control*>(&v)) {
      return "control " + class_name(v) + id + (c->enabled ? "" : " disabled") + hidden;
    }
    if (auto* a = dynamic_cast<const ui::ActivityIndicatorView*>(&v)) {
      return "activity-indicator" + id + (a->is_animating() ? " animating" : " stopped") + hidden;
    }
    if (!id.empty()) return "view" + id + hidden;
    return std::nullopt;
  }

  void view(const ui::View& v, int indent, int depth) {
    if (depth > kMaxDepth) return;
    int child_indent = indent;
    if (auto text = describe_view(v)) {
      line(indent, *text);
      child_indent = indent + 1;
    }
    if (v.hidden || detail::is_web_view(v)) return;
    for (const auto& sub : v.subviews()) view(*sub, child_indent, depth + 1);
  }

  void controller(ui::ViewController* c, int indent, int depth) {
    if (!c || depth > kMaxDepth) return;
    if (auto* alert = dynamic_cast<ui::AlertController*>(c)) {
      std::vector<std::string> actions;
      for (const auto& a : alert->actions()) actions.push_back(q(a.title));
      line(indent, std::string(alert->preferred_style == 0 ? "action-sheet" : "alert") +
                       (alert->title.empty() ? "" : " " + q(alert->title)) +
                       (alert->message ? " message " + q(*alert->message) : "") + " actions " + join(actions));
      return;
    }
    std::string head = class_name(*c) + (c->title.empty() ? "" : " " + q(c->title));
    if (auto* nav = dynamic_cast<ui::NavigationController*>(c)) {
      line(indent, head + " (" + std::to_string(nav->view_controllers().size()) + " on the stack" +
                       (nav->navigation_bar_hidden() ? ", bar hidden)" : ")"));
      const auto& stack = nav->view_controllers();
      for (std::size_t i = 0; i + 1 < stack.size(); ++i) {
        line(indent + 1, class_name(*stack[i]) + (stack[i]->title.empty() ? "" : " " + q(stack[i]->title)) +
                             " (below)");
      }
      if (!stack.empty()) controller(stack.back().get(), indent + 1, depth + 1);
      return;
    }
    if (auto* tab = dynamic_cast<ui::TabBarController*>(c)) {
      line(indent, head + " (" + std::to_string(tab->children().size()) + " tabs)");
      controller(tab->selected(), indent + 1, depth + 1);
      return;
    }
    line(indent, head);
    if (c->is_view_loaded()) view(c->view(), indent + 1, 0);
    for (const auto& child : c->children()) {
      if (!child->is_view_loaded() || !c->is_view_loaded() || !child->view().is_descendant_of(c->view())) {
        controller(child.get(), indent + 1, depth + 1);
      }
    }
  }
};

}  // namespace

namespace detail {

ui::ViewController* top_controller() {
  auto chain = presentation_chain();
  return chain.empty() ? nullptr : chain.back();
}

ui::View* find_visible_view(const std::function<bool(ui::View&)>& visit) {
  auto chain = presentation_chain();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (ui::View* found = search_controller(*it, visit, 0)) return found;
  }
  return nullptr;
}

ui::NavigationController* visible_navigation_controller() {
  ui::ViewController* top = top_controller();
  int depth = 0;
  for (ui::ViewController* c = top; c && depth < kMaxDepth; c = visible_child(c), ++depth) {
    if (auto* nav = dynamic_cast<ui::NavigationController*>(c)) return nav;
  }
  if (top) return top->navigation_controller();
  return nullptr;
}

}  // namespace detail

std::string dump_screen() {
  ui::Application* app = ui::Application::shared();
  ui::Window* window = app ? app->key_window() : nullptr;
  if (!window) return "no key window";
  Dumper d;
  d.line(0, "window(key)");
  auto chain = presentation_chain();
  int indent = 1;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (i == 0) {
      d.controller(chain[i], indent, 0);
    } else {
      std::size_t before = d.out.size();
      d.controller(chain[i], indent, 0);
      d.out.insert(before + static_cast<std::size_t>(indent) * 2, "presented ");
    }
    ++indent;
  }
  if (chain.empty()) d.line(1, "(no root view controller)");
  for (const auto& alert : app->visible_alert_views()) {
    std::vector<std::string> buttons;
    for (int i = 0; i < alert->number_of_buttons(); ++i) buttons.push_back(q(alert->button_title(i)));
    d.line(0, "alert-view " + q(alert->title) + (alert->message.empty() ? "" : " message " + q(alert->message)) +
                  " buttons " + join(buttons));
  }
  d.line(0, std::string("status-bar network-activity-indicator ") +
                (app->network_activity_indicator_visible ? "visible" : "hidden"));
  if (!d.out.empty() && d.out.back() == '\n') d.out.pop_back();
  return d.out;
}

}  // namespace platform::sim
