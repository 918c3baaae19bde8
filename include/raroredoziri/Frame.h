// The framed variant's request packet:
//   F8 55 CE | L | 00 | body (L bytes, command code first) | crc lo | crc hi
// The checksum covers the body alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "raroredoziri/Bytes.h"

namespace rd {

inline constexpr std::array<std::uint8_t, 3> kFrameHeader{0xF8, 0x55, 0xCE};
inline constexpr std::size_t kFrameOverhead = 7;
inline constexpr std::size_t kMaxBodyLength = 255;

// Polynomial 0x1021, MSB first, no reflection, no final inversion; the data
// byte enters the low end of the register after the shift. Over M followed by
// 00 00 it equals CRC-16/XMODEM of M.
std::uint16_t FrameCrc16(std::uint16_t start, const std::uint8_t* data, std::size_t count);

// Wraps a body of 1 to 255 bytes into a frame. An empty or longer body raises
// a fault.
Bytes BuildFrame(const Bytes& body);

}  // namespace rd
