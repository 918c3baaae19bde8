#include "FakeTransport.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "raroredoziri/Transport.h"
#include "transport/serial_port.h"
#include "transport/tcp_socket.h"

namespace rd {
namespace fuzz {

FakeWorld& World() {
  static FakeWorld world;
  return world;
}

void Install(FuzzedDataProvider& script, std::uint32_t start_tick) {
  FakeWorld& world = World();
  world.script = &script;
  world.scripted_setup = true;
  world.now = start_tick;
  world.ClearRecords();
  SetTickSource([] { return World().now; });
}

void ResetChannels() {
  ComClose();
  TcpDisconnect();
}

namespace {

// A setup step fails when the script says so (one byte of 240 or more).
bool SetupFails() {
  FakeWorld& world = World();
  if (!world.scripted_setup || world.script == nullptr) return false;
  return world.script->ConsumeIntegral<std::uint8_t>() >= 240;
}

FuzzedDataProvider& Script() { return *World().script; }

}  // namespace
}  // namespace fuzz

namespace transport {

// ---- Fake serial port ----------------------------------------------------

bool SerialPort::Open(std::uint16_t /*port*/) {
  Close();
  if (fuzz::SetupFails()) return false;
  handle_ = 1;
  return true;
}

bool SerialPort::Configure(std::uint32_t, std::uint32_t, std::uint32_t baud, std::uint8_t) {
  if (!IsOpen() || fuzz::SetupFails()) return false;
  baud_ = baud;
  return true;
}

void SerialPort::Close() noexcept {
  handle_ = kClosed;
  baud_ = 0;
}

void SerialPort::DiscardInput() noexcept {}

// One script byte: 240 or more says input is waiting (the wait passes).
bool SerialPort::WaitForInput(std::uint32_t wait_ms) noexcept {
  if (!IsOpen()) return false;
  fuzz::FakeWorld& world = fuzz::World();
  const bool waiting = fuzz::Script().ConsumeIntegral<std::uint8_t>() >= 240;
  if (!waiting) world.now += wait_ms;
  return waiting;
}

// With scripted setup, a script byte of 250 or more makes a write stall
// after half of its bytes.
std::size_t SerialPort::Write(const std::uint8_t* data, std::size_t size) noexcept {
  if (!IsOpen()) return 0;
  fuzz::FakeWorld& world = fuzz::World();
  std::size_t written = size;
  if (world.scripted_setup && fuzz::Script().ConsumeIntegral<std::uint8_t>() >= 250) {
    written = size / 2;
    ++world.serial_short_writes;
  }
  world.serial_written.insert(world.serial_written.end(), data, data + written);
  return written;
}

// One script byte n: 0 is a silent read (1000 ms, nothing), 255 a failed
// read; otherwise n & 31 bytes follow, then a time of 0..1100 ms.
SerialReadResult SerialPort::Read(std::uint8_t* buffer, std::size_t capacity,
                                  std::size_t /*enough*/) noexcept {
  SerialReadResult result;
  fuzz::FakeWorld& world = fuzz::World();
  fuzz::FakeRead record;
  if (!IsOpen()) {
    result.failed = true;
  } else {
    const auto n = fuzz::Script().ConsumeIntegral<std::uint8_t>();
    if (n == 255) {
      result.failed = true;
    } else {
      const std::size_t want = std::min<std::size_t>(n & 0x1F, capacity);
      record.data = fuzz::Script().ConsumeBytes<std::uint8_t>(want);
      const auto spent = fuzz::Script().ConsumeIntegralInRange<std::uint32_t>(0, 1100);
      world.now += record.data.empty() ? kSerialFirstByteMs : spent;
      std::copy(record.data.begin(), record.data.end(), buffer);
      result.count = record.data.size();
    }
  }
  record.failed = result.failed;
  record.tick_after = world.now;
  world.serial_reads.push_back(std::move(record));
  return result;
}

// ---- Fake client socket --------------------------------------------------

bool TcpSocket::Connect(const std::string& /*host*/, std::uint16_t, std::uint32_t) noexcept {
  Close();
  if (fuzz::SetupFails()) return false;
  handle_ = 7;
  return true;
}

void TcpSocket::Close() noexcept { handle_ = kClosed; }

SocketResult TcpSocket::Send(const std::uint8_t* data, std::size_t size, std::uint32_t) noexcept {
  if (!IsOpen()) return {SocketStatus::kBroken, 0, 107};
  fuzz::FakeWorld& world = fuzz::World();
  if (world.scripted_setup) {
    const auto n = fuzz::Script().ConsumeIntegral<std::uint8_t>();
    if (n >= 250) {
      if (n <= 251) return {SocketStatus::kBroken, 0, 104};
      if (n == 252) return {SocketStatus::kTimedOut, 0, 110};
      return {SocketStatus::kError, 0, 5};
    }
  }
  world.tcp_sent.insert(world.tcp_sent.end(), data, data + size);
  world.tcp_receives_at_send = world.tcp_receives.size();
  return {SocketStatus::kOk, size, 0};
}

// A receive that does not wait (the channel dropping stale input): one script
// byte n, below 200 nothing is waiting, else n - 200 stale bytes. A receive
// that waits: one script byte s picks time-out, peer closed, broken, error or
// (s >= 4) a piece of 1 + (next byte & 31) bytes after 0..wait_ms.
SocketResult TcpSocket::Receive(std::uint8_t* buffer, std::size_t capacity,
                                std::uint32_t wait_ms) noexcept {
  if (!IsOpen()) return {SocketStatus::kBroken, 0, 107};
  fuzz::FakeWorld& world = fuzz::World();
  FuzzedDataProvider& script = fuzz::Script();
  if (wait_ms == 0) {
    const auto n = script.ConsumeIntegral<std::uint8_t>();
    if (n < 200) return {SocketStatus::kTimedOut, 0, 11};
    const Bytes stale =
        script.ConsumeBytes<std::uint8_t>(std::min<std::size_t>(n - 200u, capacity));
    if (stale.empty()) return {SocketStatus::kTimedOut, 0, 11};
    std::copy(stale.begin(), stale.end(), buffer);
    world.tcp_discarded += stale.size();
    return {SocketStatus::kOk, stale.size(), 0};
  }
  fuzz::FakeRead record;
  record.wait_ms = wait_ms;
  SocketResult result;
  const auto s = script.ConsumeIntegral<std::uint8_t>() % 16;
  switch (s) {
    case 0:
      world.now += wait_ms;
      result = {SocketStatus::kTimedOut, 0, 110};
      break;
    case 1:
      result = {SocketStatus::kClosedByPeer, 0, 0};
      break;
    case 2:
      result = {SocketStatus::kBroken, 0, 104};
      break;
    case 3:
      result = {SocketStatus::kError, 0, 5};
      break;
    default: {
      const std::size_t want = 1 + (script.ConsumeIntegral<std::uint8_t>() & 0x1F);
      record.data = script.ConsumeBytes<std::uint8_t>(std::min(want, capacity));
      if (record.data.empty()) {
        world.now += wait_ms;
        result = {SocketStatus::kTimedOut, 0, 110};
        break;
      }
      world.now += script.ConsumeIntegralInRange<std::uint32_t>(0, wait_ms);
      std::copy(record.data.begin(), record.data.end(), buffer);
      result = {SocketStatus::kOk, record.data.size(), 0};
      break;
    }
  }
  record.status = static_cast<int>(result.status);
  record.tick_after = world.now;
  world.tcp_receives.push_back(std::move(record));
  return result;
}

// Every host text counts as an address: no lookup, no worker thread.
std::vector<std::string> SystemResolve(const std::string& host) { return {host}; }
bool IsAddressLiteral(const std::string& /*host*/) { return true; }

std::string SocketErrorText(int error) { return "fake socket error " + std::to_string(error); }

void StopWinsock() {}

}  // namespace transport
}  // namespace rd
