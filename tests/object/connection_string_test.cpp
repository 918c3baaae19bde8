#include <gtest/gtest.h>

#include "object/ConnectionString.h"

namespace rd {
namespace {

TEST(ConnectionStringTest, FirstCharacterChoosesTheChannel) {
  EXPECT_EQ(ChannelOf(u""), Channel::None);
  EXPECT_EQ(ChannelOf(u"COM3"), Channel::Serial);
  EXPECT_EQ(ChannelOf(u"C"), Channel::Serial);
  EXPECT_EQ(ChannelOf(u"CXY5"), Channel::Serial);
  EXPECT_EQ(ChannelOf(u"com3"), Channel::None);
  EXPECT_EQ(ChannelOf(u"XYZ5"), Channel::None);
  EXPECT_EQ(ChannelOf(u" COM3"), Channel::None);
  EXPECT_EQ(ChannelOf(u"192.0.2.10"), Channel::Tcp);
  EXPECT_EQ(ChannelOf(u"9"), Channel::Tcp);
  EXPECT_EQ(ChannelOf(u"\xFF13"), Channel::None) << "a full-width digit is no digit";
}

TEST(ConnectionStringTest, PortNumbers) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"3", 3},
      {" 3", 3},
      {"   +12", 12},
      {"-2", -2},
      {"$A", 10},
      {"xff", 255},
      {"X1F", 31},
      {"0x10", 16},
      {"0X10", 16},
      {"$FFFFFFFF", -1},
      {"$80000000", INT32_MIN},
      {"$00000000A", 10},
      {"70000", 70000},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"007", 7},
      {"-$A", -10},
      // Invalid texts read as -1.
      {"", -1},
      {" ", -1},
      {"X", -1},
      {"$", -1},
      {"0x", -1},
      {"3 ", -1},
      {"3a", -1},
      {"+-3", -1},
      {"\t3", -1},
      {"2147483648", -1},
      {"-2147483649", -1},
      {"99999999999999999999", -1},
      {"$100000000", -1},
      {"$G", -1},
      {"1.5", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadPortNumber(c.text), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(ReadPortNumber(std::string_view("3\0", 2)), -1) << "an embedded NUL is trailing junk";
}

}  // namespace
}  // namespace rd
