#pragma once
// Module state shared by the ui sources.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"

namespace platform::ui::detail {

struct State {
  std::mutex mutex;
  std::shared_ptr<Application> application;
  std::map<std::string, Storyboard::Definition, std::less<>> storyboards;
};
State& state();

void set_shared_application(std::shared_ptr<Application> app);
// Runs `fn` on the next turn of the main queue.
void next_turn(std::function<void()> fn);

}  // namespace platform::ui::detail
