// The serial port device behind the serial channel: at most one open port,
// closed on destruction. serial_posix.cpp and serial_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rd::transport {

// One read of the port.
struct SerialReadResult {
  std::size_t count = 0;  // bytes placed in the buffer
  bool failed = false;    // the read failed (port closed, device gone): retrying cannot help
};

class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the device of port `port` for exclusive use (after closing any
  // port held). False when it cannot be opened; the port is then closed.
  bool Open(std::uint16_t port);

  // Sets read time-outs, queue sizes and line settings: `baud`, 8 data bits,
  // `parity` (0 none, 1 odd, 2 even, 3 mark, 4 space), one stop bit, DTR
  // raised, RTS raised while sending, no flow control. False when a step
  // failed; the port then stays open.
  bool Configure(std::uint32_t in_queue, std::uint32_t out_queue, std::uint32_t baud,
                 std::uint8_t parity);

  bool IsOpen() const noexcept { return handle_ != kClosed; }
  void Close() noexcept;

  // Drops whatever arrived and was not read yet.
  void DiscardInput() noexcept;

  // Waits up to `wait_ms` (0: not at all) for input; true when some is
  // waiting to be read. A closed port has none.
  bool WaitForInput(std::uint32_t wait_ms) noexcept;

  // One synchronous write; returns the count written (0 on a closed port).
  std::size_t Write(const std::uint8_t* data, std::size_t size) noexcept;

  // One synchronous read of up to `capacity` bytes. It waits up to 1000 ms
  // for the first byte and returns at the latest when no further byte came
  // for 100 ms. Once `enough` bytes are in, it returns as soon as the line
  // has settled (a few character times), so a reply of known length costs
  // its wire time. A closed port fails at once.
  SerialReadResult Read(std::uint8_t* buffer, std::size_t capacity, std::size_t enough) noexcept;

 private:
  // The platform handle or descriptor; all bits set while closed.
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
  std::uint32_t baud_ = 0;
};

// Read time-outs shared by both platforms.
inline constexpr std::uint32_t kSerialFirstByteMs = 1000;
inline constexpr std::uint32_t kSerialGapMs = 100;

}  // namespace rd::transport
