// A peer that takes no data: the send gives up after 4000 ms instead of
// hanging, raises, and closes the connection (a real wait, in its own
// executable so that CTest overlaps it with the other slow cases).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"
#include "transport/tcp_peer_fixture.h"

namespace rd {
namespace {

using test::LoopbackAddress;
using test::PeerSocket;
using test::Stopwatch;

class TcpSlowTest : public test::TcpPeerTest {};

TEST_F(TcpSlowTest, SendThatCannotGoOutRaisesAndDisconnects) {
  // The peer holds the connection open and reads nothing until told.
  const auto done = std::make_shared<std::promise<void>>();
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(204), [done](PeerSocket&) {
    done->get_future().wait_for(std::chrono::seconds(10));
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(204)));
  // Far more than the loopback buffers hold.
  const Bytes flood(64u << 20, 0x55);
  Stopwatch watch;
  EXPECT_THROW(TcpSend(flood), Fault);
  EXPECT_GE(watch.Ms(), 3950);
  EXPECT_LT(watch.Ms(), 6000);
  EXPECT_FALSE(TcpConnected());
  EXPECT_EQ(TcpSend(Bytes{1}), 1);
  done->set_value();
}

}  // namespace
}  // namespace rd
