// The TCP connect limit of 3000 ms (a real wait, in its own executable so
// that CTest overlaps it with the other slow cases).
#include <gtest/gtest.h>

#include "raroredoziri/Transport.h"
#include "transport/tcp_peer_fixture.h"

namespace rd {
namespace {

using test::LoopbackAddress;
using test::PeerSocket;
using test::Stopwatch;

class TcpSlowTest : public test::TcpPeerTest {};

TEST_F(TcpSlowTest, UnansweredConnectionAttemptGivesUpAfterTheLimit) {
  // A listener that never accepts and whose one-place queue is taken leaves
  // further connection requests unanswered.
  test::PeerListener listener(LoopbackAddress(203), kTcpPort, 0);
  ASSERT_TRUE(listener.Valid());
  const PeerSocket queued = test::ConnectPlain(LoopbackAddress(203));
  ASSERT_TRUE(queued.Valid());
  Stopwatch watch;
  EXPECT_FALSE(TcpConnect(LoopbackAddress(203)));
  EXPECT_GE(watch.Ms(), 2950);
  EXPECT_LT(watch.Ms(), 4000);
  EXPECT_TRUE(TcpHasClient());
  EXPECT_FALSE(TcpConnected());
}

}  // namespace
}  // namespace rd
