// The TCP read limit: a silent peer costs 4000 ms (a real wait, in its own
// executable so that CTest overlaps it with the other slow cases).
#include <gtest/gtest.h>

#include "raroredoziri/Transport.h"
#include "transport/tcp_peer_fixture.h"

namespace rd {
namespace {

using test::LoopbackAddress;
using test::Pattern;
using test::PeerSocket;
using test::Stopwatch;

class TcpSlowTest : public test::TcpPeerTest {};

const Bytes kRequest = Pattern(8, 0x10);

TEST_F(TcpSlowTest, SilentPeerCostsTheReadLimitAndStaysConnected) {
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(200), [](PeerSocket& peer) {
    peer.Receive(kRequest.size(), 3000);
    peer.SeesClose(8000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(200)));
  ASSERT_EQ(TcpSend(kRequest), 0);
  Stopwatch watch;
  Bytes got{1};
  EXPECT_EQ(TcpReceive(got, 14), 2);
  EXPECT_GE(watch.Ms(), 3950);
  EXPECT_LT(watch.Ms(), 5000);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(TcpConnected());
}

}  // namespace
}  // namespace rd
