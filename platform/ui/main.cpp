#include <exception>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/console.h"
#include "platform/foundation/exception.h"
#include "platform/os/bundle.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "platform/ui/internal.h"
#include "platform/ui/main_thread.h"
#include "platform/ui/view_controller.h"

namespace platform::ui {

Application& application_launch(int, char**, MainOptions options) {
  check_main_thread("application_launch");
  if (!rt::Runtime::shared().find("UIApplication")) register_runtime_classes();

  // 1. Load hooks, in table order.
  rt::run_load_hooks(options.load_hooks);

  // 2. The application and its delegate, set through the runtime.
  rt::Class* principal = rt::Runtime::shared().find(options.principal_class);
  auto app = principal ? std::dynamic_pointer_cast<Application>(principal->create()) : nullptr;
  if (!app) {
    foundation::Exception::raise("NSInternalInconsistencyException",
                                 "no application class named " + std::string(options.principal_class));
  }
  detail::set_shared_application(app);
  app->set_state(ApplicationState::inactive);
  rt::Id delegate;
  if (!options.delegate_class.empty()) {
    rt::Class* cls = rt::Runtime::shared().find(options.delegate_class);
    delegate = cls ? cls->create() : nullptr;
    if (!delegate) {
      foundation::Exception::raise("NSInternalInconsistencyException",
                                   "no delegate class named " + std::string(options.delegate_class));
    }
  }
  rt::send(*app, sel::set_delegate, delegate);

  // 3. The main storyboard's window, and setWindow: on the delegate.
  std::shared_ptr<Window> window;
  if (const std::string* name = os::Bundle::main().object_for_info_key("UIMainStoryboardFile").string()) {
    if (auto storyboard = Storyboard::named(*name)) {
      window = std::make_shared<Window>();
      window->set_root_view_controller(storyboard->instantiate_initial());
      app->send_to_delegate(sel::set_window, window);
    } else {
      foundation::console::log_line("[platform] no storyboard named " + *name + "; launching without a window");
    }
  }

  // 4. Will- and did-finish, then the notification with the options.
  app->send_to_delegate(sel::will_finish_launching, app->self_id(), options.launch_options);
  app->send_to_delegate(sel::did_finish_launching, app->self_id(), options.launch_options);
  foundation::NotificationCenter::default_center().post(std::string(notification_name::did_finish_launching),
                                                         app.get(), options.launch_options);

  // 5. Key window: the root's view loads, then it appears.
  if (window) window->make_key_and_visible();

  // 6. Active.
  app->become_active();
  return *app;
}

int application_main(int argc, char** argv, MainOptions options) {
  try {
    Application& app = application_launch(argc, argv, std::move(options));
    if (!app.terminated()) dispatch::RunLoop::main().run();
    return 0;
  } catch (const foundation::Exception& e) {
    if (auto handler = foundation::uncaught_exception_handler()) handler(e);
    std::terminate();
  }
}

}  // namespace platform::ui
