// Windows line settings of the serial channel, apart so tests can inspect them.
#pragma once

#include <windows.h>

#include <cstdint>

namespace rd::transport {

// The DCB set on every open: `baud`, 8 data bits, `parity`, one stop bit,
// binary mode, DTR raised, `rts_control` (RTS_CONTROL_TOGGLE: raised while
// sending), no flow control.
DCB SerialLineSettings(std::uint32_t baud, std::uint8_t parity, DWORD rts_control);

}  // namespace rd::transport
