// The TCP receive budget of 2000 ms in real time (in its own executable so
// that CTest overlaps it with the other slow cases).
#include <gtest/gtest.h>

#include <vector>

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
  // The rest of the reply comes just after the budget: the next request
  // goes over a fresh connection, so it gets its own reply and not that tail
  // before it.
  SetTickSource(test::RealTicksFrom(0xFFFFFF00u));
  const Bytes reply = Pattern(14, 0x40);
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(202), [this, reply](PeerSocket& peer) {
    peer.Receive(kRequest.size(), 3000);
    peer.SendAll(Pattern(10));
    SleepMs(2080);
    peer.SendAll(Pattern(4, 0x0A));
    PeerSocket fresh = NextConnection();
    if (fresh.Receive(kRequest.size(), 3000) == kRequest) fresh.SendAll(reply);
    fresh.SeesClose(8000);
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

TEST_F(TcpSlowTest, LateAnswerNeverReachesTheNextExchange) {
  // A request goes unanswered; its answer comes only when the next request
  // arrives: once a whole reply ahead of the next one's, once 8 bytes that
  // would make 14 with the head of the next reply, which comes cut. The next
  // request went over a fresh connection and gets only its own reply.
  const Bytes reply = Pattern(14, 0xA0);
  const std::vector<Bytes> late = {Pattern(14, 0x60), Pattern(8, 0x06)};
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(203), [this, reply, late](PeerSocket& first) {
    PeerSocket current = std::move(first);
    for (const Bytes& answer : late) {
      current.Receive(kRequest.size(), 3000);
      PeerSocket fresh = NextConnection();
      if (fresh.Receive(kRequest.size(), 8000) != kRequest) return;
      current.SendAll(answer);
      fresh.SendAll(Bytes(reply.begin(), reply.begin() + 6));
      SleepMs(60);
      fresh.SendAll(Bytes(reply.begin() + 6, reply.end()));
      current = std::move(fresh);
    }
    current.SeesClose(8000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(203)));
  for (std::size_t round = 0; round < late.size(); ++round) {
    SCOPED_TRACE(round);
    Bytes got;
    ASSERT_EQ(TcpSend(kRequest), 0);
    EXPECT_EQ(TcpReceive(got, 14), 2);
    ASSERT_EQ(TcpSend(kRequest), 0);
    EXPECT_EQ(TcpReceive(got, 14), 0);
    EXPECT_EQ(got, reply);
  }
}

}  // namespace
}  // namespace rd
