#include <gtest/gtest.h>

#include "hex.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"

namespace rd {
namespace {

using test::Hex;
using test::ToHex;

std::string Spaces(std::size_t n) { return std::string(n, ' '); }

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(CommandBodyTest, EveryBodyHasItsFixedLength) {
  const std::pair<std::uint8_t, std::size_t> lengths[] = {
      {0xA2, 16}, {0xA3, 5},  {0xA4, 6},   {0xA5, 6},  {0xA6, 2}, {0xA7, 2}, {0xA8, 20},
      {0xA9, 10}, {0xAA, 25}, {0xAB, 121}, {0xAC, 11}, {0xAD, 8}, {0xAE, 2}, {0xAF, 2}};
  TScale empty;
  TScale full;
  const std::u16string long_wide(40, u'W');
  full.Goods = full.Operator = full.RegistratorStore = full.Agent = long_wide;
  full.LabelFormat = full.LabelFormatZ = full.Text = std::string(40, 'n');
  full.GoodsButton1 = full.GoodsButton8 = std::string(40, 'b');
  for (const auto& [code, length] : lengths) {
    for (const TScale* s : {&empty, &full}) {
      const Bytes body = s->CommandBody(code);
      EXPECT_EQ(body.size(), length) << std::hex << int{code};
      EXPECT_EQ(body[0], code);
    }
  }
  EXPECT_THROW(empty.CommandBody(0xA0), Fault);
  EXPECT_THROW(empty.CommandBody(0xB0), Fault);
}

TEST(CommandBodyTest, TextFieldsAreCutAndFilled) {
  TScale s;
  s.Goods = u"Milk";
  EXPECT_EQ(s.CommandBody(0xA2), test::Concat(Hex("A2 4D 69 6C 6B"), Bytes(11, 0x20)));
  s.Goods = u"";
  EXPECT_EQ(s.CommandBody(0xA2), test::Concat(Hex("A2"), Bytes(15, 0x20)));
  s.Goods = u"ABCDEFGHIJKLMNOPQRST";
  EXPECT_EQ(s.CommandBody(0xA2), test::Concat(Hex("A2"), Text("ABCDEFGHIJKLMNO")));

  s.Operator = u"Anna";
  EXPECT_EQ(s.CommandBody(0xA9), test::Concat(Hex("A9"), Text("Anna" + Spaces(5))));
  s.LabelFormat = "12";
  s.LabelFormatZ = "1234567";
  EXPECT_EQ(s.CommandBody(0xA4), test::Concat(Hex("A4"), Text("12" + Spaces(3))));
  EXPECT_EQ(s.CommandBody(0xA5), test::Concat(Hex("A5"), Text("12345")));
  s.Text = "Fresh today";
  EXPECT_EQ(s.CommandBody(0xAA), test::Concat(Hex("AA"), Text("Fresh today" + Spaces(13))));
}

TEST(CommandBodyTest, WideCharactersTheCodePageLacksBecomeTheDefaultCharacter) {
  TScale s;
  s.Goods = u"a\u4E2Db";
  const Bytes body = s.CommandBody(0xA2);
  ASSERT_EQ(body.size(), 16u);
  EXPECT_EQ(body[1], 'a');
  EXPECT_EQ(body[2], '?');
  EXPECT_EQ(body[3], 'b');
  // A lone surrogate is converted on its own, like every code unit.
  s.Goods = std::u16string(1, char16_t{0xDC00});
  EXPECT_EQ(s.CommandBody(0xA2)[1], '?');
}

TEST(CommandBodyTest, SetModeLayout) {
  TScale s;
  s.Operation = 258;
  s.RegistratorStore = u"Store 12";
  s.Agent = u"7";
  const Bytes expected = test::Concat(test::Concat(Hex("A8 02"), Text("Store 12 ")),
                                      test::Concat(Hex("37"), Bytes(8, 0x20)));
  EXPECT_EQ(s.CommandBody(0xA8), expected);
  s.Operation = 300;
  EXPECT_EQ(s.CommandBody(0xA8)[1], 0x2C);
  s.Operation = -1;
  EXPECT_EQ(s.CommandBody(0xA8)[1], 0xFF);
}

TEST(CommandBodyTest, TareTravelsLittleEndian) {
  TScale s;
  const std::pair<std::int32_t, const char*> cases[] = {{0, "A3 00 00 00 00"},
                                                        {1000, "A3 E8 03 00 00"},
                                                        {-1000, "A3 18 FC FF FF"},
                                                        {-1, "A3 FF FF FF FF"},
                                                        {INT32_MIN, "A3 00 00 00 80"}};
  for (const auto& [tare, hex] : cases) {
    s.Tare = tare;
    EXPECT_EQ(ToHex(s.CommandBody(0xA3)), hex);
  }
}

TEST(CommandBodyTest, GoodsButtonsKeepTheirOffsets) {
  TScale s;
  EXPECT_EQ(s.CommandBody(0xAB), test::Concat(Hex("AB"), Bytes(120, 0x20)));
  s.GoodsButton2 = "BBBBBBBBBBBBBBBBBBBB";  // 20 bytes
  s.GoodsButton3 = "C";
  s.GoodsButton8 = "H";
  const Bytes body = s.CommandBody(0xAB);
  ASSERT_EQ(body.size(), 121u);
  EXPECT_EQ(Bytes(body.begin() + 1, body.begin() + 16), Bytes(15, 0x20));
  EXPECT_EQ(Bytes(body.begin() + 16, body.begin() + 31), Bytes(15, 'B'));
  EXPECT_EQ(body[31], 'C');
  EXPECT_EQ(body[32], 0x20);
  EXPECT_EQ(body[106], 'H');
}

TEST(CommandBodyTest, ByteFields) {
  TScale s;
  s.Lock1 = 1;
  EXPECT_EQ(ToHex(s.CommandBody(0xAC)), "AC 01 00 00 00 00 00 00 00 00 00");
  s.Lock10 = 127;
  EXPECT_EQ(s.CommandBody(0xAC)[10], 127);
  s.OptionMoreLabels = 1;
  s.OptionPacking = 2;
  s.OptionAutoResetGoods = 3;
  s.OptionAutoRegistration = 4;
  s.OptionDocument = 5;
  s.OptionMultiple = 6;
  s.OptionFreePrice = 7;
  EXPECT_EQ(ToHex(s.CommandBody(0xAD)), "AD 01 02 03 04 05 06 07");
  s.Tape = 9;
  s.Underwinder = 10;
  s.FindGoods = 11;
  s.Screen = 1;
  EXPECT_EQ(ToHex(s.CommandBody(0xA6)), "A6 09");
  EXPECT_EQ(ToHex(s.CommandBody(0xA7)), "A7 0A");
  EXPECT_EQ(ToHex(s.CommandBody(0xAE)), "AE 0B");
  EXPECT_EQ(ToHex(s.CommandBody(0xAF)), "AF 01");
}

TEST(CommandBodyTest, CompleteFrames) {
  TScale s;
  s.Tare = 1000;
  EXPECT_EQ(ToHex(BuildFrame(s.CommandBody(0xA3))), "F8 55 CE 05 00 A3 E8 03 00 00 B4 4D");
  s.Screen = 1;
  EXPECT_EQ(ToHex(BuildFrame(s.CommandBody(0xAF))), "F8 55 CE 02 00 AF 01 01 AF");
  s.Goods = u"Milk";
  const Bytes frame = BuildFrame(s.CommandBody(0xA2));
  EXPECT_EQ(ToHex(frame), "F8 55 CE 10 00 A2 4D 69 6C 6B 20 20 20 20 20 20 20 20 20 20 20 0D 17");
}

}  // namespace
}  // namespace rd
