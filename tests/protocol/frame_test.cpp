#include "raroredoziri/Frame.h"

#include <gtest/gtest.h>

#include "hex.h"
#include "raroredoziri/Fault.h"

namespace rd {
namespace {

using test::Hex;
using test::ToHex;

std::uint16_t Crc(const Bytes& data) { return FrameCrc16(0, data.data(), data.size()); }

// CRC-16/XMODEM written out bit by bit, as a reference.
std::uint16_t Xmodem(const Bytes& data) {
  std::uint16_t crc = 0;
  for (std::uint8_t b : data) {
    crc ^= static_cast<std::uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc;
}

TEST(FrameCrcTest, WorkedValues) {
  EXPECT_EQ(Crc(Hex("616263")), 0x1EE4);
  EXPECT_EQ(Crc(Hex("313233343536373839")), 0xBEEF);
  EXPECT_EQ(Crc(Hex("A0")), 0x00A0);
  EXPECT_EQ(Crc(Hex("00")), 0x0000);
  const Bytes one{0x42};
  EXPECT_EQ(FrameCrc16(0x1234, one.data(), 0), 0x1234) << "no bytes leave the register";
}

TEST(FrameCrcTest, EqualsXmodemOfTheDataWithoutItsTwoTrailingZeros) {
  const Bytes messages[] = {Hex("616263"), Hex("313233343536373839"), Hex("FF"), Hex("00FF00FF"),
                            Bytes(121, 0x20)};
  for (const Bytes& m : messages) {
    Bytes padded = m;
    padded.push_back(0);
    padded.push_back(0);
    EXPECT_EQ(Crc(padded), Xmodem(m)) << ToHex(m);
  }
  EXPECT_NE(Crc(Hex("313233343536373839")), Xmodem(Hex("313233343536373839")));
}

TEST(FrameCrcTest, StartValueContinuesARunningRegister) {
  const Bytes data = Hex("313233343536373839");
  const std::uint16_t first = FrameCrc16(0, data.data(), 4);
  EXPECT_EQ(FrameCrc16(first, data.data() + 4, data.size() - 4), Crc(data));
}

TEST(BuildFrameTest, KnownFrames) {
  EXPECT_EQ(ToHex(BuildFrame(Hex("A0"))), "F8 55 CE 01 00 A0 A0 00");
  EXPECT_EQ(ToHex(BuildFrame(Hex("A1"))), "F8 55 CE 01 00 A1 A1 00");
  EXPECT_EQ(ToHex(BuildFrame(Hex("616263"))), "F8 55 CE 03 00 61 62 63 E4 1E");
}

TEST(BuildFrameTest, ZeroBytesAreFramedWhole) {
  const Bytes body = Hex("A3 00 00 00 00");
  const Bytes frame = BuildFrame(body);
  ASSERT_EQ(frame.size(), 12u);
  EXPECT_EQ(frame[3], 5);
  EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 10), body);
  EXPECT_EQ(frame[10] | (frame[11] << 8), Crc(body));
}

TEST(BuildFrameTest, BodyLengthLimits) {
  const Bytes longest(255, 0x41);
  const Bytes frame = BuildFrame(longest);
  EXPECT_EQ(frame.size(), 262u);
  EXPECT_EQ(frame[3], 0xFF);
  EXPECT_EQ(frame[4], 0x00);
  // An empty body and a body whose length does not fit the length byte are
  // refused rather than framed wrongly.
  EXPECT_THROW(BuildFrame(Bytes{}), Fault);
  EXPECT_THROW(BuildFrame(Bytes(256, 0x41)), Fault);
  EXPECT_THROW(BuildFrame(Bytes(1000, 0x41)), Fault);
}

}  // namespace
}  // namespace rd
