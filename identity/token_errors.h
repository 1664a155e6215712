#pragma once
// The client's error codes beyond the storage ones, and the error helpers of
// the token operations and the facade. Plain values; any thread.
#include <cstdint>

#include "identity/errors.h"

namespace identity {

enum FIRInstanceIDTokenErrorCode : std::int64_t {
  kFIRInstanceIDErrorCodeMissingDeviceID = 501,
  kFIRInstanceIDErrorCodeFailedToSaveToken = 502,
  kFIRInstanceIDErrorCodeInvalidPushTokenType = 7,
  kFIRInstanceIDErrorCodeMissingAPNSToken = 1001,
  kFIRInstanceIDErrorCodeInvalidAuthorizedEntity = 1003,
  kFIRInstanceIDErrorCodeInvalidScope = 1004,
  kFIRInstanceIDErrorCodeInvalidStart = 1005,
  kFIRInstanceIDErrorCodeInvalidKeyPair = 1006,
  kFIRInstanceIDErrorCodeInvalidIdentity = 2006,
};

// The code of an error of any domain (instanceIDErrorCode).
inline std::int64_t instanceIDErrorCode(const platform::foundation::Error& error) { return error.code; }

// 501 with {"msg": "Missing device credentials. Retry later."}.
inline platform::foundation::Error FIRInstanceIDErrorMissingCheckin() {
  return errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeMissingDeviceID,
                                         {{"msg", "Missing device credentials. Retry later."}});
}

}  // namespace identity
