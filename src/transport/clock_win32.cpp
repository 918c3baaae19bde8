#include <windows.h>

#include "transport/seams.h"

namespace rd::transport {

std::uint32_t PlatformTickCount() noexcept { return GetTickCount(); }

}  // namespace rd::transport
