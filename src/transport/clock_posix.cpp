#include <time.h>

#include "transport/seams.h"

namespace rd::transport {

std::uint32_t PlatformTickCount() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps at 2^32 like the Windows counter
}

}  // namespace rd::transport
