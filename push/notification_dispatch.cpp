#include "push/notification_dispatch.h"

#include <mutex>
#include <utility>

#include "platform/os/bundle.h"
#include "push/analytics_bridge.h"
#include "push/presentation.h"
#include "push/utilities.h"

namespace push {

using foundation::Array;
using foundation::Dict;
using foundation::Value;

namespace {

struct DispatchState {
  std::mutex mutex;
  std::optional<Dict> lastMessage;
  OSHandleNotificationReceivedBlock receivedBlock;
  OSHandleNotificationActionBlock actionBlock;
  std::optional<std::string> lastReceivedNotificationID = std::string();
  std::optional<std::string> lastOpenedNotificationID;
  platform::ui::BackgroundTaskId mediaBackgroundTask = platform::ui::background_task_invalid;
  int mediaTaskUsers = 0;  // begun and not yet ended uses of mediaBackgroundTask
};

DispatchState& ds() {
  static auto* s = new DispatchState();
  return *s;
}

bool hasKey(const Value& container, std::string_view key) { return !container[key].is_null(); }

// A missing id never matches: a push without one is never a repeat.
bool sameId(const std::optional<std::string>& id, const std::optional<std::string>& last) {
  return id && last && *id == *last;
}

Array standardButtons(const Array& list) {
  Array out;
  for (const Value& entry : list) {
    const std::string* name = entry["n"].string();
    if (!name) continue;
    const std::string* id = entry["i"].string();
    out.emplace_back(Dict{{"text", *name}, {"id", id ? *id : *name}});
  }
  return out;
}

}  // namespace

void lastMessageReceived(std::optional<Dict> message) {
  std::lock_guard lock(ds().mutex);
  ds().lastMessage = std::move(message);
}

std::optional<Dict> lastMessageReceived() {
  std::lock_guard lock(ds().mutex);
  return ds().lastMessage;
}

void notificationBlocks(OSHandleNotificationReceivedBlock receivedBlock, OSHandleNotificationActionBlock actionBlock) {
  std::lock_guard lock(ds().mutex);
  ds().receivedBlock = std::move(receivedBlock);
  ds().actionBlock = std::move(actionBlock);
}

bool isRerAvirorPayload(const Dict& message) {
  return message.get("custom")["i"].is_string() || message.get("os_data")["i"].is_string();
}

bool isRerAvirorPayload(const std::optional<Dict>& message) { return message && isRerAvirorPayload(*message); }

bool isRemoteSilentNotification(const Dict& m) {
  const Value& aps = m.get("aps");
  if (!m.get("badge").is_null()) return false;
  if (hasKey(aps, "badge")) return false;
  if (!m.get("m").is_null()) return false;
  if (!m.get("o").is_null()) return false;
  if (!m.get("s").is_null()) return false;
  if (const std::string* title = m.get("title").string(); title && !title->empty()) return false;
  if (!m.get("sound").is_null()) return false;
  if (hasKey(aps, "sound")) return false;
  if (hasKey(aps, "alert")) return false;
  if (hasKey(m.get("os_data"), "buttons")) return false;
  return true;
}

void handleNotificationReceived(OSInFocusDisplayMode displayType) {
  OSHandleNotificationReceivedBlock block;
  std::optional<Dict> message;
  {
    std::lock_guard lock(ds().mutex);
    block = ds().receivedBlock;
    message = ds().lastMessage;
  }
  if (!block || !isRerAvirorPayload(message)) return;
  auto payload = OSNotificationPayload::parseWithApns(message);
  auto notification = std::make_shared<OSNotification>(payload, displayType);
  {
    std::lock_guard lock(ds().mutex);
    if (sameId(payload->notificationID(), ds().lastReceivedNotificationID)) return;
    ds().lastReceivedNotificationID = payload->notificationID();
  }
  block(notification);
}

void handleNotificationAction(OSOpenActionKind actionType, const std::optional<std::string>& actionID,
                              OSInFocusDisplayMode displayType) {
  std::optional<Dict> message;
  {
    std::lock_guard lock(ds().mutex);
    message = ds().lastMessage;
  }
  if (!isRerAvirorPayload(message)) return;
  auto action = std::make_shared<OSNotificationAction>(actionType, actionID);
  auto payload = OSNotificationPayload::parseWithApns(message);
  auto notification = std::make_shared<OSNotification>(payload, displayType);
  auto result = std::make_shared<OSNotificationOpenedResult>(notification, action);
  OSHandleNotificationActionBlock block;
  {
    std::lock_guard lock(ds().mutex);
    if (sameId(payload->notificationID(), ds().lastOpenedNotificationID)) return;
    ds().lastOpenedNotificationID = payload->notificationID();
    block = ds().actionBlock;
  }
  RerAvirorTrackDavidizeAnalytics::trackOpenEvent(*result);
  if (block) block(result);
}

std::optional<Dict> formatApsPayloadIntoStandard(const Dict& userInfo, const std::optional<std::string>& identifier) {
  const bool dataShape = userInfo.get("os_data").is_dict();
  Dict copy = userInfo;
  Dict additional;
  Dict custom;
  const Array* buttonList = nullptr;
  bool listForm = false;

  if (dataShape) {
    const Value& buttons = userInfo.get("os_data")["buttons"];
    if (const Array* list = buttons.array()) {
      buttonList = list;
      listForm = true;
    } else {
      buttonList = buttons["o"].array();
    }
  } else {
    const Dict* customIn = userInfo.get("custom").dict();
    if (!customIn) return std::nullopt;
    custom = *customIn;
    if (const Dict* a = custom.get("a").dict()) additional = *a;
    buttonList = userInfo.get("o").array();
  }

  if (buttonList) additional.set("actionButtons", standardButtons(*buttonList));
  // An empty identifier names no action, like a missing one.
  if (identifier && !identifier->empty() && *identifier != platform::notify::default_action)
    additional.set("actionSelected", *identifier);

  if (!additional.empty()) {
    if (dataShape) {
      for (const auto& [key, value] : additional) copy.set(key, value);
      const Value& buttons = userInfo.get("os_data")["buttons"];
      // A message-less short form keeps its "aps": an alert of nothing is no alert.
      if (!listForm && !buttons.is_null() && !buttons["m"].is_null())
        copy.set("aps", Dict{{"alert", buttons["m"]}});
    } else {
      custom.set("a", std::move(additional));
      copy.set("custom", std::move(custom));
      if (!copy.get("m").is_null()) copy.set("aps", Dict{{"alert", copy.get("m")}});
    }
  }
  return copy;
}

std::optional<std::string> getAppName() {
  if (const std::string* name = platform::os::Bundle::main().object_for_info_key("CFBundleName").string()) return *name;
  return std::nullopt;
}

bool canGetNotificationTypes() { return isIOSVersionGreaterOrEqual(8.0); }

namespace {
// Empties the media task's slot (under the dispatch lock) and gives what it held.
platform::ui::BackgroundTaskId takeMediaTaskLocked() {
  ds().mediaTaskUsers = 0;
  return std::exchange(ds().mediaBackgroundTask, platform::ui::background_task_invalid);
}

void endBackgroundTask(platform::ui::BackgroundTaskId id) {
  auto* app = platform::ui::Application::shared();
  if (app && id != platform::ui::background_task_invalid) app->end_background_task(id);
}

// Ends the media task whoever still uses it (its expiry).
void expireBackgroundMediaTask() {
  platform::ui::BackgroundTaskId id;
  {
    std::lock_guard lock(ds().mutex);
    id = takeMediaTaskLocked();
  }
  endBackgroundTask(id);
}
}  // namespace

// One task serves overlapping users (downloads on several threads), so none
// is overwritten in the slot and left running.
void beginBackgroundMediaTask() {
  auto* app = platform::ui::Application::shared();
  if (!app) return;
  {
    std::lock_guard lock(ds().mutex);
    if (ds().mediaBackgroundTask != platform::ui::background_task_invalid) {
      ++ds().mediaTaskUsers;
      return;
    }
  }
  const auto id = app->begin_background_task(std::nullopt, [] { expireBackgroundMediaTask(); });
  bool spare = false;
  {
    std::lock_guard lock(ds().mutex);
    if (ds().mediaBackgroundTask == platform::ui::background_task_invalid) {
      ds().mediaBackgroundTask = id;
      ds().mediaTaskUsers = 1;
    } else {
      ++ds().mediaTaskUsers;  // another thread began one meanwhile
      spare = true;
    }
  }
  if (spare) app->end_background_task(id);
}

void endBackgroundMediaTask() {
  platform::ui::BackgroundTaskId id;
  {
    std::lock_guard lock(ds().mutex);
    if (ds().mediaTaskUsers > 1) {
      --ds().mediaTaskUsers;
      return;
    }
    id = takeMediaTaskLocked();
  }
  endBackgroundTask(id);
}

platform::ui::BackgroundTaskId mediaBackgroundTask() {
  std::lock_guard lock(ds().mutex);
  return ds().mediaBackgroundTask;
}

std::shared_ptr<platform::ui::ViewController> webVC() { return presentWebVC(); }

void resetLocals() {
  std::lock_guard lock(ds().mutex);
  ds().lastMessage.reset();
  ds().lastOpenedNotificationID.reset();
}

void resetDispatchStatics() {
  std::lock_guard lock(ds().mutex);
  ds().lastMessage.reset();
  ds().receivedBlock = nullptr;
  ds().actionBlock = nullptr;
  ds().lastReceivedNotificationID = std::string();
  ds().lastOpenedNotificationID.reset();
  ds().mediaBackgroundTask = platform::ui::background_task_invalid;
  ds().mediaTaskUsers = 0;
}

}  // namespace push
