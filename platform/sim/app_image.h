#pragma once
// What the simulator launches: the application's classes, storyboards and
// load hooks, handed over by the driver before the first launch.
#include <functional>
#include <string>
#include <vector>

#include "platform/runtime/runtime.h"

namespace platform::sim {

struct AppImage {
  std::string principal_class = "UIApplication";
  std::string delegate_class;
  std::function<void()> register_classes;    // run once, before the first launch
  std::function<void()> define_storyboards;  // run once, before the first launch
  std::vector<rt::LoadHook> load_hooks;
};

void set_app(AppImage image);
// nullptr until set_app.
const AppImage* app();

}  // namespace platform::sim
