#include "raroredoziri/Frame.h"

#include "raroredoziri/Fault.h"

namespace rd {
namespace {

// Entry i is the register contribution of a high byte i, shifted out MSB first
// through the polynomial 0x1021.
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t t = 0;
    std::uint16_t h = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      if ((h ^ t) & 0x8000u) {
        t = static_cast<std::uint16_t>((t << 1) ^ 0x1021u);
      } else {
        t = static_cast<std::uint16_t>(t << 1);
      }
      h = static_cast<std::uint16_t>(h << 1);
    }
    table[i] = t;
  }
  return table;
}

constexpr auto kCrcTable = MakeCrcTable();

}  // namespace

std::uint16_t FrameCrc16(std::uint16_t start, const std::uint8_t* data, std::size_t count) {
  std::uint16_t r = start;
  for (std::size_t i = 0; i < count; ++i) {
    r = static_cast<std::uint16_t>(kCrcTable[r >> 8] ^ static_cast<std::uint16_t>(r << 8) ^
                                   data[i]);
  }
  return r;
}

Bytes BuildFrame(const Bytes& body) {
  if (body.empty()) throw Fault("Empty frame body");
  if (body.size() > kMaxBodyLength) throw Fault("Frame body longer than 255 bytes");
  Bytes frame;
  frame.reserve(body.size() + kFrameOverhead);
  frame.insert(frame.end(), kFrameHeader.begin(), kFrameHeader.end());
  frame.push_back(static_cast<std::uint8_t>(body.size()));
  frame.push_back(0x00);
  frame.insert(frame.end(), body.begin(), body.end());
  const std::uint16_t crc = FrameCrc16(0, body.data(), body.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

}  // namespace rd
