#pragma once
// FIRInstanceIDCheckinService: the HTTP exchange with the device checkin
// endpoint. One URL session per service; completions run on the session's
// delegate queue (or wherever the class-wide test hook calls them). Calls may
// come from any thread.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "identity/checkin_preferences.h"
#include "platform/foundation/expected.h"
#include "platform/net/http.h"

namespace platform::net {
class Session;
}

namespace identity {

inline constexpr std::string_view kFIRInstanceIDCheckinSessionDescription = "com.dozada.iid-checkin";

class FIRInstanceIDCheckinService {
 public:
  using Completion = std::function<void(FIRInstanceIDCheckinPreferencesRef, std::optional<platform::foundation::Error>)>;
  using DataCompletion = std::function<void(std::optional<platform::foundation::Bytes>,
                                            std::shared_ptr<const platform::net::Response>,
                                            std::optional<platform::foundation::Error>)>;
  // Receives every request instead of the session while set.
  using TestBlock = std::function<void(const platform::net::Request&, DataCompletion)>;

  FIRInstanceIDCheckinService();
  // Invalidates the session (outstanding requests are cancelled) and clears the test hook.
  ~FIRInstanceIDCheckinService();
  FIRInstanceIDCheckinService(const FIRInstanceIDCheckinService&) = delete;
  FIRInstanceIDCheckinService& operator=(const FIRInstanceIDCheckinService&) = delete;

  void checkinWithExistingCheckin(FIRInstanceIDCheckinPreferencesRef existing, Completion completion);
  platform::foundation::Dict checkinParametersWithExistingCheckin(const FIRInstanceIDCheckinPreferences* existing) const;
  // Invalidates the session and cancels its tasks; later checkins fail with
  // a cancellation error without a request.
  void stopFetching();
  static void setCheckinTestBlock(TestBlock block);

  // The reply steps: a new record, or the transport, JSON or missing-ID error.
  static platform::foundation::Expected<FIRInstanceIDCheckinPreferencesRef> checkinPreferencesFromReply(
      const std::optional<platform::foundation::Bytes>& data, const std::optional<platform::foundation::Error>& error);

  const std::shared_ptr<platform::net::Session>& session() const { return session_; }

 private:
  std::mutex mutex_;
  std::shared_ptr<platform::net::Session> session_;
  bool stopped_ = false;
};

}  // namespace identity
