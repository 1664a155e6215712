#pragma once
// Screen tracking: APMScreenViewReporter, the per-window stacks of view
// controllers, the screen attached to each controller, the visible-controller
// walk and the view-controller hooks installed at load time.
//
// Threads: view transitions, window and application notifications, manual
// naming, the stacks and the controllers' screens belong to the main thread.
// The reporter's screen fields live on its serial queue "APMScreenViewReporter"
// (main waits for each hop); screenParameters and isAppActive may be called
// from any thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/sessions/screen.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification.h"
#include "platform/runtime/runtime.h"

namespace platform::ui {
class ViewController;
class Window;
}  // namespace platform::ui

namespace analytics {

// The performance delegate's selectors: the controller and whether analytics tracked it.
namespace sel {
inline const platform::rt::Sel<void(platform::rt::Id, bool)> perfViewControllerDidAppear{
    "viewControllerDidAppear:trackedByAnalytics:"};
inline const platform::rt::Sel<void(platform::rt::Id)> perfViewControllerDidDisappear{"viewControllerDidDisappear:"};
}  // namespace sel

// A window's controllers, held weakly, oldest first (null entries until compaction).
struct APMPointerArray {
  std::vector<std::weak_ptr<platform::ui::ViewController>> entries;
};
using APMPointerArrayRef = std::shared_ptr<APMPointerArray>;

// Keys of the controller's screen and the window's stack among their associated objects.
extern const char kAPMScreenAssociationKey;
extern const char kAPMStackAssociationKey;

// The screen attached to a controller; a foreign object there is logged
// (36000), removed and read as nothing.
APMScreenRef APMViewControllerScreen(platform::ui::ViewController& controller);
void APMSetViewControllerScreen(platform::ui::ViewController& controller, const APMScreenRef& screen);
// The stack attached to a window (38000 for a foreign object, as above).
APMPointerArrayRef APMWindowStack(platform::ui::Window& window);
void APMSetWindowStack(platform::ui::Window& window, const APMPointerArrayRef& stack);
// The key window's stack, attached on first use; nullptr without a key window.
APMPointerArrayRef APMKeyWindowStack();
// Drops the entries whose controllers are gone.
void APMCompactPointerArray(APMPointerArray& stack);
// Not trackable: a class from outside the main image whose screen class (or
// its superclass's) begins with "_". Otherwise: its view is loaded and inside
// the key window.
bool APMIsTrackableViewController(platform::ui::ViewController& controller);
// The controller on screen, from the top of the stack down; the bottom live
// entry when the walk finds none; nullptr (31011) for an empty stack.
std::shared_ptr<platform::ui::ViewController> APMVisibleViewControllerInStack(APMPointerArray& stack);

class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
 public:
  static constexpr std::string_view kQueueLabel = "APMScreenViewReporter";
  static constexpr std::size_t kMaxScreenClassLength = 100;

  // Made once; observes the window-resign-key, did-become-active and
  // will-resign-active notifications.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();
  // Load time: installs the appearance hooks on "UIViewController" once per
  // process (36001-36005 through the core logger).
  static void load();

  APMScreenViewReporter();
  ~APMScreenViewReporter();
  APMScreenViewReporter(const APMScreenViewReporter&) = delete;
  APMScreenViewReporter& operator=(const APMScreenViewReporter&) = delete;

  bool isAppActive() const { return isAppActive_.load(); }
  // "_sc", "_si" and a non-empty "_sn" of the current screen as APMValues;
  // empty unless screen reporting is on, the app active and a class known.
  platform::foundation::Dict screenParameters();
  void getScreenName(std::optional<std::string>* screenName, std::optional<std::string>* screenClass);
  void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);

  // The hooks.
  void viewControllerDidAppear(platform::ui::ViewController& controller);
  void viewControllerDidDisappear(platform::ui::ViewController& controller);
  void setCurrentViewController(const std::shared_ptr<platform::ui::ViewController>& controller);

  // On the queue.
  void postScreenDidChangeNotification(const APMScreenRef& previousScreen, const APMScreenRef& newScreen);
  void logViewScreenEvent(const APMScreenRef& previousScreen, const APMScreenRef& newScreen);

  // Notification handlers (main thread).
  void handleWindowDidResign();
  void handleApplicationDidBecomeActive();
  void handleApplicationWillResignActive();

  // Refused with 31019 when the object lacks either selector, with 31016 when
  // another delegate is set; nullptr clears it.
  void setDavidizePerfDelegate(const platform::rt::Id& delegate);
  platform::rt::Id davidizePerfDelegate() const { return perfDelegate_.lock(); }

  // Read on the queue.
  APMScreenRef currentScreen();
  APMScreenRef previousScreen();

 private:
  // Runs the block on the queue and waits; inline when already on it.
  void onQueue(const std::function<void()>& block);
  void observe();
  void tellPerfDelegateDidAppear(platform::ui::ViewController& controller, bool tracked);
  void tellPerfDelegateDidDisappear(platform::ui::ViewController& controller);

  platform::dispatch::Queue queue_;
  std::vector<platform::foundation::NotificationCenter::Token> observers_;
  std::atomic<bool> isAppActive_{false};
  std::weak_ptr<platform::rt::Object> perfDelegate_;  // main thread
  // On the queue.
  std::weak_ptr<platform::ui::ViewController> currentViewController_;
  APMScreenRef currentScreen_;
  APMScreenRef previousScreen_;
  std::int64_t currentScreenInstanceID_ = 0;
};

}  // namespace analytics
