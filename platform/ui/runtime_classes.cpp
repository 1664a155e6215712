#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"

namespace platform::ui {

namespace {

constexpr std::string_view kImage = "UIKitCore";

void define_if_absent(rt::ClassDefinition definition) {
  if (rt::Runtime::shared().find(definition.name)) return;
  rt::Runtime::shared().define(std::move(definition));
}

rt::ClassDefinition plain(std::string name, std::string super, std::size_t size) {
  rt::ClassDefinition d;
  d.name = std::move(name);
  d.superclass = std::move(super);
  d.image = std::string(kImage);
  d.instance_size = size;
  return d;
}

template <class T, class... Extra>
rt::ClassDefinition with_factory(rt::ClassDefinition d, Extra... extra) {
  d.factory = [extra...](rt::Class& cls) -> rt::Id { return std::make_shared<T>(cls, extra...); };
  return d;
}

template <class T, class R, class... A, class F>
std::pair<rt::SelId, rt::Imp> bridge(const rt::Sel<R(A...)>& s, F fn) {
  return {s.id, rt::Imp::make(s, [fn](rt::Object& self, A... args) -> R {
            return fn(dynamic_cast<T&>(self), std::forward<A>(args)...);
          })};
}

}  // namespace

void register_runtime_classes() {
  define_if_absent(plain("UIResponder", "NSObject", sizeof(Responder)));

  rt::ClassDefinition app = plain("UIApplication", "UIResponder", sizeof(Application));
  app.factory = [](rt::Class& cls) -> rt::Id { return std::make_shared<Application>(cls); };
  app.methods = {
      bridge<Application>(sel::set_delegate, [](Application& a, rt::Id d) { a.set_delegate_original(std::move(d)); }),
      bridge<Application>(sel::set_badge, [](Application& a, std::int64_t n) { a.set_badge_original(n); }),
  };
  app.class_methods = {
      {sel::shared_application.id, rt::Imp::make(sel::shared_application, [](rt::Class&) -> rt::Id {
         Application* shared = Application::shared();
         return shared ? shared->self_id() : nullptr;
       })},
  };
  define_if_absent(std::move(app));

  rt::ClassDefinition vc = plain("UIViewController", "UIResponder", sizeof(ViewController));
  vc.factory = [](rt::Class& cls) -> rt::Id { return std::make_shared<ViewController>(cls); };
  vc.methods = {
      bridge<ViewController>(sel::view_did_load, [](ViewController& v) { v.view_did_load(); }),
      bridge<ViewController>(sel::view_will_appear, [](ViewController& v, bool a) { v.view_will_appear(a); }),
      bridge<ViewController>(sel::view_did_appear, [](ViewController& v, bool a) { v.view_did_appear(a); }),
      bridge<ViewController>(sel::view_will_disappear, [](ViewController& v, bool a) { v.view_will_disappear(a); }),
      bridge<ViewController>(sel::view_did_disappear, [](ViewController& v, bool a) { v.view_did_disappear(a); }),
  };
  define_if_absent(std::move(vc));

  // Creation by name gives the C++ type of each class.
  define_if_absent(with_factory<NavigationController>(
      plain("UINavigationController", "UIViewController", sizeof(NavigationController)), nullptr));
  define_if_absent(with_factory<TabBarController>(plain("UITabBarController", "UIViewController", sizeof(TabBarController))));
  define_if_absent(
      with_factory<PageViewController>(plain("UIPageViewController", "UIViewController", sizeof(PageViewController))));
  define_if_absent(with_factory<AlertController>(plain("UIAlertController", "UIViewController", sizeof(AlertController))));
  define_if_absent(with_factory<Window>(plain("UIWindow", "UIResponder", sizeof(Window))));
  define_if_absent(with_factory<AlertView>(plain("UIAlertView", "UIResponder", sizeof(AlertView))));

  rt::ClassDefinition activity = plain("NSUserActivity", "NSObject", sizeof(UserActivity));
  activity.image = "Foundation";
  activity.factory = [](rt::Class& cls) -> rt::Id { return std::make_shared<UserActivity>(cls); };
  define_if_absent(std::move(activity));
}

}  // namespace platform::ui
