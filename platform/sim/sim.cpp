#include "platform/sim/sim.h"

#include "platform/location/manager.h"
#include "platform/net/session.h"
#include "platform/notify/center.h"
#include "platform/notify/system.h"
#include "platform/sim/output.h"
#include "platform/sim/internal.h"
#include "platform/store/store.h"
#include "platform/ui/application.h"
#include "platform/web/web_view.h"

namespace platform::sim {

foundation::Expected<void> boot(const std::filesystem::path& device_dir, const std::filesystem::path& bundle_dir,
                                os::BootOptions options) {
  options.bind_main_thread = true;
  auto booted = os::boot(device_dir, bundle_dir, std::move(options));
  if (!booted) return booted;
  ui::register_runtime_classes();
  net::register_runtime_classes();
  notify::register_runtime_classes();
  store::register_runtime_classes();
  location::register_runtime_classes();
  web::register_runtime_classes();
  detail::install_console_capture();
  detail::mark_system_log_start();
  detail::install_page_observer();
  notify::system::set_delivery_observer([](const notify::Notification& n) {
    const notify::Content& c = n.request.content;
    std::string text = c.title.empty() ? c.body : c.body.empty() ? c.title : c.title + ": " + c.body;
    emit(Tag::os, "notification delivered " + n.request.identifier + (text.empty() ? "" : " \"" + text + "\""));
  });
  return {};
}

void reset_for_testing() {
  notify::system::set_delivery_observer({});
  detail::remove_page_observer();
  detail::reset_device();
  detail::reset_output();
  detail::reset_services();
  detail::reset_app_image();
  detail::reset_system_log_mark();
}

}  // namespace platform::sim
