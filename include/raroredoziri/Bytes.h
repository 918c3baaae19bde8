// Byte strings: requests, frames and replies. The length travels with the
// content; any byte value, 0x00 included, may occur.
#pragma once

#include <cstdint>
#include <vector>

namespace rd {

using Bytes = std::vector<std::uint8_t>;

}  // namespace rd
