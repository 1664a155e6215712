#include "platform/sim/app_image.h"

#include <memory>
#include <mutex>

#include "platform/sim/internal.h"

namespace platform::sim {

namespace {
std::mutex g_mutex;
std::unique_ptr<AppImage>& image() {
  static std::unique_ptr<AppImage> current;
  return current;
}
}  // namespace

void set_app(AppImage app_image) {
  std::lock_guard lock(g_mutex);
  image() = std::make_unique<AppImage>(std::move(app_image));
}

const AppImage* app() {
  std::lock_guard lock(g_mutex);
  return image().get();
}

namespace detail {
void reset_app_image() {
  std::lock_guard lock(g_mutex);
  image().reset();
}
}  // namespace detail

}  // namespace platform::sim
