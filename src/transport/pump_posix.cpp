#include "transport/seams.h"

namespace rd::transport {

// No window messages exist here: a serial wait has nothing to dispatch.
void PlatformPumpMessages() {}

}  // namespace rd::transport
