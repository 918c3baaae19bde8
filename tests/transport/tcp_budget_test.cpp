// The TCP receive budget of 2000 ms in real time (in its own executable so
// that CTest overlaps it with the other slow cases).
#include <gtest/gtest.h>

#include "raroredoziri/Transport.h"
#include "transport/tcp_peer_fixture.h"

namespace rd {
namespace {

using test::LoopbackAddress;
using test::Pattern;
using test::PeerSocket;
using test::SleepMs;
using test::Stopwatch;

class TcpSlowTest : public test::TcpPeerTest {};

const Bytes kRequest = Pattern(8, 0x10);

TEST_F(TcpSlowTest, ReplyAfterTheBudgetGivesTwo) {
  const Bytes reply = Pattern(14);
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(201), [reply](PeerSocket& peer) {
    peer.Receive(kRequest.size(), 3000);
    SleepMs(2500);
    peer.SendAll(reply);
    peer.SeesClose(8000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(201)));
  ASSERT_EQ(TcpSend(kRequest), 0);
  Stopwatch watch;
  Bytes got;
  EXPECT_EQ(TcpReceive(got, 14), 2);
  EXPECT_GE(watch.Ms(), 2450);
  EXPECT_LT(watch.Ms(), 3500);
  EXPECT_TRUE(TcpConnected());
}

TEST_F(TcpSlowTest, UnfinishedReplyEndsWithTheBudgetAcrossTheTickWrap) {
  // The rest of the reply comes just after the budget: it is waited out, so
  // the next request gets its own reply and not that tail before it.
  SetTickSource(test::RealTicksFrom(0xFFFFFF00u));
  const Bytes reply = Pattern(14, 0x40);
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(202), [reply](PeerSocket& peer) {
    peer.Receive(kRequest.size(), 3000);
    peer.SendAll(Pattern(10));
    SleepMs(2080);
    peer.SendAll(Pattern(4, 0x0A));
    if (peer.Receive(kRequest.size(), 3000) == kRequest) peer.SendAll(reply);
    peer.SeesClose(8000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(202)));
  ASSERT_EQ(TcpSend(kRequest), 0);
  Stopwatch watch;
  Bytes got;
  EXPECT_EQ(TcpReceive(got, 14), 2);
  EXPECT_GE(watch.Ms(), 1950);
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_TRUE(TcpConnected());
  ASSERT_EQ(TcpSend(kRequest), 0);
  EXPECT_EQ(TcpReceive(got, 14), 0);
  EXPECT_EQ(got, reply);
}

TEST_F(TcpSlowTest, LateAnswerAheadOfACutReplyIsNotJoinedToIt) {
  // The first request is answered only when the second arrives, just ahead
  // of the second's reply, which comes cut so that the late answer and its
  // head are 14 bytes.
  const Bytes reply = Pattern(14, 0xA0);
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(203), [reply](PeerSocket& peer) {
    peer.Receive(kRequest.size(), 3000);
    peer.Receive(kRequest.size(), 5000);
    peer.SendAll(test::Concat(Pattern(8, 0x06), Bytes(reply.begin(), reply.begin() + 6)));
    SleepMs(60);
    peer.SendAll(Bytes(reply.begin() + 6, reply.end()));
    if (peer.Receive(kRequest.size(), 3000) == kRequest) peer.SendAll(reply);
    peer.SeesClose(8000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(203)));
  Bytes got;
  ASSERT_EQ(TcpSend(kRequest), 0);
  EXPECT_EQ(TcpReceive(got, 14), 2);
  ASSERT_EQ(TcpSend(kRequest), 0);
  EXPECT_EQ(TcpReceive(got, 14), 0);
  EXPECT_NE(got.size(), 14u) << "over-long, not a spliced reply";
  ASSERT_EQ(TcpSend(kRequest), 0);
  EXPECT_EQ(TcpReceive(got, 14), 0);
  EXPECT_EQ(got, reply);
}

}  // namespace
}  // namespace rd
