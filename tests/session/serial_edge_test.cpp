// Serial connection strings and the cases that wait out the serial budget.
#include "SessionFixture.h"
#include "hex.h"

namespace rd::test {
namespace {

using sim::SimConfig;

class SerialEdgeTest : public SessionTest {};

TEST_F(SerialEdgeTest, PortNumbersFromTheConnectionString) {
  SimConfig legacy;
  legacy.variant = sim::SimVariant::kLegacy;
  struct Case {
    const char16_t* connection;
    std::uint16_t port;
  };
  for (const Case& c :
       {Case{u"COM 11", 11}, Case{u"COM$C", 12}, Case{u"CXY13", 13}, Case{u"COM0x0E", 14}}) {
    TScale s;
    ServeSerial(legacy, c.port);
    s.Connection = c.connection;
    EXPECT_EQ(s.OpenConnection(), kResultDone) << c.port;
    EXPECT_EQ(ComPortNumber(), c.port);
    ComClose();
    Sim().Stop();
  }
}

TEST_F(SerialEdgeTest, UnusableConnectionStrings) {
  SimConfig legacy;
  legacy.variant = sim::SimVariant::kLegacy;
  TScale opener;
  opener.Connection = ServeSerial(legacy, 15);
  ASSERT_EQ(opener.OpenConnection(), kResultDone);

  // "C" alone: the open port is closed, and the result is 1.
  TScale s;
  s.Connection = u"C";
  EXPECT_EQ(s.OpenConnection(), kResultNoConnection);
  EXPECT_FALSE(ComIsOpen());
  ASSERT_EQ(opener.OpenConnection(), kResultDone);
  EXPECT_EQ(s.CloseConnection(), kResultNoConnection);
  EXPECT_TRUE(ComIsOpen()) << "CloseConnection with C leaves the port as it was";

  for (const char16_t* text : {u"COM", u"COMX", u"COM-1", u"COM ", u"COM99"}) {
    s.Connection = text;
    EXPECT_EQ(s.OpenConnection(), kResultNoConnection) << ToHex(Bytes(text, text + 5));
  }
  EXPECT_EQ(s.ProtocolKind, "") << "failed opens leave the variant alone";
}

TEST_F(SerialEdgeTest, PortNumbersOutOfRangeFailWithRangeError) {
  for (const char16_t* text : {u"COM70000", u"COM-2", u"COM$FFFFFFFE"}) {
    TScale s;
    s.Connection = text;
    MemberValue result = std::int32_t{-99};
    TakeErrorInfo();
    EXPECT_EQ(Call(s, "OpenConnection", result), kStatusUnexpected);
    EXPECT_EQ(std::get<std::int32_t>(result), -99) << "no result code written";
    const auto error = TakeErrorInfo();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, u"Range check error");
  }
}

TEST_F(SerialEdgeTest, CloseConnectionClosesWhateverPortIsOpen) {
  SimConfig legacy;
  legacy.variant = sim::SimVariant::kLegacy;
  TScale s;
  s.Connection = ServeSerial(legacy, 16);
  ASSERT_EQ(s.OpenConnection(), kResultDone);
  TScale other;
  other.Connection = u"COM7";
  EXPECT_EQ(other.CloseConnection(), kResultDone);
  EXPECT_FALSE(ComIsOpen());
}

TEST_F(SerialEdgeTest, SilentLineGivesTwoAfterBothProbes) {
  SimConfig c;
  c.silent = true;
  TScale s;
  s.Connection = ServeSerial(c, 17);
  std::int32_t result = -1;
  const auto ms = ElapsedMs([&] { result = s.OpenConnection(); });
  EXPECT_EQ(result, kResultNoReply);
  EXPECT_GE(ms, 6000);
  EXPECT_LT(ms, 9000);
  EXPECT_TRUE(ComIsOpen()) << "left open at the last baud rate tried";
  EXPECT_EQ(s.ProtocolKind, "");
}

TEST_F(SerialEdgeTest, OvershootingReplyWaitsOutTheBudget) {
  SimConfig c;
  c.extra = 1;
  TScale s;
  s.Connection = ServeSerial(c, 18);
  s.ProtocolKind = "New";
  ASSERT_TRUE(ComOpen(100000, 100000, 57600));
  std::int32_t result = -1;
  const auto ms = ElapsedMs([&] { result = s.SetGoods(); });
  EXPECT_EQ(result, kResultNoReply) << "9 bytes for an 8-byte acknowledgement";
  EXPECT_GE(ms, 3000);
}

}  // namespace
}  // namespace rd::test
