// The serial channel: a serial port, its port number and parity, and the
// request/reply logic on top of the platform port. The free Com* functions
// work on the process-wide channel.
#include <array>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"
#include "transport/Channels.h"
#include "transport/tcp_socket.h"

namespace rd {
namespace transport {
namespace {

using ReadBuffer = std::array<std::uint8_t, kComBufferSize>;

}  // namespace

bool SerialChannel::Open(std::int32_t in_queue, std::int32_t out_queue, std::int32_t baud) {
  if (in_queue < 0 || out_queue < 0 || baud < 0) RaiseRangeError();
  // A late answer may still come after the port is opened again, so the
  // late-reply watch goes on.
  port_.Close();
  if (!port_.Open(port_number_)) return false;
  // A port that opened but refused its settings stays open until the next
  // Open or Close.
  return port_.Configure(static_cast<std::uint32_t>(in_queue),
                         static_cast<std::uint32_t>(out_queue), static_cast<std::uint32_t>(baud),
                         parity_);
}

void SerialChannel::Settle() {
  const std::uint32_t start = TickCount();
  while (port_.WaitForInput(kSettleQuietMs)) {
    port_.DiscardInput();
    PumpMessages();
    if (static_cast<std::uint32_t>(TickCount() - start) > kSettleLimitMs) break;
  }
  port_.DiscardInput();
}

std::int32_t SerialChannel::Write(const Bytes& data) {
  if (data.size() > kComBufferSize) RaiseRangeError();
  // Whatever is waiting now belongs to an earlier exchange; when some is
  // there, more of it may still be on its way.
  if (port_.WaitForInput(0)) Settle();
  port_.DiscardInput();
  return static_cast<std::int32_t>(port_.Write(data.data(), data.size()));
}

std::int32_t SerialChannel::Read(Bytes& buffer) {
  buffer.clear();
  ReadBuffer chunk;
  const auto read = port_.Read(chunk.data(), chunk.size(), chunk.size());
  buffer.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(read.count));
  return static_cast<std::int32_t>(read.count);
}

bool SerialChannel::Request(const Bytes& request, std::int32_t expected, Bytes& reply, bool watch) {
  reply.clear();
  const std::int32_t written = Write(request);
  if (written == static_cast<std::int32_t>(request.size())) {
    reply = Receive(expected, watch);
    return true;
  }
  // What did go out may still be answered.
  if (written > 0 && watch) late_.Note(false);
  return false;
}

Bytes SerialChannel::Receive(std::int32_t expected, bool watch) {
  Bytes reply;
  const std::uint32_t start = TickCount();
  ReadBuffer chunk;
  while (static_cast<std::int64_t>(reply.size()) != expected) {
    // A read may end as soon as the rest of the reply is in; after an
    // overshoot it just gathers what still comes.
    const std::int64_t missing = expected - static_cast<std::int64_t>(reply.size());
    const std::size_t enough = missing > 0 ? static_cast<std::size_t>(missing) : chunk.size();
    // The port is looked at afresh each time: the pump may run host code
    // that closes or reopens it.
    const auto read = port_.Read(chunk.data(), chunk.size(), enough);
    reply.insert(reply.end(), chunk.begin(),
                 chunk.begin() + static_cast<std::ptrdiff_t>(read.count));
    PumpMessages();
    if (read.failed) break;  // a closed or vanished port fails every read at once
    if (static_cast<std::uint32_t>(TickCount() - start) > kComReceiveBudgetMs) break;
  }
  // While an earlier request may still be answered late, anything that
  // follows a reply of the right length closely makes it over-long.
  if (late_.Due() && static_cast<std::int64_t>(reply.size()) == expected &&
      port_.WaitForInput(kSettleQuietMs)) {
    const auto read = port_.Read(chunk.data(), chunk.size(), 1);
    reply.insert(reply.end(), chunk.begin(),
                 chunk.begin() + static_cast<std::ptrdiff_t>(read.count));
    PumpMessages();
  }
  // Part of a reply, or more than one: the rest may still be arriving, and
  // the next exchange must not take it for the start of its own reply.
  if (!reply.empty() && static_cast<std::int64_t>(reply.size()) != expected) Settle();
  if (watch) late_.Note(static_cast<std::int64_t>(reply.size()) == expected);
  return reply;
}

}  // namespace transport

LinkChannels& ProcessChannels() {
  // Deliberately never destroyed: a thread still inside an exchange at exit
  // (or a host unloading the library) must not find its channel freed.
  static LinkChannels* const channels = new LinkChannels;
  return *channels;
}

void CloseChannels() {
  LinkChannels& channels = ProcessChannels();
  {
    const transport::ChannelTurn turn(channels.serial.Lock());
    if (turn.Usable()) channels.serial.Close();
  }
  const transport::ChannelTurn turn(channels.tcp.Lock());
  if (turn.Usable()) channels.tcp.Disconnect();
}

bool ReleaseNetwork() {
  if (LookupsPending()) return false;
  CloseChannels();
  transport::StopWinsock();
  return true;
}

namespace {

transport::SerialChannel& Serial() { return ProcessChannels().serial; }

// Runs one step on the process-wide serial channel in a turn of its own;
// `busy` when another thread kept the channel past the wait.
template <class Step, class Result>
Result OnSerial(Step step, Result busy) {
  const transport::ChannelTurn turn(Serial().Lock());
  return turn.Usable() ? step(Serial()) : busy;
}

}  // namespace

std::uint16_t ComPortNumber() {
  return OnSerial([](auto& c) { return c.PortNumber(); }, std::uint16_t{0});
}
void SetComPortNumber(std::uint16_t port) {
  OnSerial([port](auto& c) { return (c.SetPortNumber(port), true); }, false);
}
std::uint8_t ComParity() {
  return OnSerial([](auto& c) { return c.Parity(); }, std::uint8_t{0});
}
void SetComParity(std::uint8_t parity) {
  OnSerial([parity](auto& c) { return (c.SetParity(parity), true); }, false);
}
bool ComIsOpen() {
  return OnSerial([](auto& c) { return c.IsOpen(); }, false);
}
bool ComOpen(std::int32_t in_queue, std::int32_t out_queue, std::int32_t baud) {
  return OnSerial([&](auto& c) { return c.Open(in_queue, out_queue, baud); }, false);
}
void ComClose() {
  OnSerial([](auto& c) { return (c.Close(), true); }, false);
}
std::int32_t ComWrite(const Bytes& data) {
  return OnSerial([&](auto& c) { return c.Write(data); }, std::int32_t{0});
}
std::int32_t ComRead(Bytes& buffer) {
  buffer.clear();
  return OnSerial([&](auto& c) { return c.Read(buffer); }, std::int32_t{0});
}
Bytes ComReceive(std::int32_t expected) {
  return OnSerial([&](auto& c) { return c.Receive(expected); }, Bytes{});
}

}  // namespace rd
