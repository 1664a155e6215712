#pragma once
// OS side of user notifications: the answer to a pending prompt and the
// arrival of notifications and responses. The app never calls these.
#include <cstdint>
#include <functional>

#include "platform/notify/center.h"

namespace platform::notify::system {

// Answers the pending authorisation prompts (profile prompt_answer "ask"): the
// centre's waiting completions run on its queue, the legacy prompt's waiting
// answers on the calling thread. Later requests get the same answer.
void answer_authorization(bool granted);

// Called on the main thread, on its next turn, for each request the centre
// delivers (at once, or when its trigger interval has passed); the simulator
// prints them. Empty to stop.
void set_delivery_observer(std::function<void(const Notification&)> observer);

// A notification arriving while the app is in front: on the main thread, the
// centre's delegate gets will-present when it responds to it. `on_options`
// gets the presentation options of the first completion call. False when there
// is no centre (the message is dropped).
bool present(Notification notification, std::function<void(std::uint32_t)> on_options = {});

// A response to a notification: on the main thread, the centre's delegate gets
// did-receive when it responds to it; `on_done` runs at the first completion call.
bool deliver_response(rt::Id response, std::function<void()> on_done = {});

// Wraps a completion so that only the first call acts; later calls are written
// to the system log, naming `what`, and ignored (as ui::once does for the
// application's completions).
PresentCompletion single_shot(PresentCompletion completion, const char* what);
std::function<void()> single_shot(std::function<void()> completion, const char* what);

}  // namespace platform::notify::system
