#pragma once
// Completions the platform hands out act on their first call only; later
// calls are written to the system log and ignored.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace platform::ui {

namespace detail {
void log_repeated_completion(const std::string& what);
}

template <class... A>
std::function<void(A...)> once(std::string what, std::function<void(A...)> fn) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [what = std::move(what), fn = std::move(fn), called](A... args) {
    if (called->exchange(true)) {
      detail::log_repeated_completion(what);
      return;
    }
    if (fn) fn(std::forward<A>(args)...);
  };
}

}  // namespace platform::ui
