#include "raroredoziri/Fault.h"

namespace rd {

PlatformCallError::PlatformCallError(std::int32_t status)
    : Fault(StatusMessage(status)), status_(status) {}

void CheckStatus(std::int32_t status) {
  if (status < 0) throw PlatformCallError(status);
}

void RaiseRangeError() { throw Fault(kRangeCheckError); }

void RaiseIntegerOverflow() { throw Fault(kIntegerOverflow); }

}  // namespace rd
