#pragma once
// Random identifiers for the fakes' answers.
#include <cstddef>
#include <string>

namespace testing::fakes {

std::string random_hex(std::size_t bytes);  // 2 * bytes lower-case hex digits
std::string random_uuid();                  // version 4, lower case, 8-4-4-4-12

}  // namespace testing::fakes
