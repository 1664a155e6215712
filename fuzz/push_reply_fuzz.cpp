// What the push client reads from the service and from the app as JSON: a
// reply body under a status, as the REST client turns it into a dictionary
// or an error, and the tag JSON the app hands over to send or delete.
// Input: a selector byte, then the bytes. For a reply, the second byte picks
// the status.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz/support.h"
#include "platform/foundation/json.h"
#include "platform/foundation/url.h"
#include "platform/net/http.h"
#include "push/client.h"
#include "push/reraviror.h"

namespace {

namespace foundation = platform::foundation;
namespace net = platform::net;

using fuzz::check;

void reply(int status, std::span<const std::uint8_t> body) {
  static push::RerAvirorClient& client = push::RerAvirorClient::sharedClient();
  static const auto url = *foundation::Url::parse("https://api.example.org/api/v1/players/x");
  auto response = std::make_shared<const net::Response>(net::Response::http(url, status, {}));
  auto request = std::make_shared<push::RerAvirorRequest>();
  request->setReattemptCount(push::RerAvirorClient::kMaxReattempts);  // never sent again
  std::optional<foundation::Bytes> data;
  if (!body.empty() || status % 2) data.emplace(body.begin(), body.end());

  int successes = 0, failures = 0;
  client.handleJSONNSURLResponse(
      response, data, std::nullopt, true, request,
      [&](const std::optional<foundation::Dict>& result) {
        ++successes;
        check(result.has_value() == (data && !data->empty()));
        if (result) (void)result->find("tags");
      },
      [&](const foundation::Error& error) {
        ++failures;
        check(error.code == status);
      });
  check(successes + failures == 1);
  if (successes) check(status == 200);
}

void tags(std::string_view text, bool deleting) {
  if (deleting) {
    push::RerAviror::deleteTagsWithJsonString(text);
  } else {
    push::RerAviror::sendTagsWithJsonString(text);
  }
  std::vector<std::shared_ptr<push::OSPendingCallbacks>> callbacks;
  // What waits for the batch is a flat object: no nested objects ever reach it.
  if (auto pending = push::RerAviror::takePendingTags(callbacks)) {
    for (const auto& [key, value] : *pending) check(!value.is_dict());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  if (size < 2) return 0;
  static constexpr std::array<int, 12> kStatuses{200, 200, 201, 202, 204, 400, 401, 404, 409, 410, 500, 503};
  const std::span<const std::uint8_t> rest(data + 2, size - 2);
  const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
  switch (data[0] % 3) {
    case 0: reply(kStatuses[data[1] % kStatuses.size()], rest); break;
    case 1: tags(text, false); break;
    default: tags(text, true); break;
  }
  return 0;
}
