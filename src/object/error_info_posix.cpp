// Without a component runtime the thread's error information is a plain
// per-thread record with the same fields.
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Text.h"

namespace rd {
namespace {
thread_local std::optional<ErrorRecord> t_error;
}

std::int32_t FaultToStatus(const Fault& fault) noexcept {
  std::int32_t status = kStatusUnexpected;
  try {
    ErrorRecord record;
    record.guid = kErrorGuid;
    record.source = kErrorSource;
    record.description = AnsiToWide(fault.Text());
    record.help_context = fault.HelpContext();
    if (const auto* platform = dynamic_cast<const PlatformCallError*>(&fault)) {
      if (platform->Status() < 0) status = platform->Status();
    }
    t_error = std::move(record);
  } catch (...) {
    // Like a failed CreateErrorInfo: the status without new error information.
  }
  return status;
}

std::optional<ErrorRecord> TakeErrorInfo() {
  std::optional<ErrorRecord> record = std::move(t_error);
  t_error.reset();
  return record;
}

}  // namespace rd
