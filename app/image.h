#pragma once
// The app as the simulated device launches it. Header only: the driver and
// the tests link the simulator; the app library does not.
#include "app/composition.h"
#include "platform/sim/app_image.h"

namespace app {

inline platform::sim::AppImage image() {
  platform::sim::AppImage image;
  image.delegate_class = std::string(delegate_class);
  image.register_classes = register_runtime_classes;
  image.define_storyboards = define_storyboards;
  const auto hooks = load_hooks();
  image.load_hooks.assign(hooks.begin(), hooks.end());
  return image;
}

}  // namespace app
