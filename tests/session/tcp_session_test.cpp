// A whole session over TCP against the simulated scale.
#include <algorithm>
#include <iterator>
#include <optional>
#include <thread>

#include "SessionFixture.h"
#include "hex.h"
#include "raroredoziri/ScaleLink.h"
#include "raroredoziri/WeightState.h"

namespace rd::test {
namespace {

using sim::SimConfig;

SimConfig Scale(std::int32_t weight = 1234, std::uint8_t division = 2, bool stable = true) {
  SimConfig c;
  c.weight = weight;
  c.division = division;
  c.stable = stable;
  c.tare = -50;
  return c;
}

class TcpSessionTest : public SessionTest {};

TEST_F(TcpSessionTest, OpenReadAndClose) {
  TScale s;
  s.Connection = ServeTcp(Scale(1234, 2, true), "127.20.0.1");
  s.ProtocolKind = "2";
  EXPECT_EQ(s.OpenConnection(), kResultDone);
  EXPECT_EQ(s.ProtocolKind, "2") << "TCP leaves the protocol variant alone";
  EXPECT_EQ(ToHex(Requests().at(0).request.raw), "F8 55 CE 01 00 A0 A0 00") << "the probe";

  EXPECT_EQ(s.ReadWeight(), kResultDone);
  EXPECT_EQ(s.Weight, 1234);
  EXPECT_EQ(s.Division, 2);
  EXPECT_EQ(s.Stable, 1);
  EXPECT_EQ(s.ReadTare(), kResultDone);
  EXPECT_EQ(s.Tare, -50);
  EXPECT_EQ(ToHex(Requests().back().request.raw), "F8 55 CE 01 00 A1 A1 00");

  EXPECT_EQ(s.CloseConnection(), kResultDone);
  EXPECT_FALSE(TcpHasClient());
  EXPECT_EQ(s.ReadWeight(), kResultNoConnection);
  EXPECT_EQ(s.SetGoods(), kResultNoConnection);
  EXPECT_EQ(s.Weight, 1234) << "fields untouched on failure";
}

TEST_F(TcpSessionTest, EveryCommandDownloadsItsBody) {
  TScale s;
  s.Connection = ServeTcp(Scale(), "127.20.0.2");
  ASSERT_EQ(s.OpenConnection(), kResultDone);
  s.Goods = u"Milk";
  s.Tare = 1000;
  s.LabelFormat = "L1";
  s.LabelFormatZ = "Z2";
  s.Tape = 3;
  s.Underwinder = 4;
  s.Operation = 258;
  s.RegistratorStore = u"Store";
  s.Agent = u"7";
  s.Operator = u"Anna";
  s.Text = "Fresh";
  s.GoodsButton1 = "Apples";
  s.GoodsButton8 = "Pears";
  s.Lock1 = 1;
  s.OptionFreePrice = 1;
  s.FindGoods = 5;
  s.Screen = 1;
  struct Case {
    const char* method;
    std::uint8_t code;
  };
  const Case cases[] = {{"SetGoods", 0xA2},        {"SetTare", 0xA3},     {"SetLabelFormat", 0xA4},
                        {"SetLabelFormatZ", 0xA5}, {"SetTape", 0xA6},     {"SetUnderwinder", 0xA7},
                        {"SetMode", 0xA8},         {"SetOperator", 0xA9}, {"SetText", 0xAA},
                        {"SetGoodsButton", 0xAB},  {"SetLock", 0xAC},     {"SetOptions", 0xAD},
                        {"SetFindGoods", 0xAE},    {"SetScreen", 0xAF}};
  for (const Case& c : cases) {
    MemberValue result;
    ASSERT_EQ(Call(s, c.method, result), kStatusOk) << c.method;
    EXPECT_EQ(std::get<std::int32_t>(result), kResultDone) << c.method;
    EXPECT_EQ(LastBody(), s.CommandBody(c.code)) << c.method;
    EXPECT_EQ(Requests().back().request.raw, BuildFrame(s.CommandBody(c.code))) << c.method;
  }
  EXPECT_EQ(ToHex(Requests().at(2).request.raw), "F8 55 CE 05 00 A3 E8 03 00 00 B4 4D");
  EXPECT_EQ(ToHex(Requests().back().request.raw), "F8 55 CE 02 00 AF 01 01 AF");
  // The scale took the tare it was sent.
  EXPECT_EQ(s.ReadTare(), kResultDone);
  EXPECT_EQ(s.Tare, 1000);
}

TEST_F(TcpSessionTest, RefusedCommandsGiveFive) {
  SimConfig c = Scale();
  for (std::uint8_t code = 0xA2; code <= 0xAF; ++code) c.refused.insert(code);
  TScale s;
  s.Connection = ServeTcp(c, "127.20.0.3");
  ASSERT_EQ(s.OpenConnection(), kResultDone);
  for (std::uint8_t code = 0xA2; code <= 0xAF; ++code) {
    EXPECT_EQ(s.SendCommand(code), kResultRefused) << int{code};
  }
  EXPECT_EQ(s.ReadWeight(), kResultDone) << "queries are not refused";
}

TEST_F(TcpSessionTest, SplitRepliesAreGathered) {
  SimConfig c = Scale(777);
  c.split = 3;
  c.split_gap_ms = 30;
  TScale s;
  s.Connection = ServeTcp(c, "127.20.0.4");
  ASSERT_EQ(s.OpenConnection(), kResultDone) << "the probe takes the first piece";
  // The probe's later pieces arrive now; the next request discards them.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(s.ReadWeight(), kResultDone);
  EXPECT_EQ(s.Weight, 777);
  EXPECT_EQ(s.ReadTare(), kResultDone);
  EXPECT_EQ(s.SetScreen(), kResultDone);
}

TEST_F(TcpSessionTest, RepliesOfTheWrongLengthGiveTwo) {
  SimConfig c = Scale(777);
  c.extra = 1;
  TScale s;
  s.Connection = ServeTcp(c, "127.20.0.5");
  ASSERT_EQ(s.OpenConnection(), kResultDone) << "the probe takes any length";
  s.Weight = 5;
  EXPECT_EQ(s.ReadWeight(), kResultNoReply);
  EXPECT_EQ(s.ReadTare(), kResultNoReply);
  EXPECT_EQ(s.SetGoods(), kResultNoReply);
  EXPECT_EQ(s.Weight, 5);
}

TEST_F(TcpSessionTest, PeerClosingInsteadOfAnsweringLeavesTheClientNotConnected) {
  SimConfig c = Scale();
  c.close_after = 2;  // the probe is answered, the next request closes
  TScale s;
  s.Connection = ServeTcp(c, "127.20.0.6");
  ASSERT_EQ(s.OpenConnection(), kResultDone);
  EXPECT_EQ(s.ReadWeight(), kResultNoReply);
  EXPECT_FALSE(TcpConnected());
  EXPECT_EQ(s.ReadWeight(), kResultNoConnection);
  EXPECT_EQ(s.SetLock(), kResultNoConnection);
  // Opening again makes a new connection (on which the scale again closes at
  // its second request).
  EXPECT_EQ(s.OpenConnection(), kResultDone);
  EXPECT_TRUE(TcpConnected());
}

TEST_F(TcpSessionTest, NothingListeningGivesOne) {
  TScale s;
  s.Connection = u"127.20.0.7";
  EXPECT_EQ(s.OpenConnection(), kResultNoConnection);
  EXPECT_TRUE(TcpHasClient()) << "an unconnected client stays";
  EXPECT_FALSE(TcpConnected());
  EXPECT_EQ(s.ReadWeight(), kResultNoConnection);
  EXPECT_EQ(s.CloseConnection(), kResultDone);
  // An address with a port is taken whole as a host name and fails.
  s.Connection = u"127.0.0.1:5001";
  EXPECT_EQ(s.OpenConnection(), kResultNoConnection);
}

TEST_F(TcpSessionTest, ConnectionStringsThatNameNoChannel) {
  ServeTcp(Scale(), "127.20.0.8");
  for (const char16_t* connection : {u"", u" 127.20.0.8", u"x127.20.0.8", u"com1"}) {
    TScale s;
    s.Connection = connection;
    EXPECT_EQ(s.OpenConnection(), kResultNoConnection);
    EXPECT_EQ(s.CloseConnection(), kResultNoConnection);
    EXPECT_EQ(s.ReadWeight(), kResultNoConnection);
    EXPECT_EQ(s.ReadTare(), kResultNoConnection);
    EXPECT_EQ(s.SetGoods(), kResultNoConnection);
  }
  EXPECT_EQ(RequestCount(), 0u) << "nothing was sent";
}

TEST_F(TcpSessionTest, TwoObjectsShareTheOneConnection) {
  TScale a, b;
  a.Connection = ServeTcp(Scale(42), "127.20.0.9");
  ASSERT_EQ(a.OpenConnection(), kResultDone);
  b.Connection = u"127.20.0.9";
  EXPECT_EQ(b.ReadWeight(), kResultDone) << "b uses the connection a opened";
  EXPECT_EQ(b.Weight, 42);
  EXPECT_EQ(a.Weight, 0);
  EXPECT_EQ(b.CloseConnection(), kResultDone);
  EXPECT_EQ(a.ReadWeight(), kResultNoConnection) << "closing through b closed it for a";
}

TEST_F(TcpSessionTest, WeightsAreFreshForEveryRequest) {
  SimConfig c = Scale(100);
  c.weight_step = 10;
  TScale s;
  s.Connection = ServeTcp(c, "127.20.0.10");
  ASSERT_EQ(s.OpenConnection(), kResultDone);  // the probe got weight 100
  for (int i = 1; i <= 5; ++i) {
    ASSERT_EQ(s.ReadWeight(), kResultDone);
    EXPECT_EQ(s.Weight, 100 + 10 * i);
  }
}

TEST_F(TcpSessionTest, ScriptedThroughTheMemberTable) {
  TScale s;
  MemberValue v = ServeTcp(Scale(-250, 1, false), "127.20.0.11");
  ASSERT_EQ(Call(s, "Connection", v), kStatusOk);
  for (const char* method : {"OpenConnection", "ReadWeight"}) {
    MemberValue result;
    ASSERT_EQ(Call(s, method, result), kStatusOk);
    EXPECT_EQ(std::get<std::int32_t>(result), kResultDone) << method;
  }
  EXPECT_EQ(s.Weight, -250);
  EXPECT_EQ(s.Stable, 0);
}

// A reading for a sale on a link, against a weight that settles, one that
// never does, a zero, a negative weight, one over the capacity, and a scale
// that goes away mid-wait. The readings are paced (50 ms) and the deadline
// holds.
struct StableCase {
  const char* name;
  std::int32_t weight;
  std::int32_t step;
  std::uint32_t settle_after;  // weight replies that move (the open's probe takes one)
  bool stable;
  bool allow_zero;
  std::optional<std::int64_t> capacity;
  int timeout_ms;
  int vanish_ms;  // > 0: the scale goes away this long into the wait
  StableEnd end;
  WeightState state;
  std::optional<std::int32_t> last_weight;
};

const StableCase kStableCases[] = {
    {"Settles",
     1000,
     37,
     6,
     true,
     false,
     {},
     3000,
     0,
     StableEnd::kGood,
     WeightState::kStable,
     1222},
    {"NeverSettles",
     1000,
     5,
     0,
     false,
     false,
     {},
     400,
     0,
     StableEnd::kDeadline,
     WeightState::kUnstable,
     {}},
    {"Zero", 0, 0, 0, true, false, {}, 300, 0, StableEnd::kDeadline, WeightState::kZero, 0},
    {"ZeroAllowed", 0, 0, 0, true, true, {}, 300, 0, StableEnd::kGood, WeightState::kZero, 0},
    {"Negative",
     -20,
     0,
     0,
     true,
     true,
     {},
     300,
     0,
     StableEnd::kDeadline,
     WeightState::kUnderZero,
     -20},
    {"OverCapacity", 15001, 0, 0, true, false, 15000, 300, 0, StableEnd::kDeadline,
     WeightState::kOverCapacity, 15001},
    {"ScaleGoesAway",
     500,
     3,
     0,
     false,
     false,
     {},
     10000,
     300,
     StableEnd::kDisconnected,
     WeightState::kDisconnected,
     {}},
};

void PrintTo(const StableCase& c, std::ostream* os) { *os << c.name; }

class StableReadingTest : public SessionTest, public ::testing::WithParamInterface<StableCase> {};

TEST_P(StableReadingTest, EndsWithAGoodReadingTheDeadlineOrTheLoss) {
  const StableCase& c = GetParam();
  SimConfig config = Scale(c.weight, 2, c.stable);
  config.weight_step = c.step;
  config.settle_after = c.settle_after;
  ScaleLink link;
  const auto at = std::find_if(std::begin(kStableCases), std::end(kStableCases),
                               [&c](const StableCase& k) { return k.name == c.name; });
  const std::string address = "127.19.0." + std::to_string(1 + (at - std::begin(kStableCases)));
  ASSERT_EQ(link.Open(ServeTcp(config, address)), kResultDone);
  StableOutcome out;
  std::chrono::steady_clock::duration took{};
  std::thread wait([&] {
    const StableRequest request{std::chrono::milliseconds(c.timeout_ms),
                                std::chrono::milliseconds(50), c.allow_zero, c.capacity};
    const auto began = std::chrono::steady_clock::now();
    out = link.ReadStableWeight(request);
    took = std::chrono::steady_clock::now() - began;
  });
  if (c.vanish_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(c.vanish_ms));
    Sim().Stop();
  }
  wait.join();
  EXPECT_EQ(out.end, c.end);
  EXPECT_STREQ(WeightStateName(out.state), WeightStateName(c.state));
  if (c.last_weight) {
    EXPECT_EQ(out.last.weight, *c.last_weight);
  }
  if (c.end == StableEnd::kGood) {
    EXPECT_EQ(out.readings, static_cast<int>(c.settle_after == 0 ? 1 : c.settle_after));
    return;
  }
  // Paced (one reading per 50 ms at most), none after the deadline, and a
  // lost scale ends the wait at once.
  EXPECT_LE(out.readings, c.timeout_ms / 50 + 1);
  const int least = c.vanish_ms > 0 ? c.vanish_ms : c.timeout_ms;
  const int most = c.vanish_ms > 0 ? 5000 : c.timeout_ms + 1500;
  EXPECT_GE(took, std::chrono::milliseconds(least - 5));  // the tick counter counts whole ms
  EXPECT_LT(took, std::chrono::milliseconds(most));
}

std::string StableCaseName(const ::testing::TestParamInfo<StableCase>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Weights, StableReadingTest, ::testing::ValuesIn(kStableCases),
                         StableCaseName);

}  // namespace
}  // namespace rd::test
