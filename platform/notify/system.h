#pragma once
// OS side of user notifications: the answer to a pending prompt and the
// arrival of notifications and responses. The app never calls these.
#include <cstdint>
#include <functional>

#include "platform/notify/center.h"

namespace platform::notify::system {

// Answers the pending authorisation prompt (profile prompt_answer "ask"):
// every waiting completion runs on the centre's queue. Later requests get the
// same answer. No effect without a centre.
void answer_authorization(bool granted);

// A notification arriving while the app is in front: on the main thread, the
// centre's delegate gets will-present when it responds to it. `on_options`
// gets the presentation options of the first completion call. False when there
// is no centre (the message is dropped).
bool present(Notification notification, std::function<void(std::uint32_t)> on_options = {});

// A response to a notification: on the main thread, the centre's delegate gets
// did-receive when it responds to it; `on_done` runs at the first completion call.
bool deliver_response(rt::Id response, std::function<void()> on_done = {});

// Wraps a completion so that only the first call acts; later calls are written
// to the system log, naming `what`, and ignored.
PresentCompletion single_shot(PresentCompletion completion, const char* what);
std::function<void()> single_shot(std::function<void()> completion, const char* what);

}  // namespace platform::notify::system
