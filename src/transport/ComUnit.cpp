// The serial channel: the one process-wide serial port, its port number and
// parity, and the request/reply logic on top of the platform port.
#include <array>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"
#include "transport/serial_port.h"

namespace rd {
namespace {

struct SerialChannel {
  transport::SerialPort port;     // ComHandle
  std::uint16_t port_number = 0;  // ComPortNumber
  std::uint8_t parity = 0;        // ComParity
};

SerialChannel& Channel() {
  static SerialChannel channel;
  return channel;
}

using ReadBuffer = std::array<std::uint8_t, kComBufferSize>;

}  // namespace

std::uint16_t ComPortNumber() { return Channel().port_number; }

void SetComPortNumber(std::uint16_t port) { Channel().port_number = port; }

std::uint8_t ComParity() { return Channel().parity; }

void SetComParity(std::uint8_t parity) { Channel().parity = parity; }

bool ComIsOpen() { return Channel().port.IsOpen(); }

bool ComOpen(std::int32_t in_queue, std::int32_t out_queue, std::int32_t baud) {
  if (in_queue < 0 || out_queue < 0 || baud < 0) RaiseRangeError();
  SerialChannel& channel = Channel();
  channel.port.Close();
  if (!channel.port.Open(channel.port_number)) return false;
  // A port that opened but refused its settings stays open until the next
  // ComOpen or ComClose.
  return channel.port.Configure(static_cast<std::uint32_t>(in_queue),
                                static_cast<std::uint32_t>(out_queue),
                                static_cast<std::uint32_t>(baud), channel.parity);
}

void ComClose() { Channel().port.Close(); }

std::int32_t ComWrite(const Bytes& data) {
  if (data.size() > kComBufferSize) RaiseRangeError();
  transport::SerialPort& port = Channel().port;
  // Whatever is waiting now belongs to an earlier exchange.
  port.DiscardInput();
  return static_cast<std::int32_t>(port.Write(data.data(), data.size()));
}

std::int32_t ComRead(Bytes& buffer) {
  buffer.clear();
  ReadBuffer chunk;
  const auto read = Channel().port.Read(chunk.data(), chunk.size(), chunk.size());
  buffer.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(read.count));
  return static_cast<std::int32_t>(read.count);
}

Bytes ComReceive(std::int32_t expected) {
  Bytes reply;
  const std::uint32_t start = TickCount();
  ReadBuffer chunk;
  while (static_cast<std::int64_t>(reply.size()) != expected) {
    // A read may end as soon as the rest of the reply is in; after an
    // overshoot it just gathers what still comes.
    const std::int64_t missing = expected - static_cast<std::int64_t>(reply.size());
    const std::size_t enough = missing > 0 ? static_cast<std::size_t>(missing) : chunk.size();
    // The port is looked up afresh each time: the pump may run host code
    // that closes or reopens it.
    const auto read = Channel().port.Read(chunk.data(), chunk.size(), enough);
    reply.insert(reply.end(), chunk.begin(),
                 chunk.begin() + static_cast<std::ptrdiff_t>(read.count));
    PumpMessages();
    if (read.failed) break;  // a closed or vanished port fails every read at once
    if (static_cast<std::uint32_t>(TickCount() - start) > kComReceiveBudgetMs) break;
  }
  return reply;
}

}  // namespace rd
