// Screen tracking: screens and their parameters, the window stacks, the
// visible-controller walk, the reporter and the load-time hooks.
#include "analytics/sessions/screen_reporter.h"

#include <algorithm>
#include <any>
#include <mutex>

#include "analytics/config/remote_config.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/validator.h"
#include "analytics/model/value.h"
#include "analytics/sessions/reporter_forwarding.h"
#include "analytics/support/log_codes.h"
#include "analytics/support/numeric.h"
#include "core/logger.h"
#include "core/swizzler.h"
#include "platform/os/bundle.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"

namespace analytics {

namespace fd = platform::foundation;
namespace rt = platform::rt;
namespace ui = platform::ui;
using fd::Dict;
using fd::Value;

const char kAPMScreenAssociationKey = 0;
const char kAPMStackAssociationKey = 0;

namespace {

APMMonitor& screenMonitor() { return APMMeasurement::monitor(); }

bool screenValueIsValid(const std::string& value, std::int64_t* failureCode = nullptr) {
  std::int64_t code = 0;
  const bool valid = APMDataTypeValidator::isValidScreenParameterValue(Value(value), failureCode ? failureCode : &code);
  return valid;
}

std::shared_ptr<ui::ViewController> screenControllerRef(ui::ViewController& controller) {
  return std::static_pointer_cast<ui::ViewController>(controller.shared_from_this());
}

ui::Window* screenKeyWindow() {
  const rt::Id application = APMAEU::sharedApplication();
  auto* app = dynamic_cast<ui::Application*>(application.get());
  return app ? app->key_window() : nullptr;
}

// Whether `child` is the child its container shows: a navigation
// controller's top, a tab bar's selection, a page controller's first page.
bool screenIsShownChild(const ui::ViewController& parent, const ui::ViewController& child) {
  if (const auto* navigation = dynamic_cast<const ui::NavigationController*>(&parent)) return navigation->top() == &child;
  if (const auto* tabs = dynamic_cast<const ui::TabBarController*>(&parent)) return tabs->selected() == &child;
  if (const auto* pages = dynamic_cast<const ui::PageViewController*>(&parent)) {
    const auto list = pages->view_controllers();
    return !list.empty() && list.front().get() == &child;
  }
  return true;
}

// The window whose root is reached from the controller through shown
// children and presenters; nullptr when none. The ui model keeps
// controllers' views out of the window's view tree, so this chain stands for
// the view's place in a window (a child its container does not show is not
// in one).
ui::Window* screenWindowOf(const ui::ViewController& controller) {
  const ui::ViewController* top = &controller;
  for (int depth = 0; depth < 1000; ++depth) {
    if (const ui::ViewController* parent = top->parent()) {
      if (!screenIsShownChild(*parent, *top)) return nullptr;
      top = parent;
    } else if (top->presenting()) {
      top = top->presenting();
    } else {
      break;
    }
  }
  const rt::Id application = APMAEU::sharedApplication();
  auto* app = dynamic_cast<ui::Application*>(application.get());
  if (!app) return nullptr;
  for (const auto& window : app->windows()) {
    if (window && window->root_view_controller() == top) return window.get();
  }
  return nullptr;
}

// A full-screen presentation over the controller takes its view out of the window.
bool screenIsCovered(const ui::ViewController& controller) {
  const ui::ViewController* presented = controller.presented();
  return presented && (presented->is_appeared() || presented->is_being_presented());
}

// The view is loaded and in a window.
bool screenViewIsInWindow(const ui::ViewController& controller) {
  return controller.is_view_loaded() && !screenIsCovered(controller) && screenWindowOf(controller) != nullptr;
}

bool screenIsContainer(const ui::ViewController* controller) {
  return dynamic_cast<const ui::NavigationController*>(controller) ||
         dynamic_cast<const ui::TabBarController*>(controller) ||
         dynamic_cast<const ui::PageViewController*>(controller);
}

// One step of the descent: navigation → visible, tab bar → selected, page →
// first page, other → presented, else itself when being presented.
ui::ViewController* screenDescendOnce(ui::ViewController* controller) {
  if (auto* navigation = dynamic_cast<ui::NavigationController*>(controller)) return navigation->visible();
  if (auto* tabs = dynamic_cast<ui::TabBarController*>(controller)) return tabs->selected();
  if (auto* pages = dynamic_cast<ui::PageViewController*>(controller)) {
    const auto list = pages->view_controllers();
    return list.empty() ? nullptr : list.front().get();
  }
  if (controller->presented()) return controller->presented();
  if (controller->is_being_presented()) return controller;
  return nullptr;
}

void screenRemoveFromStack(APMPointerArray& stack, const ui::ViewController& controller, bool keepBottom) {
  for (std::size_t i = keepBottom ? 1 : 0; i < stack.entries.size();) {
    const auto entry = stack.entries[i].lock();
    if (entry.get() == &controller) {
      stack.entries.erase(stack.entries.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

}  // namespace

// ---- screens ------------------------------------------------------------------------

Dict APMScreenParameters(const APMScreenRef& screen) {
  Dict parameters;
  if (!screen) return parameters;
  parameters.set("_si", APMValueObject(APMValue::initWithInt64(screen->instanceID())));
  if (screen->className().empty()) {
    screenMonitor().logWithLevel(4, 31014, "Screen class name is empty");
    return parameters;
  }
  std::int64_t failure = 0;
  if (!screenValueIsValid(screen->className(), &failure)) {
    screenMonitor().logWithLevel(4, 31015, "Screen class name is invalid. Error code", Value(failure));
    return parameters;
  }
  parameters.set("_sc", APMValueObject(APMValue::initWithString(Value(screen->className()))));
  if (screen->name() && screenValueIsValid(*screen->name())) {
    parameters.set("_sn", APMValueObject(APMValue::initWithString(Value(*screen->name()))));
  }
  return parameters;
}

Dict APMPreviousScreenParameters(const APMScreenRef& screen) {
  Dict parameters;
  if (!screen || screen->className().empty() || !screenValueIsValid(screen->className())) return parameters;
  parameters.set("_pc", APMValueObject(APMValue::initWithString(Value(screen->className()))));
  parameters.set("_pi", APMValueObject(APMValue::initWithInt64(screen->instanceID())));
  if (screen->name() && screenValueIsValid(*screen->name())) {
    parameters.set("_pn", APMValueObject(APMValue::initWithString(Value(*screen->name()))));
  }
  return parameters;
}

std::string APMUnqualifiedClassName(std::string_view className) {
  const auto dot = className.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == className.size()) return std::string(className);
  return std::string(className.substr(dot + 1));
}

bool APMIsAutomaticScreenReportingEnabled() {
  const auto& bundle = platform::os::Bundle::main();
  const Value* value = &bundle.object_for_info_key("DavidizeScreenReportingEnabled");
  if (value->is_null()) value = &bundle.object_for_info_key("DavidizeAutomaticScreenReportingEnabled");
  if (value->is_number()) return value->as_bool().value_or(true);
  return true;
}

// ---- associated objects and stacks --------------------------------------------------

APMScreenRef APMViewControllerScreen(ui::ViewController& controller) {
  const std::any stored = controller.associated(&kAPMScreenAssociationKey);
  if (!stored.has_value()) return nullptr;
  if (const auto* screen = std::any_cast<APMScreenRef>(&stored)) return *screen;
  screenMonitor().logWithLevel(4, 36000, "Found unknown associated object", Value(stored.type().name()));
  controller.set_associated(&kAPMScreenAssociationKey, std::any());
  return nullptr;
}

void APMSetViewControllerScreen(ui::ViewController& controller, const APMScreenRef& screen) {
  controller.set_associated(&kAPMScreenAssociationKey, screen ? std::any(screen) : std::any());
}

APMPointerArrayRef APMWindowStack(ui::Window& window) {
  const std::any stored = window.associated(&kAPMStackAssociationKey);
  if (!stored.has_value()) return nullptr;
  if (const auto* stack = std::any_cast<APMPointerArrayRef>(&stored)) return *stack;
  screenMonitor().logWithLevel(4, 38000, "Found unknown associated object", Value(stored.type().name()));
  window.set_associated(&kAPMStackAssociationKey, std::any());
  return nullptr;
}

void APMSetWindowStack(ui::Window& window, const APMPointerArrayRef& stack) {
  window.set_associated(&kAPMStackAssociationKey, stack ? std::any(stack) : std::any());
}

APMPointerArrayRef APMKeyWindowStack() {
  ui::Window* window = screenKeyWindow();
  if (!window) return nullptr;
  if (auto stack = APMWindowStack(*window)) return stack;
  auto stack = std::make_shared<APMPointerArray>();
  APMSetWindowStack(*window, stack);
  return stack;
}

void APMCompactPointerArray(APMPointerArray& stack) {
  std::erase_if(stack.entries, [](const std::weak_ptr<ui::ViewController>& entry) { return entry.expired(); });
}

bool APMIsTrackableViewController(ui::ViewController& controller) {
  const rt::Class& cls = controller.isa();
  if (cls.image() != rt::main_image) {
    const bool underscore = APMUnqualifiedClassName(cls.name()).starts_with('_') ||
                            (cls.superclass() && APMUnqualifiedClassName(cls.superclass()->name()).starts_with('_'));
    if (underscore) return false;
  }
  if (!controller.is_view_loaded()) return false;
  ui::Window* window = screenKeyWindow();
  return window && screenWindowOf(controller) == window;
}

std::shared_ptr<ui::ViewController> APMVisibleViewControllerInStack(APMPointerArray& stack) {
  std::vector<std::shared_ptr<ui::ViewController>> live;
  for (const auto& entry : stack.entries) {
    if (auto controller = entry.lock()) live.push_back(std::move(controller));
  }
  // First pass: a manually named screen on screen.
  for (auto it = live.rbegin(); it != live.rend(); ++it) {
    ui::ViewController& controller = **it;
    if (!screenViewIsInWindow(controller)) continue;
    const auto screen = APMViewControllerScreen(controller);
    if (screen && screen->isManuallySet) return *it;
  }
  // Second pass: descend from each controller on screen.
  for (auto it = live.rbegin(); it != live.rend(); ++it) {
    ui::ViewController& controller = **it;
    if (!screenViewIsInWindow(controller)) continue;
    if (APMViewControllerScreen(controller)) return *it;
    ui::ViewController* start = &controller;
    if (ui::ViewController* parent = controller.parent()) {
      const auto children = parent->children();
      const bool otherOffScreen =
          children.size() >= 2 && std::any_of(children.begin(), children.end(), [&](const auto& child) {
            return child.get() != &controller && !screenViewIsInWindow(*child);
          });
      if (otherOffScreen) {
        if (APMViewControllerScreen(*parent)) return screenControllerRef(*parent);
        start = parent;
      }
    }
    ui::ViewController* reached = screenDescendOnce(start);
    while (reached && screenIsContainer(reached)) {
      ui::ViewController* next = screenDescendOnce(reached);
      if (next == reached) break;
      reached = next;
    }
    if (reached && screenViewIsInWindow(*reached)) return screenControllerRef(*reached);
  }
  // Fallback: the bottom entry, but only a live one; the stack is compacted
  // first, so a freed controller is never used.
  APMCompactPointerArray(stack);
  if (!live.empty()) return live.front();
  screenMonitor().logWithLevel(5, 31011, "Root view controller not found");
  return nullptr;
}

// ---- the reporter -------------------------------------------------------------------

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  static const std::shared_ptr<APMScreenViewReporter>* shared = [] {
    auto* reporter = new std::shared_ptr<APMScreenViewReporter>(std::make_shared<APMScreenViewReporter>());
    (*reporter)->observe();
    return reporter;
  }();
  return *shared;
}

APMScreenViewReporter::APMScreenViewReporter()
    : queue_(platform::dispatch::Queue::serial(std::string(kQueueLabel))),
      currentScreenInstanceID_(APMNumericUtil::randomInt64()) {}

APMScreenViewReporter::~APMScreenViewReporter() {
  for (auto& token : observers_) token.remove();
}

void APMScreenViewReporter::observe() {
  auto& center = fd::NotificationCenter::default_center();
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  const auto bind = [weak](void (APMScreenViewReporter::*handler)()) {
    return [weak, handler](const fd::Notification&) {
      if (auto self = weak.lock()) ((*self).*handler)();
    };
  };
  observers_.push_back(center.add_observer(this, std::string(ui::notification_name::window_did_resign_key), nullptr,
                                           nullptr, bind(&APMScreenViewReporter::handleWindowDidResign)));
  observers_.push_back(center.add_observer(this, std::string(ui::notification_name::did_become_active), nullptr,
                                           nullptr, bind(&APMScreenViewReporter::handleApplicationDidBecomeActive)));
  observers_.push_back(center.add_observer(this, std::string(ui::notification_name::will_resign_active), nullptr,
                                           nullptr, bind(&APMScreenViewReporter::handleApplicationWillResignActive)));
}

void APMScreenViewReporter::onQueue(const std::function<void()>& block) {
  if (queue_.is_current()) {
    block();
  } else {
    queue_.sync(block);
  }
}

APMScreenRef APMScreenViewReporter::currentScreen() {
  APMScreenRef screen;
  onQueue([&] { screen = currentScreen_; });
  return screen;
}

APMScreenRef APMScreenViewReporter::previousScreen() {
  APMScreenRef screen;
  onQueue([&] { screen = previousScreen_; });
  return screen;
}

Dict APMScreenViewReporter::screenParameters() {
  Dict parameters;
  if (!APMIsAutomaticScreenReportingEnabled() || !isAppActive()) return parameters;
  onQueue([&] {
    if (!currentScreen_ || currentScreen_->className().empty()) return;
    parameters.set("_sc", APMValueObject(APMValue::initWithString(Value(currentScreen_->className()))));
    parameters.set("_si", APMValueObject(APMValue::initWithInt64(currentScreen_->instanceID())));
    if (currentScreen_->name() && !currentScreen_->name()->empty()) {
      parameters.set("_sn", APMValueObject(APMValue::initWithString(Value(*currentScreen_->name()))));
    }
  });
  return parameters;
}

void APMScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) {
  if (!screenName && !screenClass) return;
  onQueue([&] {
    if (screenName) *screenName = currentScreen_ ? currentScreen_->name() : std::nullopt;
    if (screenClass) {
      *screenClass = currentScreen_ ? std::optional<std::string>(currentScreen_->className()) : std::nullopt;
    }
  });
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
  if (!APMIsAutomaticScreenReportingEnabled()) {
    screenMonitor().logWithLevel(3, 31000,
                                 "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
    return;
  }
  if (screenName && !screenValueIsValid(*screenName)) {
    screenMonitor().logWithLevel(4, 31001, "Received invalid screen name", Value(*screenName));
    return;
  }
  if (screenClass && !screenValueIsValid(*screenClass)) {
    screenMonitor().logWithLevel(4, 31002, "Received invalid screen class", Value(*screenClass));
    return;
  }
  const APMPointerArrayRef stack = APMKeyWindowStack();
  onQueue([&] {
    // The top live controller: a freed one is never named.
    std::shared_ptr<ui::ViewController> top;
    if (stack) {
      APMCompactPointerArray(*stack);
      if (!stack->entries.empty()) top = stack->entries.back().lock();
    }
    if (!top) {
      screenMonitor().logWithLevel(4, 31003,
                                   "setScreenName:screenClass: must be called after a view controller has appeared");
      return;
    }
    const std::string className = screenClass ? *screenClass : APMUnqualifiedClassName(top->isa().name());
    if (currentScreen_ && currentScreen_->name() == screenName && currentScreen_->className() == className) {
      screenMonitor().logWithLevel(7, 31004, "Ignoring duplicate screen name and screen class");
      return;
    }
    auto screen = std::make_shared<APMScreen>(screenName, className, currentScreenInstanceID_++);
    screen->isManuallySet = true;
    APMSetViewControllerScreen(*top, screen);
    currentViewController_ = top;
    screenMonitor().logWithLevel(7, 31009, "Set screen name and screen class", Value(screenName.value_or("")),
                                 Value(className));
    const APMScreenRef previous = currentScreen_;
    currentScreen_ = screen;
    postScreenDidChangeNotification(previous, screen);
    logViewScreenEvent(previous, screen);
  });
}

void APMScreenViewReporter::viewControllerDidAppear(ui::ViewController& controller) {
  const bool trackable = APMIsTrackableViewController(controller);
  if (auto stack = APMKeyWindowStack()) {
    ui::Window* window = screenKeyWindow();
    if (window && window->root_view_controller() == &controller && !stack->entries.empty()) {
      const auto bottom = stack->entries.front().lock();
      if (bottom.get() != &controller) {
        stack = std::make_shared<APMPointerArray>();
        APMSetWindowStack(*window, stack);
      }
    }
    screenRemoveFromStack(*stack, controller, false);
    if (trackable) stack->entries.push_back(screenControllerRef(controller));
    APMCompactPointerArray(*stack);
    const auto visible = APMVisibleViewControllerInStack(*stack);
    if (visible && APMIsTrackableViewController(*visible)) setCurrentViewController(visible);
  }
  tellPerfDelegateDidAppear(controller, trackable);
}

void APMScreenViewReporter::viewControllerDidDisappear(ui::ViewController& controller) {
  if (auto stack = APMKeyWindowStack()) {
    screenRemoveFromStack(*stack, controller, true);
    APMCompactPointerArray(*stack);
    const auto visible = APMVisibleViewControllerInStack(*stack);
    if (visible && APMIsTrackableViewController(*visible)) setCurrentViewController(visible);
  }
  tellPerfDelegateDidDisappear(controller);
}

void APMScreenViewReporter::handleWindowDidResign() {
  ui::Window* window = screenKeyWindow();
  if (!window) return;
  const auto stack = APMWindowStack(*window);
  if (!stack || stack->entries.empty()) return;
  const auto visible = APMVisibleViewControllerInStack(*stack);
  if (visible && APMIsTrackableViewController(*visible)) setCurrentViewController(visible);
}

void APMScreenViewReporter::setCurrentViewController(const std::shared_ptr<ui::ViewController>& controller) {
  if (!controller) {
    screenMonitor().logWithLevel(4, 31005, "Received nil view controller");
    return;
  }
  onQueue([&] {
    if (currentViewController_.lock() == controller) {
      const auto screen = APMViewControllerScreen(*controller);
      screenMonitor().logWithLevel(7, 31006, "View controller already tracked. Class, ID",
                                   Value(std::string(controller->isa().name())),
                                   Value(screen ? screen->instanceID() : 0));
      return;
    }
    std::string className = APMUnqualifiedClassName(controller->isa().name());
    if (APMCodePointLength(className) > kMaxScreenClassLength) {
      const std::string original = className;
      std::size_t bytes = 0;
      for (std::size_t points = 0; bytes < className.size() && points < kMaxScreenClassLength; ++points) {
        ++bytes;
        while (bytes < className.size() && (static_cast<unsigned char>(className[bytes]) & 0xC0) == 0x80) ++bytes;
      }
      className.resize(bytes);
      screenMonitor().logWithLevel(7, 31007,
                                   "Trimmed name of default screen class. Original screen class, trimmed screen class",
                                   Value(original), Value(className));
    }
    if (!screenValueIsValid(className)) {
      screenMonitor().logWithLevel(4, 31008, "Received invalid default screen class", Value(className));
      return;
    }
    APMScreenRef screen = APMViewControllerScreen(*controller);
    if (!screen) {
      screen = std::make_shared<APMScreen>(std::nullopt, className, currentScreenInstanceID_++);
      APMSetViewControllerScreen(*controller, screen);
    }
    currentViewController_ = controller;
    if (APMScreensEqual(screen, currentScreen_)) return;
    screenMonitor().logWithLevel(7, 31010, "Tracking view controller. Class, ID", Value(screen->className()),
                                 Value(screen->instanceID()));
    const APMScreenRef previous = currentScreen_ ? currentScreen_->copy() : nullptr;
    currentScreen_ = screen;
    postScreenDidChangeNotification(previous, screen);
    logViewScreenEvent(previous, screen);
  });
}

void APMScreenViewReporter::postScreenDidChangeNotification(const APMScreenRef& previousScreen,
                                                            const APMScreenRef& newScreen) {
  if (!isAppActive()) return;
  if (previousScreen) APMForwardScreenChangeToSessions(previousScreen, newScreen);
  APMForwardScreenChangeToAdExposure(previousScreen, newScreen);
}

void APMScreenViewReporter::logViewScreenEvent(const APMScreenRef& previousScreen, const APMScreenRef& newScreen) {
  if (!newScreen || !APMIsAutomaticScreenReportingEnabled()) return;
  if (!isAppActive()) {
    screenMonitor().logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  Dict parameters = APMScreenParameters(newScreen);
  for (const auto& [key, value] : APMPreviousScreenParameters(previousScreen)) parameters.set(key, value);
  if (!APMHasScreenParameters(parameters)) {
    screenMonitor().logWithLevel(1, 31012, "Screen view event not logged. Screen parameters were empty");
    return;
  }
  previousScreen_ = newScreen;
  APMAnalytics::logInternalEventWithOrigin("auto", "_vs", parameters);
}

void APMScreenViewReporter::handleApplicationDidBecomeActive() {
  isAppActive_ = true;
  APMForwardActivationToSessions();
  APMForwardActivationToAdExposure();
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  queue_.async([weak] {
    auto self = weak.lock();
    if (!self || APMScreensEqual(self->previousScreen_, self->currentScreen_)) return;
    self->logViewScreenEvent(self->previousScreen_, self->currentScreen_);
  });
}

void APMScreenViewReporter::handleApplicationWillResignActive() {
  if (!isAppActive()) return;
  APMScreenRef screen;
  if (APMIsAutomaticScreenReportingEnabled()) screen = currentScreen();
  APMForwardResignationToSessions(screen);
  APMForwardResignationToAdExposure(screen);
  isAppActive_ = false;
}

void APMScreenViewReporter::setDavidizePerfDelegate(const rt::Id& delegate) {
  if (delegate && (!delegate->responds_to(sel::perfViewControllerDidAppear.id) ||
                   !delegate->responds_to(sel::perfViewControllerDidDisappear.id))) {
    screenMonitor().logWithLevel(1, 31019,
                                 "Incompatible versions of Dozada Analytics for Davidize and Davidize Performance "
                                 "detected. Automatic screen traces will not be captured.");
    return;
  }
  if (delegate && perfDelegate_.lock() && perfDelegate_.lock() != delegate) {
    screenMonitor().logWithLevel(4, 31016, "Tried to override screen reporter delegate");
    return;
  }
  perfDelegate_ = delegate;
}

void APMScreenViewReporter::tellPerfDelegateDidAppear(ui::ViewController& controller, bool tracked) {
  if (!APMMeasurement::remoteConfig()->isScreenViewReporterDelegateEnabled()) return;
  if (auto delegate = perfDelegate_.lock()) {
    rt::send_if_responds(*delegate, sel::perfViewControllerDidAppear, controller.shared_from_this(), tracked);
  }
}

void APMScreenViewReporter::tellPerfDelegateDidDisappear(ui::ViewController& controller) {
  if (!APMMeasurement::remoteConfig()->isScreenViewReporterDelegateEnabled()) return;
  if (auto delegate = perfDelegate_.lock()) {
    rt::send_if_responds(*delegate, sel::perfViewControllerDidDisappear, controller.shared_from_this());
  }
}

// ---- load-time hooks ----------------------------------------------------------------

void APMScreenViewReporter::load() {
  if (!APMAEU::isOSSupported()) return;
  static std::once_flag once;
  std::call_once(once, [] {
    // Made now, so the reporter follows the application's notifications from launch.
    sharedInstance();
    const std::string service(kAPMLogService);
    if (!APMIsAutomaticScreenReportingEnabled()) {
      core::GULLogInfo(service, false, apmMessageCode(36001).c_str(), "%s",
                       "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
      return;
    }
    rt::Runtime& runtime = rt::Runtime::shared();
    if (runtime.find("FIRADatabase")) {
      core::GULLogWarning(service, false, apmMessageCode(36005).c_str(), "%s",
                          "Detected an older version of Dozada Analytics for Davidize framework. Please upgrade to the "
                          "latest version of Dozada Analytics for Davidize.");
      return;
    }
    rt::Class* base = runtime.find("UIViewController");
    const rt::Imp appear = core::GULSwizzler::currentImplementationForClass(base, ui::sel::view_did_appear.id, false);
    const rt::Imp disappear =
        core::GULSwizzler::currentImplementationForClass(base, ui::sel::view_did_disappear.id, false);
    if (!appear) {
      core::GULLogWarning(service, false, apmMessageCode(36003).c_str(), "%s",
                          "Failed to get old implementation of -[UIViewController viewDidAppear:]. UIViewController "
                          "transitions will not be logged.");
    }
    if (!disappear) {
      core::GULLogWarning(service, false, apmMessageCode(36004).c_str(), "%s",
                          "Failed to get old implementation of -[UIViewController viewDidDisappear:]. "
                          "UIViewController transitions will not be logged.");
    }
    if (!appear || !disappear) return;
    core::GULSwizzler::swizzleClass(base, ui::sel::view_did_appear, [appear](rt::Object& self, bool animated) {
      appear.call(ui::sel::view_did_appear, self, animated);
      if (auto* controller = dynamic_cast<ui::ViewController*>(&self)) {
        sharedInstance()->viewControllerDidAppear(*controller);
      }
    });
    core::GULSwizzler::swizzleClass(base, ui::sel::view_did_disappear, [disappear](rt::Object& self, bool animated) {
      disappear.call(ui::sel::view_did_disappear, self, animated);
      if (auto* controller = dynamic_cast<ui::ViewController*>(&self)) {
        sharedInstance()->viewControllerDidDisappear(*controller);
      }
    });
    if (runtime.find("DAVIdovivove")) {
      core::GULLogInfo(service, false, apmMessageCode(36002).c_str(),
                       "Analytics screen reporting is enabled. Call +[DAVIdovivove setScreenName:setScreenClass:] to "
                       "set the screen name or override the default screen class name. To disable screen reporting, "
                       "set the flag %s to NO (boolean) in the Info.plist",
                       "DavidizeScreenReportingEnabled");
    }
  });
}

}  // namespace analytics
