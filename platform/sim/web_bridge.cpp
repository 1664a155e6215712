// The simulator's side of the web views: descriptions for the screen dump,
// page-side events, and the page observer the player's waits count.
#include <atomic>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/sim/device.h"
#include "platform/sim/internal.h"
#include "platform/sim/output.h"
#include "platform/web/legacy_web_view.h"
#include "platform/web/observer.h"
#include "platform/web/web_view.h"

namespace platform::sim::detail {

namespace {
std::mutex g_bridge_mutex;
int g_observer = 0;
bool g_installed = false;
std::atomic<std::size_t> g_finished{0};

void os_line(std::string_view text) { emit(Tag::os, text); }

std::string cookie_lines(const std::vector<net::Cookie>& cookies, std::string_view store) {
  std::string out;
  for (const net::Cookie& c : cookies) {
    out += std::string(store) + " " + c.domain + c.path + " " + c.name + "=" + c.value +
           (c.session_only() ? " session" : "") + (c.secure ? " secure" : "") + (c.http_only ? " http-only" : "") + "\n";
  }
  return out;
}
}  // namespace

void install_page_observer() {
  std::lock_guard lock(g_bridge_mutex);
  if (g_installed) return;
  g_installed = true;
  g_observer = web::add_page_observer([](const web::PageEvent& e) {
    if (!e.main_frame) return;
    switch (e.kind) {
      case web::PageEvent::Kind::finished:
        g_finished.fetch_add(1);
        os_line("page finished " + e.url + (e.title.empty() ? "" : " \"" + e.title + "\""));
        break;
      case web::PageEvent::Kind::failed:
        os_line("page failed " + e.url + ": " + e.error);
        break;
      default:
        break;
    }
  });
}

void remove_page_observer() {
  std::lock_guard lock(g_bridge_mutex);
  if (!g_installed) return;
  g_installed = false;
  web::remove_page_observer(g_observer);
  g_finished = 0;
}

std::size_t pages_finished() { return g_finished.load(); }

std::optional<std::string> describe_web_view(const ui::View& view) {
  auto line = [](const char* kind, std::optional<foundation::Url> url, const std::string& title, bool loading) {
    return std::string(kind) + " " + (url ? url->absolute_string() : std::string("(no page)")) +
           (title.empty() ? "" : " \"" + title + "\"") + (loading ? " loading" : " finished");
  };
  if (auto* w = dynamic_cast<const web::WebView*>(&view)) return line("web", w->url(), w->title(), w->is_loading());
  if (auto* l = dynamic_cast<const web::LegacyWebView*>(&view)) {
    return line("legacy-web", l->url(), l->title(), l->is_loading());
  }
  return std::nullopt;
}

bool is_web_view(const ui::View& view) {
  return dynamic_cast<const web::WebView*>(&view) || dynamic_cast<const web::LegacyWebView*>(&view);
}

bool is_loading(const ui::View& view) {
  if (auto* w = dynamic_cast<const web::WebView*>(&view)) return w->is_loading();
  if (auto* l = dynamic_cast<const web::LegacyWebView*>(&view)) return l->is_loading();
  return false;
}

std::string web_cookies() {
  auto store = web::WebsiteDataStore::default_store();
  return store ? cookie_lines(store->cookie_storage()->cookies(), "web") : std::string();
}

Result page_tap_link(ui::View& view, const std::string& href) {
  os_line("tap link " + href);
  if (auto* w = dynamic_cast<web::WebView*>(&view)) {
    w->page_tap_link(href);
  } else if (auto* l = dynamic_cast<web::LegacyWebView*>(&view)) {
    l->page_tap_link(href);
  } else {
    return Result::failure("not a web view");
  }
  return Result::success();
}

namespace {
template <class F>
Result on_modern(ui::View& view, const char* what, F&& f) {
  auto* w = dynamic_cast<web::WebView*>(&view);
  if (!w) return Result::failure(std::string("the visible web view has no ") + what);
  f(*w);
  return Result::success();
}
}  // namespace

Result page_close_window(ui::View& view) {
  return on_modern(view, "window.close()", [](web::WebView& w) {
    os_line("page closes its window");
    w.page_close_window();
  });
}

Result page_js_alert(ui::View& view, const std::string& message) {
  return on_modern(view, "alert()", [&](web::WebView& w) {
    os_line("page alert \"" + message + "\"");
    auto called = std::make_shared<std::atomic<bool>>(false);
    w.page_js_alert(message, [called] {
      if (called->exchange(true)) {
        os_line("alert completion called again, ignored");
        return;
      }
      os_line("alert completion called");
    });
  });
}

Result page_js_confirm(ui::View& view, const std::string& message) {
  return on_modern(view, "confirm()", [&](web::WebView& w) {
    os_line("page confirm \"" + message + "\"");
    auto called = std::make_shared<std::atomic<bool>>(false);
    w.page_js_confirm(message, [called](bool ok) {
      if (called->exchange(true)) {
        os_line("confirm completion called again, ignored");
        return;
      }
      os_line(std::string("confirm answered ") + (ok ? "true" : "false"));
    });
  });
}

Result page_submit_form(ui::View& view, const std::string& action) {
  return on_modern(view, "form submission", [&](web::WebView& w) {
    os_line("submit form " + action);
    w.page_submit_form(action);
  });
}

Result page_script_message(ui::View& view, const std::string& name, const foundation::Value& body) {
  return on_modern(view, "script message handlers", [&](web::WebView& w) {
    os_line("script message " + name);
    w.page_script_message(name, body);
  });
}

}  // namespace platform::sim::detail
