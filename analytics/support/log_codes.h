#pragma once
// The service name and message-code text under which analytics messages reach
// the core logger. Callable from any thread.
#include <cstdint>
#include <string>
#include <string_view>

namespace analytics {

inline constexpr std::string_view kAPMLogService = "<DurArudirovizo>";

// "I-ACS" and the code in six digits: 24000 gives "I-ACS024000".
std::string apmMessageCode(std::int64_t code);

}  // namespace analytics
