#include <cstdio>

#include "raroredoziri/Fault.h"

namespace rd {

// Without the platform's message table every status reads as its number.
std::string StatusMessage(std::int32_t status) {
  char text[32];
  std::snprintf(text, sizeof text, "OLE error %.8x", static_cast<unsigned>(status));
  return text;
}

}  // namespace rd
