// Sessions over a serial line: a pseudo-terminal that a serial port number
// maps to, with the simulated scale on its other side.
#include <termios.h>

#include <algorithm>

#include "SessionFixture.h"
#include "hex.h"

namespace rd::test {
namespace {

using sim::SimConfig;
using sim::SimVariant;

SimConfig Framed(std::int32_t weight = 2500) {
  SimConfig c;
  c.weight = weight;
  c.division = 3;
  c.tare = 120;
  return c;
}

class SerialSessionTest : public SessionTest {};

TEST_F(SerialSessionTest, FramedScaleIsFoundAfterTheLegacyProbe) {
  TScale s;
  s.Connection = ServeSerial(Framed(), 3);
  std::int32_t result = -1;
  const auto ms = ElapsedMs([&] { result = s.OpenConnection(); });
  EXPECT_EQ(result, kResultDone);
  EXPECT_EQ(s.ProtocolKind, "New");
  EXPECT_GE(ms, 3000) << "the legacy probe waited out its budget";
  EXPECT_LT(ms, 5500);
  const auto requests = Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(ToHex(requests[0].request.raw), "45") << "legacy probe E";
  EXPECT_EQ(ToHex(requests[1].request.raw), "F8 55 CE 01 00 A0 A0 00");
  EXPECT_EQ(ComPortNumber(), 3);

  // The legacy probe went unanswered by design: the replies that follow do
  // not have to be followed by 150 ms of silence to count.
  long long best = 1000;
  for (int i = 0; i < 3; ++i) {
    best = std::min(best, ElapsedMs([&] { EXPECT_EQ(s.ReadWeight(), kResultDone); }));
  }
  EXPECT_LT(best, 100);

  // Everything else of the session on the framed variant.
  EXPECT_EQ(s.ReadWeight(), kResultDone);
  EXPECT_EQ(s.Weight, 2500);
  EXPECT_EQ(s.Division, 3);
  EXPECT_EQ(s.ReadTare(), kResultDone);
  EXPECT_EQ(s.Tare, 120);
  s.Goods = u"Milk";
  EXPECT_EQ(s.SetGoods(), kResultDone);
  EXPECT_EQ(ToHex(Requests().back().request.raw),
            "F8 55 CE 10 00 A2 4D 69 6C 6B 20 20 20 20 20 20 20 20 20 20 20 0D 17");

  // Another object on which no probe succeeded sends nothing.
  TScale other;
  other.Connection = s.Connection;
  const auto before = RequestCount();
  EXPECT_EQ(other.SetGoods(), kResultNoConnection);
  EXPECT_EQ(other.ReadWeight(), kResultNoConnection);
  EXPECT_EQ(other.ReadTare(), kResultNoConnection);
  EXPECT_EQ(RequestCount(), before);

  // After CloseConnection the port is closed: a query gives 2 at once.
  EXPECT_EQ(s.CloseConnection(), kResultDone);
  EXPECT_FALSE(ComIsOpen());
  std::int32_t closed = -1;
  const auto closed_ms = ElapsedMs([&] { closed = s.ReadWeight(); });
  EXPECT_EQ(closed, kResultNoReply);
  EXPECT_LT(closed_ms, 500) << "a closed port is not waited on";
  EXPECT_EQ(s.SetScreen(), kResultNoReply);
  EXPECT_EQ(s.Weight, 2500);
}

TEST_F(SerialSessionTest, LegacyScale) {
  SimConfig c;
  c.variant = SimVariant::kLegacy;
  c.weight = 10000;
  c.division = 1;
  c.stable = true;
  TScale s;
  s.Connection = ServeSerial(c, 4);
  std::int32_t result = -1;
  const auto ms = ElapsedMs([&] { result = s.OpenConnection(); });
  EXPECT_EQ(result, kResultDone);
  EXPECT_EQ(s.ProtocolKind, "2");
  EXPECT_LT(ms, 1500) << "the legacy scale answered the first probe";

  EXPECT_EQ(s.ReadWeight(), kResultDone);
  EXPECT_EQ(s.Weight, 10000);
  EXPECT_EQ(s.Division, 1);
  EXPECT_EQ(s.Stable, 1);
  EXPECT_EQ(ToHex(Requests().back().request.raw), "4A");

  s.Tare = 77;
  s.Division = 9;
  const auto before = RequestCount();
  EXPECT_EQ(s.ReadTare(), kResultLegacy);
  EXPECT_EQ(s.Tare, 0);
  EXPECT_EQ(s.Division, 0);
  for (std::uint8_t code = 0xA2; code <= 0xAF; ++code) {
    EXPECT_EQ(s.SendCommand(code), kResultLegacy);
  }
  EXPECT_EQ(RequestCount(), before) << "nothing is sent for tare or commands";
}

TEST_F(SerialSessionTest, LegacyWeightWithDivisionZeroIsScaled) {
  SimConfig c;
  c.variant = SimVariant::kLegacy;
  c.weight = -10000;
  c.division = 0;
  c.stable = false;
  TScale s;
  s.Connection = ServeSerial(c, 5);
  ASSERT_EQ(s.OpenConnection(), kResultDone);
  ASSERT_EQ(s.ReadWeight(), kResultDone);
  EXPECT_EQ(s.Weight, -10000);
  EXPECT_EQ(s.Division, 0);
  EXPECT_EQ(s.Stable, 0);
}

TEST_F(SerialSessionTest, LegacyReplyTooLongGivesTwo) {
  SimConfig c;
  c.variant = SimVariant::kLegacy;
  c.weight = 5;
  TScale s;
  s.Connection = ServeSerial(c, 6);
  ASSERT_EQ(s.OpenConnection(), kResultDone);
  sim::SimConfig extra = c;
  // Re-serve with extra bytes appended to every reply on the same port.
  ComClose();
  Sim().Stop();
  extra.extra = 1;
  s.Connection = ServeSerial(extra, 6);
  ASSERT_TRUE(ComOpen(100000, 100000, 4800));
  s.Weight = 3;
  EXPECT_EQ(s.ReadWeight(), kResultNoReply);
  EXPECT_EQ(s.Weight, 3);
}

TEST_F(SerialSessionTest, SplitSerialRepliesAreJoined) {
  SimConfig c = Framed(31);
  c.split = 2;
  c.split_gap_ms = 50;
  TScale s;
  s.Connection = ServeSerial(c, 7);
  s.ProtocolKind = "New";  // as a successful probe leaves it
  ASSERT_TRUE(ComOpen(100000, 100000, 57600));
  EXPECT_EQ(s.ReadWeight(), kResultDone);
  EXPECT_EQ(s.Weight, 31);
  EXPECT_EQ(s.SetLock(), kResultDone);
}

TEST_F(SerialSessionTest, RefusalAndOvershoot) {
  SimConfig c = Framed();
  c.refused = {0xAF};
  TScale s;
  s.Connection = ServeSerial(c, 8);
  s.ProtocolKind = "New";
  ASSERT_TRUE(ComOpen(100000, 100000, 57600));
  EXPECT_EQ(s.SetScreen(), kResultRefused);
  EXPECT_EQ(s.SetTape(), kResultDone);
}

}  // namespace
}  // namespace rd::test
