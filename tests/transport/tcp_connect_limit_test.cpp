// The TCP connect limit of 3000 ms (a real wait, in its own executable so
// that CTest overlaps it with the other slow cases).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "raroredoziri/Transport.h"
#include "transport/tcp_peer_fixture.h"

namespace rd {
namespace {

using test::LoopbackAddress;
using test::PeerSocket;
using test::Stopwatch;

class TcpSlowTest : public test::TcpPeerTest {};

TEST_F(TcpSlowTest, ConnectGivesUpAfterTheLimit) {
  // A listener that never accepts and whose one-place queue is taken leaves
  // further connection requests unanswered; a name lookup that takes its
  // whole time spends the same limit, and no attempt follows it.
  test::PeerListener listener(LoopbackAddress(205), kTcpPort, 0);
  ASSERT_TRUE(listener.Valid());
  const PeerSocket queued = test::ConnectPlain(LoopbackAddress(205));
  ASSERT_TRUE(queued.Valid());
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(206), [](PeerSocket&) {}));
  for (const bool slow_lookup : {false, true}) {
    SCOPED_TRACE(slow_lookup ? "slow lookup" : "unanswered attempt");
    SetResolver([slow_lookup](const std::string& host, std::uint32_t limit_ms) {
      if (!slow_lookup) return std::vector<std::string>{host};
      test::SleepMs(static_cast<int>(limit_ms));
      return std::vector<std::string>{LoopbackAddress(206)};  // would answer
    });
    Stopwatch watch;
    EXPECT_FALSE(TcpConnect(slow_lookup ? "scale.invalid" : LoopbackAddress(205)));
    EXPECT_GE(watch.Ms(), 2950);
    EXPECT_LT(watch.Ms(), 4000);
    EXPECT_TRUE(TcpHasClient());
    EXPECT_FALSE(TcpConnected());
  }
  SetResolver({});
  EXPECT_TRUE(TcpConnect(LoopbackAddress(206)));  // lets the peer's accept finish
}

}  // namespace
}  // namespace rd
