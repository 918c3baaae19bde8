#include "protocol/Replies.h"

#include <gtest/gtest.h>

#include "hex.h"

namespace rd {
namespace {

using test::Hex;

Bytes WeightReply(std::string_view data) {
  return test::Concat(test::Concat(Hex("F8 55 CE 07 00 A0"), Hex(data)), Hex("00 00"));
}

TEST(RepliesTest, FramedWeight) {
  struct Case {
    const char* data;  // bytes 6..11
    std::int32_t weight;
    std::int32_t division;
    std::uint8_t stable;
  };
  const Case cases[] = {
      {"10 27 00 00 03 05", 10000, 3, 1},     {"FF FF FF FF 03 05", -1, 3, 1},
      {"10 27 00 00 03 00", 10000, 3, 0},     {"00 00 00 80 FF 01", INT32_MIN, 255, 1},
      {"FF FF FF 7F 00 80", INT32_MAX, 0, 1},
  };
  for (const auto& c : cases) {
    TScale s;
    ParseWeightReply(s, WeightReply(c.data));
    EXPECT_EQ(s.Weight, c.weight) << c.data;
    EXPECT_EQ(s.Division, c.division) << c.data;
    EXPECT_EQ(s.Stable, c.stable) << c.data;
  }
}

TEST(RepliesTest, FramedTare) {
  TScale s;
  ParseTareReply(s, Hex("F8 55 CE 06 00 A1 18 FC FF FF 02 00 00"));
  EXPECT_EQ(s.Tare, -1000);
  EXPECT_EQ(s.Division, 2);
  EXPECT_EQ(s.Weight, 0) << "a tare reply writes only Tare and Division";
}

TEST(RepliesTest, LegacyWeight) {
  struct Case {
    const char* reply;
    std::uint8_t stable;
    std::int32_t division;
    std::int32_t weight;
  };
  const Case cases[] = {
      {"80 00 10 27 00", 1, 1, 10000},
      {"00 01 64 00 80", 0, 0, -10000},  // 100 times 100, negated
      {"00 07 01 00 00", 0, 2, 1},
      {"00 00 FF FF 7F", 0, 1, 8388607},
      {"7F 00 00 00 00", 0, 1, 0},  // only bit 7 of byte 0 is stability
      {"FF 01 FF FF FF", 1, 0, -838860700},
      {"00 02 00 00 80", 0, 2, 0},  // negative zero stays zero
  };
  for (const auto& c : cases) {
    TScale s;
    ParseLegacyWeightReply(s, Hex(c.reply));
    EXPECT_EQ(s.Stable, c.stable) << c.reply;
    EXPECT_EQ(s.Division, c.division) << c.reply;
    EXPECT_EQ(s.Weight, c.weight) << c.reply;
  }
}

TEST(RepliesTest, Acknowledgement) {
  EXPECT_EQ(JudgeAcknowledgement(Hex("F8 55 CE 01 00 06 06 00")), kResultDone);
  EXPECT_EQ(JudgeAcknowledgement(Hex("F8 55 CE 01 00 15 15 00")), kResultRefused);
  EXPECT_EQ(JudgeAcknowledgement(Hex("00 00 00 00 00 15 99 99")), kResultRefused)
      << "header and checksum are not examined";
  EXPECT_EQ(JudgeAcknowledgement(Hex("00 00 00 00 00 A2 00 00")), kResultDone);
  EXPECT_EQ(JudgeAcknowledgement(Hex("F8 55 CE 01 00 06 06")), kResultNoReply);
  EXPECT_EQ(JudgeAcknowledgement(Hex("F8 55 CE 01 00 06 06 00 00")), kResultNoReply);
  EXPECT_EQ(JudgeAcknowledgement(Bytes{}), kResultNoReply);
}

TEST(RepliesTest, ShortRepliesAreRefusedNotReadPastTheirEnd) {
  TScale s;
  EXPECT_THROW(ParseWeightReply(s, Bytes(13, 0)), Fault);
  EXPECT_THROW(ParseTareReply(s, Bytes(12, 0)), Fault);
  EXPECT_THROW(ParseLegacyWeightReply(s, Bytes(4, 0)), Fault);
}

}  // namespace
}  // namespace rd
