// TCP exchanges against the time limits: these wait for real, so they live
// in an executable of their own that runs beside the others.
#include "SessionFixture.h"

namespace rd::test {
namespace {

using sim::SimConfig;

class TcpTimingTest : public SessionTest {};

TEST_F(TcpTimingTest, SilentScaleCostsTheReadLimit) {
  SimConfig c;
  c.silent = true;
  TScale s;
  s.Connection = ServeTcp(c, "127.21.0.1");
  std::int32_t result = -1;
  const auto ms = ElapsedMs([&] { result = s.OpenConnection(); });
  EXPECT_EQ(result, kResultNoReply);
  EXPECT_GE(ms, 3900);
  EXPECT_LT(ms, 5500);
  EXPECT_TRUE(TcpConnected()) << "a time-out leaves the client connected";
}

TEST_F(TcpTimingTest, ReplyAfterTheBudgetGivesTwoAndIsNotTakenLater) {
  SimConfig c;
  c.weight = 1;
  c.weight_step = 1;
  c.delay_ms = 2500;
  TScale s;
  s.Connection = ServeTcp(c, "127.21.0.2");
  s.Weight = -7;
  std::int32_t result = -1;
  const auto ms = ElapsedMs([&] { result = s.OpenConnection(); });
  EXPECT_EQ(result, kResultNoReply) << "received at 2500 ms, past the 2000 ms budget";
  EXPECT_GE(ms, 2400);
  EXPECT_LT(ms, 3900);
  EXPECT_EQ(s.ReadWeight(), kResultNoReply);
  EXPECT_EQ(s.Weight, -7);
}

TEST_F(TcpTimingTest, LateReplyIsNeverTakenForTheNextRequest) {
  // The first reply comes after the 4000 ms read limit; the next request must
  // not take it as its own: the weight it reports is the one sent for it.
  SimConfig c;
  c.weight = 100;
  c.weight_step = 1;
  c.delay_ms = 4300;
  TScale s;
  s.Connection = ServeTcp(c, "127.21.0.3");
  EXPECT_EQ(s.OpenConnection(), kResultNoReply);  // reply for weight 100 comes late
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(s.ReadWeight(), kResultNoReply);  // its own reply comes late too
  EXPECT_EQ(s.Weight, 0) << "the stale reply (weight 100) was discarded, not reported";
}

}  // namespace
}  // namespace rd::test
