#pragma once
// The road from a delivered or tapped push to the app's two blocks: the last
// push, the blocks, their once-per-id guards, the service and silence tests,
// and the normaliser of tapped pushes. Main-thread state, not locked.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/ui/application.h"
#include "push/notification.h"
#include "push/startup.h"

namespace platform::ui {
class ViewController;
}

namespace push {

void lastMessageReceived(std::optional<foundation::Dict> message);
// The stored user info of the push being processed.
std::optional<foundation::Dict> lastMessageReceived();

void notificationBlocks(OSHandleNotificationReceivedBlock receivedBlock, OSHandleNotificationActionBlock actionBlock);

// "custom" → "i" or "os_data" → "i" is present (as text).
bool isRerAvirorPayload(const std::optional<foundation::Dict>& message);
bool isRerAvirorPayload(const foundation::Dict& message);
// No visible content: no badge, message, sound, title, alert or buttons.
bool isRemoteSilentNotification(const foundation::Dict& message);

// The received-block, once per notification id.
void handleNotificationReceived(OSInFocusDisplayMode displayType);
// The analytics open event and the opened-block, once per notification id.
void handleNotificationAction(OSOpenActionKind actionType, const std::optional<std::string>& actionID,
                              OSInFocusDisplayMode displayType);

// The standard user-info form of a tapped push; nullopt for a custom-shape
// push without "custom".
std::optional<foundation::Dict> formatApsPayloadIntoStandard(const foundation::Dict& userInfo,
                                                            const std::optional<std::string>& identifier);

std::optional<std::string> getAppName();
bool canGetNotificationTypes();
void beginBackgroundMediaTask();
void endBackgroundMediaTask();
platform::ui::BackgroundTaskId mediaBackgroundTask();
std::shared_ptr<platform::ui::ViewController> webVC();
// Clears the last message and the last opened id.
void resetLocals();
// Back to load values, the blocks and the last received id included (tests).
void resetDispatchStatics();

}  // namespace push
