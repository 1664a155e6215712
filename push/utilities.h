#pragma once
// Stateless helpers shared by the push client: main-thread dispatch, the
// system-version check, random identifiers, URL text, the e-mail check,
// hex digests and the dotted form of the compact version text.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/url.h"

namespace push {

// Runs the block on the main thread and waits for it (at once when already there).
void runOnMainThread(const std::function<void()>& block);

// Queues the block on the main queue.
void dispatch_async_on_main_queue(std::function<void()> block);

// Runs the block on the main run loop `delay` seconds from now (the delay
// starts at the call, not when the main thread next runs). `target` and
// `what` identify the request for cancelMainThreadPerform.
void performOnMainThreadAfterDelay(const void* target, std::string_view what, double delay,
                                   std::function<void()> block);
void cancelMainThreadPerform(const void* target, std::string_view what);

// The system version read as a float ("10.3.1" is 10.3) compared with a threshold such as 8.0.
bool isIOSVersionGreaterOrEqual(double version);

// `length` characters of [a-zA-Z0-9], uniformly chosen; "" for 0 or less.
std::string randomStringWithLength(int length);

// The URL parser accepts the text; false for nullopt.
bool verifyURL(const std::optional<std::string>& text);
// The scheme is http or https, in any case.
bool isWWWScheme(const platform::foundation::Url& url);
// Spaces and tabs off both ends; line breaks stay.
std::optional<std::string> trimURLSpacing(const std::optional<std::string>& text);

bool isValidEmail(const std::optional<std::string>& text);

// Lower-case hex digests of the text's bytes up to the first NUL.
std::string hashUsingSha1(std::string_view text);
std::string hashUsingMD5(std::string_view text);

// "020809" → "2.8.9", "100012" → "10.0.12". Text under six characters comes back unchanged.
std::string one_getSemanticVersion(std::string_view compact);
// Two characters; a leading "0" is dropped ("08" → "8", "00" → "0").
std::string one_getVersionForRange(std::string_view compact, std::size_t location, std::size_t length);
// The text after the first occurrence of `search`, or the whole text.
std::string one_substringAfter(std::string_view text, std::string_view search);

}  // namespace push
