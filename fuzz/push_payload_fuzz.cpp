// A delivered push's user info (JSON, as the service sends it) read into the
// payload record, the notification built on it, and the web addresses the
// payload carries (attachment media and the launch URL) as the client checks
// them before it downloads or opens anything.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "fuzz/support.h"
#include "platform/foundation/json.h"
#include "platform/foundation/url.h"
#include "push/attachments.h"
#include "push/notification.h"
#include "push/notification_dispatch.h"
#include "push/payload.h"
#include "push/utilities.h"

namespace {

namespace foundation = platform::foundation;
namespace json = foundation::json;

using fuzz::check;

void check_media(const std::string& text) {
  auto trimmed = push::trimURLSpacing(text);
  check(trimmed.has_value() && trimmed->size() <= text.size());
  auto url = foundation::Url::parse(*trimmed);
  check(push::verifyURL(trimmed) == url.has_value());
  if (!url) {
    if (auto extension = push::supportedFileExtension(*trimmed)) check(trimmed->ends_with("." + *extension));
    return;
  }
  (void)push::isWWWScheme(*url);
  if (auto extension = push::supportedFileExtension(url->path_extension())) check(!extension->empty());
  if (auto name = push::valueFromQueryParameter(*url, "filename")) (void)push::supportedFileExtension(*name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  auto parsed = json::parse(std::span<const std::uint8_t>(data, size));
  if (!parsed || !parsed->dict()) return 0;
  const foundation::Dict& message = *parsed->dict();

  auto payload = push::OSNotificationPayload::parseWithApns(message);
  check(payload != nullptr && payload->rawPayload() == message);
  (void)push::isRemoteSilentNotification(message);
  if (const auto& buttons = payload->actionButtons()) {
    for (const auto& button : *buttons) check(button["id"].string() && button["text"].string());
  }
  if (const auto& attachments = payload->attachments()) {
    for (const auto& [identifier, value] : *attachments) {
      if (const std::string* text = value.string()) check_media(*text);
    }
  }
  if (const auto& launch = payload->launchURL()) check_media(*launch);

  // What the notification writes for the app's handlers reads back as JSON.
  push::OSNotification notification(payload, 0);
  auto again = json::parse(notification.stringify());
  check(again.has_value() && again->dict() != nullptr);
  return 0;
}
