#include "platform/web/observer.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/web/internal.h"

namespace platform::web {

namespace {
std::mutex g_mutex;
int g_next = 1;
std::map<int, std::function<void(const PageEvent&)>> g_observers;
}  // namespace

int add_page_observer(std::function<void(const PageEvent&)> observer) {
  std::lock_guard lock(g_mutex);
  int id = g_next++;
  if (observer) g_observers.emplace(id, std::move(observer));
  return id;
}

void remove_page_observer(int id) {
  std::lock_guard lock(g_mutex);
  g_observers.erase(id);
}

namespace detail {

void notify_page(const PageEvent& event) {
  std::vector<std::function<void(const PageEvent&)>> observers;
  {
    std::lock_guard lock(g_mutex);
    for (const auto& [id, fn] : g_observers) observers.push_back(fn);
  }
  for (const auto& fn : observers) fn(event);
}

void reset_observers() {
  std::lock_guard lock(g_mutex);
  g_observers.clear();
}

}  // namespace detail

}  // namespace platform::web
