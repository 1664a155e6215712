#pragma once
// Page events for the OS side (the simulator's timeline and waits). Observers
// are called on the main thread, after the delegate call of the same event.
#include <functional>
#include <string>

#include "platform/ui/view.h"

namespace platform::web {

struct PageEvent {
  enum class Kind { started, committed, finished, failed } kind;
  std::string url;
  std::string title;     // the page's title for a finished main frame, else ""
  bool main_frame = true;
  std::string error;     // the error's localised description for `failed`
  ui::View* view = nullptr;  // the WebView or LegacyWebView
};

int add_page_observer(std::function<void(const PageEvent&)> observer);
void remove_page_observer(int id);

}  // namespace platform::web
