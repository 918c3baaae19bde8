// Serial ports on Windows: port N is the device COMN, opened exclusively for
// synchronous I/O; reads follow the port's COMMTIMEOUTS.
#include "transport/serial_win32.h"

#include <string>

#include "raroredoziri/Transport.h"
#include "transport/serial_port.h"

namespace rd {

// Windows names its ports itself: there is nothing to map.
void SetSerialDevice(std::uint16_t /*port*/, std::string /*path*/) {}

std::string SerialDevice(std::uint16_t port) { return "COM" + std::to_string(port); }

namespace transport {
namespace {

static_assert(sizeof(DCB) == 28, "the line settings record is 28 bytes");

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

DCB SerialLineSettings(std::uint32_t baud, std::uint8_t parity, DWORD rts_control) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = rts_control;
  dcb.wReserved = 0;
  dcb.XonLim = 600;
  dcb.XoffLim = 150;
  dcb.ByteSize = 8;
  dcb.Parity = parity;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  dcb.wReserved1 = 0x0041;
  return dcb;
}

bool SerialPort::Open(std::uint16_t port) {
  Close();
  // The device namespace prefix lets ports above 9 open too.
  const std::string name = "\\\\.\\" + SerialDevice(port);
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool SerialPort::Configure(std::uint32_t in_queue, std::uint32_t out_queue, std::uint32_t baud,
                           std::uint8_t parity) {
  if (!IsOpen()) return false;
  HANDLE handle = AsHandle(handle_);
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kSerialGapMs;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = kSerialFirstByteMs;
  timeouts.WriteTotalTimeoutMultiplier = 2;
  timeouts.WriteTotalTimeoutConstant = 2;
  if (!SetCommTimeouts(handle, &timeouts)) return false;
  if (!SetupComm(handle, in_queue, out_queue)) return false;
  DCB dcb = SerialLineSettings(baud, parity, RTS_CONTROL_TOGGLE);
  if (!SetCommState(handle, &dcb)) {
    // Some drivers cannot toggle RTS; RTS then simply stays raised.
    dcb = SerialLineSettings(baud, parity, RTS_CONTROL_ENABLE);
    if (!SetCommState(handle, &dcb)) return false;
  }
  baud_ = baud;
  return true;
}

void SerialPort::Close() noexcept {
  if (!IsOpen()) return;
  CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
  baud_ = 0;
}

void SerialPort::DiscardInput() noexcept {
  if (IsOpen()) PurgeComm(AsHandle(handle_), PURGE_RXCLEAR);
}

namespace {

DWORD InputQueued(HANDLE handle) {
  COMSTAT status{};
  DWORD errors = 0;
  return ClearCommError(handle, &errors, &status) ? status.cbInQue : 0;
}

}  // namespace

bool SerialPort::WaitForInput(std::uint32_t wait_ms) noexcept {
  if (!IsOpen()) return false;
  HANDLE handle = AsHandle(handle_);
  if (InputQueued(handle) != 0) return true;
  if (wait_ms == 0) return false;
  // A synchronous port offers no waiting with a limit short of a read; a
  // pause and a second look answer the same question.
  Sleep(wait_ms);
  return InputQueued(handle) != 0;
}

std::size_t SerialPort::Write(const std::uint8_t* data, std::size_t size) noexcept {
  if (!IsOpen()) return 0;
  DWORD written = 0;
  // The count tells what went out; the success flag adds nothing to it.
  (void)WriteFile(AsHandle(handle_), data, static_cast<DWORD>(size), &written, nullptr);
  return written;
}

SerialReadResult SerialPort::Read(std::uint8_t* buffer, std::size_t capacity,
                                  std::size_t /*enough*/) noexcept {
  SerialReadResult result;
  if (!IsOpen()) {
    result.failed = true;
    return result;
  }
  DWORD got = 0;
  const BOOL ok = ReadFile(AsHandle(handle_), buffer, static_cast<DWORD>(capacity), &got, nullptr);
  result.count = got;
  result.failed = !ok;
  return result;
}

}  // namespace transport
}  // namespace rd
