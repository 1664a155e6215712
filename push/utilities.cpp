#include "push/utilities.h"

#include <cctype>
#include <cstdlib>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/text.h"
#include "platform/security/digest.h"
#include "platform/security/random.h"
#include "platform/ui/application.h"

namespace push {

namespace dispatch = platform::dispatch;
namespace foundation = platform::foundation;
namespace security = platform::security;

void runOnMainThread(const std::function<void()>& block) {
  if (dispatch::is_main_thread()) {
    block();
  } else {
    dispatch::Queue::main().sync(block);
  }
}

void dispatch_async_on_main_queue(std::function<void()> block) { dispatch::Queue::main().async(std::move(block)); }

void performOnMainThreadAfterDelay(const void* target, std::string_view what, double delay,
                                   std::function<void()> block) {
  dispatch::RunLoop::main().perform_after(target, what, dispatch::Duration(delay), std::move(block));
}

void cancelMainThreadPerform(const void* target, std::string_view what) {
  dispatch::RunLoop::main().cancel_perform_requests(target, what);
}

bool isIOSVersionGreaterOrEqual(double version) {
  const std::string text = platform::ui::Device::current().system_version();
  // Read as a float, as the threshold is: "10.3.1" counts as 10.3.
  return std::strtof(text.c_str(), nullptr) >= static_cast<float>(version);
}

std::string randomStringWithLength(int length) {
  static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string out;
  if (length <= 0) return out;
  out.reserve(static_cast<std::size_t>(length));
  for (int i = 0; i < length; ++i)
    out.push_back(kAlphabet[security::random_uniform(static_cast<std::uint32_t>(kAlphabet.size()))]);
  return out;
}

bool verifyURL(const std::optional<std::string>& text) {
  return text && foundation::Url::parse(*text).has_value();
}

bool isWWWScheme(const foundation::Url& url) {
  auto scheme = url.scheme();
  if (!scheme) return false;
  std::string lower;
  for (unsigned char c : *scheme) lower.push_back(static_cast<char>(std::tolower(c)));
  return lower == "http" || lower == "https";
}

std::optional<std::string> trimURLSpacing(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const std::string& s = *text;
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool isValidEmail(const std::optional<std::string>& text) {
  if (!text) return false;
  static const auto regex = foundation::text::Regex::compile(
      R"(^[a-zA-Z0-9.!#$%&'*+/=?^_`{|}~-]+@((\[[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\])|(([a-zA-Z\-0-9]+\.)+[a-zA-Z]{2,}))$)",
      true);
  return regex.has_value() && regex->count_matches(*text) > 0;
}

namespace {
std::string_view up_to_nul(std::string_view text) {
  const auto nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}
}  // namespace

std::string hashUsingSha1(std::string_view text) {
  const auto digest = security::sha1(security::bytes_of(up_to_nul(text)));
  return foundation::hex_lower(digest);
}

std::string hashUsingMD5(std::string_view text) {
  const auto digest = security::md5(security::bytes_of(up_to_nul(text)));
  return foundation::hex_lower(digest);
}

std::string one_substringAfter(std::string_view text, std::string_view search) {
  const auto at = text.find(search);
  if (search.empty() || at == std::string_view::npos) return std::string(text);
  return std::string(text.substr(at + search.size()));
}

std::string one_getVersionForRange(std::string_view compact, std::size_t location, std::size_t length) {
  if (location > compact.size()) return std::string();
  const std::string_view part = compact.substr(location, length);
  if (!part.empty() && part.front() == '0') return one_substringAfter(part, "0");
  return std::string(part);
}

std::string one_getSemanticVersion(std::string_view compact) {
  if (compact.size() < 6) return std::string(compact);
  return one_getVersionForRange(compact, 0, 2) + "." + one_getVersionForRange(compact, 2, 2) + "." +
         one_getVersionForRange(compact, 4, 2);
}

}  // namespace push
