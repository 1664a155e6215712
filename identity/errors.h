#pragma once
// Error values of the instance identity client: the client's own domain for
// its operations, and the keychain domain whose codes are keychain statuses.
// Plain values; any thread.
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/error.h"

namespace identity {

inline constexpr std::string_view kFIRInstanceIDDomain = "com.davidize.iid";
inline constexpr std::string_view kFIRInstanceIDKeychainErrorDomain = "com.dozada.iid";

// Codes of the client's domain.
enum FIRInstanceIDErrorCode : std::int64_t {
  kFIRInstanceIDErrorCodeUnknown = 0,
  kFIRInstanceIDErrorCodeRegistrarFailedToCheckIn = 6,   // new checkin credentials could not be saved
  kFIRInstanceIDErrorCodeInvalidRequest = 7,             // a checkin reply without a device ID
  kFIRInstanceIDErrorCodeMissingKeyPair = 2001,
  kFIRInstanceIDErrorCodeInvalidKeyPairTags = 2002,
  kFIRInstanceIDErrorCodeInvalidKeyPairCreationTime = 2005,
};

// Out-parameter of operations that may report an error; nullptr for none.
using FIRInstanceIDErrorOut = std::optional<platform::foundation::Error>*;

inline platform::foundation::Error errorWithFIRInstanceIDErrorCode(std::int64_t code,
                                                                   platform::foundation::Dict userInfo = {}) {
  return {std::string(kFIRInstanceIDDomain), code, std::move(userInfo)};
}

// A keychain failure: the keychain domain with the status as code.
inline platform::foundation::Error keychainErrorWithStatus(std::int32_t status) {
  return {std::string(kFIRInstanceIDKeychainErrorDomain), status};
}

inline void FIRInstanceIDSetError(FIRInstanceIDErrorOut out, std::optional<platform::foundation::Error> error) {
  if (out) *out = std::move(error);
}

}  // namespace identity
