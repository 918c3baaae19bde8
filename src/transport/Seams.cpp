// The replaceable tick source and message pump.
#include "transport/seams.h"

#include <utility>

#include "raroredoziri/Transport.h"

namespace rd {
namespace {

TickSource& TickSourceSlot() {
  static TickSource source;
  return source;
}

MessagePump& MessagePumpSlot() {
  static MessagePump pump;
  return pump;
}

}  // namespace

void SetTickSource(TickSource source) { TickSourceSlot() = std::move(source); }

std::uint32_t TickCount() {
  const TickSource& source = TickSourceSlot();
  return source ? source() : transport::PlatformTickCount();
}

void SetMessagePump(MessagePump pump) { MessagePumpSlot() = std::move(pump); }

void PumpMessages() {
  const MessagePump& pump = MessagePumpSlot();
  if (pump) {
    pump();
  } else {
    transport::PlatformPumpMessages();
  }
}

}  // namespace rd
