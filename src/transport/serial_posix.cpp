// Serial ports on Linux: a port number maps to a tty device (a map the host
// may set, else /dev/ttyS<N-1>); raw 8N1 without flow control, read with
// poll() under the same first-byte and gap limits as the Windows time-outs.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

#include "raroredoziri/Transport.h"
#include "transport/serial_port.h"

namespace rd {

namespace transport {
namespace {

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool SpeedFor(std::uint32_t baud, speed_t& speed) {
  static constexpr std::pair<std::uint32_t, speed_t> kSpeeds[] = {
      {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
      {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
      {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const auto& [rate, code] : kSpeeds) {
    if (rate == baud) {
      speed = code;
      return true;
    }
  }
  return false;
}

bool ApplyParity(std::uint8_t parity, termios& tio) {
  switch (parity) {
    case 0:  // none
      return true;
    case 1:  // odd
      tio.c_cflag |= PARENB | PARODD;
      return true;
    case 2:  // even
      tio.c_cflag |= PARENB;
      return true;
    case 3:  // mark
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      return true;
    case 4:  // space
      tio.c_cflag |= PARENB | CMSPAR;
      return true;
    default:
      return false;
  }
}

// Time the line is given to settle once a read has what it needs: five
// character times of ten bits (a UART hands over a burst's last bytes after
// at most four), at least 1 ms. A reply longer than expected is then still
// read whole, at a cost of about 1 ms at 57600 baud.
int SettleMs(std::uint32_t baud) {
  if (baud == 0) return static_cast<int>(kSerialGapMs);
  return std::max(1, static_cast<int>((50u * 1000u + baud - 1) / baud));
}

}  // namespace

bool SerialPort::Open(std::uint16_t port) {
  Close();
  const std::string path = SerialDevice(port);
  if (path.empty()) return false;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // Exclusive use: no further opens of the tty, and no other cooperating
  // process holding it.
  if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool SerialPort::Configure(std::uint32_t /*in_queue*/, std::uint32_t /*out_queue*/,
                           std::uint32_t baud, std::uint8_t parity) {
  // The kernel's tty queues have fixed sizes: the queue sizes have no
  // counterpart here.
  const int fd = static_cast<int>(handle_);
  termios tio{};
  if (!IsOpen() || ::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  speed_t speed{};
  if (!SpeedFor(baud, speed) || !ApplyParity(parity, tio)) return false;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return false;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  baud_ = baud;

  // Modem lines: DTR up while open; RTS up only while sending, which the
  // driver does in its RS-485 mode. Devices without modem lines (a
  // pseudo-terminal) or without RS-485 support refuse these; the port works
  // without them.
  int dtr = TIOCM_DTR;
  (void)::ioctl(fd, TIOCMBIS, &dtr);
  serial_rs485 rs485{};
  if (::ioctl(fd, TIOCGRS485, &rs485) == 0) {
    rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~static_cast<std::uint32_t>(SER_RS485_RTS_AFTER_SEND);
    (void)::ioctl(fd, TIOCSRS485, &rs485);
  }
  return true;
}

void SerialPort::Close() noexcept {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kClosed;
  baud_ = 0;
}

void SerialPort::DiscardInput() noexcept {
  if (IsOpen()) (void)::tcflush(static_cast<int>(handle_), TCIFLUSH);
}

bool SerialPort::WaitForInput(std::uint32_t wait_ms) noexcept {
  if (!IsOpen()) return false;
  const auto start = Clock::now();
  for (;;) {
    const int left = static_cast<int>(wait_ms) - MsSince(start);
    pollfd p{static_cast<int>(handle_), POLLIN, 0};
    const int ready = ::poll(&p, 1, left > 0 ? left : 0);
    if (ready >= 0) return ready > 0 && (p.revents & POLLIN) != 0;
    if (errno != EINTR) return false;
  }
}

std::size_t SerialPort::Write(const std::uint8_t* data, std::size_t size) noexcept {
  if (!IsOpen()) return 0;
  const int fd = static_cast<int>(handle_);
  // The same write limit as on Windows: 2 ms per byte plus 2 ms.
  const int limit_ms = static_cast<int>(2 * size + 2);
  const auto start = Clock::now();
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fd, data + written, size - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    const int left = limit_ms - MsSince(start);
    if (left <= 0) break;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, left);
    if (ready == 0 || (ready < 0 && errno != EINTR)) break;
  }
  return written;
}

SerialReadResult SerialPort::Read(std::uint8_t* buffer, std::size_t capacity,
                                  std::size_t enough) noexcept {
  SerialReadResult result;
  if (!IsOpen()) {
    result.failed = true;
    return result;
  }
  const int fd = static_cast<int>(handle_);
  const auto start = Clock::now();
  while (result.count < capacity) {
    int wait_ms;
    if (result.count == 0) {
      wait_ms = static_cast<int>(kSerialFirstByteMs) - MsSince(start);
      if (wait_ms <= 0) break;
    } else if (result.count >= enough) {
      wait_ms = SettleMs(baud_);
    } else {
      wait_ms = static_cast<int>(kSerialGapMs);
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, wait_ms);
    if (ready == 0) break;  // first-byte limit or gap reached
    if (ready < 0) {
      if (errno == EINTR) continue;
      result.failed = true;
      break;
    }
    const ssize_t n = ::read(fd, buffer + result.count, capacity - result.count);
    if (n > 0) {
      result.count += static_cast<std::size_t>(n);
    } else if ((n < 0 && errno != EINTR && errno != EAGAIN) ||
               (n == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
      result.failed = true;  // hung up or broken: no byte will come
      break;
    }
  }
  return result;
}

}  // namespace transport
}  // namespace rd
