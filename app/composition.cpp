#include "app/composition.h"

#include <memory>

#include "analytics/facade/davidovivove.h"
#include "app/app_delegate.h"
#include "app/strings.h"
#include "app/view_controller.h"
#include "core/app.h"
#include "core/diagnostics.h"
#include "identity/instance_id.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"
#include "platform/web/legacy_web_view.h"
#include "push/bootstrap.h"

namespace app {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace web = platform::web;

namespace {

// Selectors the delegate implements that the ui module does not declare.
inline const rt::Sel<std::shared_ptr<ui::Window>()> window_getter{"window"};
inline const rt::Sel<rt::Id()> init{"init"};

constexpr ui::Rect kScreen{0, 0, 375, 812};

std::shared_ptr<ViewController> make_screen(ui::Storyboard&) {
  rt::Class* cls = rt::Runtime::shared().find("ViewController");
  if (!cls) return nullptr;
  auto screen = std::dynamic_pointer_cast<ViewController>(cls->create());
  if (!screen) return nullptr;

  auto root = std::make_shared<ui::View>(kScreen);
  screen->webView = web::LegacyWebView::make(kScreen);
  screen->webView->accessibility_identifier = std::string(view_id::web_view);
  screen->webView->set_delegate(screen);
  screen->connectionLostView = std::make_shared<ui::View>(kScreen);
  screen->connectionLostView->accessibility_identifier = std::string(view_id::connection_lost);
  auto reload = std::make_shared<ui::Button>(ui::Rect{137, 380, 100, 44});
  reload->accessibility_identifier = std::string(view_id::reload_button);
  reload->title = "Reload";
  std::weak_ptr<ViewController> weak = screen;
  reload->add_target(screen.get(), ui::ControlEvent::touch_up_inside, [weak] {
    if (auto s = weak.lock()) s->reloadButtonAction();
  });
  screen->connectionLostView->add_subview(reload);
  screen->activityIndicatorView = std::make_shared<ui::ActivityIndicatorView>(ui::Rect{177, 396, 20, 20});
  screen->activityIndicatorView->accessibility_identifier = std::string(view_id::activity_indicator);
  root->add_subview(screen->webView);
  root->add_subview(screen->connectionLostView);
  root->add_subview(screen->activityIndicatorView);
  screen->setStoryboardView(root);
  return screen;
}

}  // namespace

void register_runtime_classes() {
  core::register_runtime_classes();
  analytics::register_runtime_classes();
  auto& runtime = rt::Runtime::shared();
  if (!runtime.find(delegate_class)) {
    rt::ClassBuilder<AppDelegate>(std::string(delegate_class), "UIResponder")
        .protocols({"UIApplicationDelegate"})
        .method(window_getter, [](AppDelegate& self) { return self.window; })
        .method(ui::sel::set_window,
                [](AppDelegate& self, std::shared_ptr<ui::Window> window) { self.window = std::move(window); })
        .method(init, [](AppDelegate& self) -> rt::Id { return self.shared_from_this(); })
        .method(ui::sel::did_finish_launching, &AppDelegate::didFinishLaunching)
        .method(ui::sel::continue_user_activity, &AppDelegate::continueUserActivity)
        .method(ui::sel::will_resign_active, &AppDelegate::lifecycle)
        .method(ui::sel::did_enter_background, &AppDelegate::lifecycle)
        .method(ui::sel::will_enter_foreground, &AppDelegate::lifecycle)
        .method(ui::sel::did_become_active, &AppDelegate::lifecycle)
        .method(ui::sel::will_terminate, &AppDelegate::lifecycle)
        .define();
  }
  if (!runtime.find("ViewController")) {
    rt::ClassBuilder<ViewController>("ViewController", "UIViewController")
        .protocols({"WKNavigationDelegate", "WKUIDelegate", "UIWebViewDelegate"})
        .define();
  }
}

void define_storyboards() {
  ui::Storyboard::define(std::string(Strings::Storyboard::Main),
                         {.initial =
                              [](ui::Storyboard& board) -> std::shared_ptr<ui::ViewController> {
                                auto root = board.instantiate(Strings::ViewController::Identifier);
                                if (!root) return nullptr;
                                return std::make_shared<ui::NavigationController>(root);
                              },
                          .scenes = {{std::string(Strings::ViewController::Identifier), make_screen}}});
}

std::span<const rt::LoadHook> load_hooks() {
  // The program's order; hooks of the subsystems not built yet are absent.
  static const std::vector<rt::LoadHook> hooks{analytics::kConnectorLoadHook, core::kDiagnosticsLoadHook,
                                               identity::kInstanceIDLoadHook,   analytics::kAnalyticsLoadHook,
                                               analytics::kMeasurementLoadHook, analytics::kScreenClassNameLoadHook,
                                               push::kReravirorLoadHook};
  return hooks;
}

int main(int argc, char** argv) {
  register_runtime_classes();
  define_storyboards();
  ui::MainOptions options;
  options.delegate_class = delegate_class;
  options.load_hooks = load_hooks();
  return ui::application_main(argc, argv, options);
}

}  // namespace app
