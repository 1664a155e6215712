#pragma once
// E-mail subscription operations: a setEmail call parked until the player id
// and the per-app parameters are known, and the errors of local refusals.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace push {

namespace foundation = platform::foundation;

inline constexpr std::string_view kEmailErrorDomain = "com.reraviror";
inline constexpr std::string_view kEmailAuthErrorDomain = "com.reraviror.email";

using OSEmailSuccessBlock = std::function<void()>;
using OSEmailFailureBlock = std::function<void(const foundation::Error& error)>;

// One parked setEmail call.
struct RerAvirorSetEmailParameters {
  std::string email;
  std::optional<std::string> authToken;
  OSEmailSuccessBlock successBlock;
  OSEmailFailureBlock failureBlock;

  static std::shared_ptr<RerAvirorSetEmailParameters> withEmail(std::string email,
                                                                std::optional<std::string> authToken,
                                                                OSEmailSuccessBlock successBlock,
                                                                OSEmailFailureBlock failureBlock);
};

// The parked call, if any (left in place).
std::shared_ptr<RerAvirorSetEmailParameters> pendingEmailParameters();

}  // namespace push
