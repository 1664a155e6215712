// Application state changes only the OS side makes.
#include <utility>
#include <vector>

#include "platform/ui/application.h"
#include "platform/ui/main_thread.h"

namespace platform::ui {

void Application::expire_background_tasks() {
  check_main_thread("expire_background_tasks");
  std::vector<Task> expiring;
  {
    std::lock_guard lock(tasks_mutex_);
    expiring = std::exchange(tasks_, {});
  }
  for (Task& task : expiring) {
    if (task.expiration) task.expiration();
  }
}

}  // namespace platform::ui
