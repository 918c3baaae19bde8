// Platform halves of the transport seams: the millisecond tick counter and
// the message pump that run when no test or host replaced them.
#pragma once

#include <cstdint>

namespace rd::transport {

// The platform's millisecond tick counter, wrapping at 2^32.
std::uint32_t PlatformTickCount() noexcept;

// Dispatches the calling thread's pending window messages (nothing where
// the platform has no message queue).
void PlatformPumpMessages();

}  // namespace rd::transport
