// The TCP channel against scripted loopback peers.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"
#include "transport/Resolver.h"
#include "transport/tcp_peer_fixture.h"

namespace rd {
namespace {

using test::LoopbackAddress;
using test::Pattern;
using test::PeerSocket;
using test::SleepMs;
using test::Stopwatch;

class TcpChannelTest : public test::TcpPeerTest {};

// The peer scripts run on their own thread until the fixture joins it:
// they capture by value, never the test body's locals by reference.
const Bytes kRequest = Pattern(8, 0x10);
const Bytes kReply = Pattern(14, 0xC0);

template <typename T>
std::shared_ptr<std::promise<T>> Promise() {
  return std::make_shared<std::promise<T>>();
}

TEST_F(TcpChannelTest, WithoutAConnectedClientNothingIsSentOrReceived) {
  TcpDisconnect();
  EXPECT_FALSE(TcpHasClient());
  EXPECT_FALSE(TcpConnected());
  EXPECT_EQ(TcpSend(kRequest), 1);
  Bytes reply{1, 2};
  EXPECT_EQ(TcpReceive(reply, 14), 1);
  EXPECT_TRUE(reply.empty());
}

TEST_F(TcpChannelTest, NothingListeningMeansFailureAndAnUnconnectedClient) {
  Stopwatch watch;
  EXPECT_FALSE(TcpConnect(LoopbackAddress(1)));
  EXPECT_LT(watch.Ms(), 1000);
  EXPECT_TRUE(TcpHasClient());
  EXPECT_FALSE(TcpConnected());
  EXPECT_EQ(TcpSend(kRequest), 1);
  Bytes reply;
  EXPECT_EQ(TcpReceive(reply, 14), 1);
}

TEST_F(TcpChannelTest, HostTextIsResolvedWithinTheConnectLimit) {
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(13), [](PeerSocket& peer) {
    if (peer.Receive(kRequest.size(), 3000) == kRequest) peer.SendAll(kReply);
    peer.SeesClose(5000);
  }));
  std::vector<std::pair<std::string, std::uint32_t>> asked;
  SetResolver([&asked](const std::string& host, std::uint32_t limit_ms) {
    asked.emplace_back(host, limit_ms);
    if (host == "scale-front")
      return std::vector<std::string>{LoopbackAddress(14), LoopbackAddress(13)};
    return std::vector<std::string>{};
  });
  EXPECT_FALSE(TcpConnect(LoopbackAddress(13) + ":5001"));
  EXPECT_FALSE(TcpConnect("scale-back"));
  // Each address in turn, within what is left of the limit: nothing listens
  // at the first one, the second connects.
  EXPECT_TRUE(TcpConnect("scale-front"));
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0].first, LoopbackAddress(13) + ":5001") << "taken whole";
  for (const auto& [host, limit] : asked) EXPECT_EQ(limit, kTcpConnectLimitMs) << host;
  ASSERT_EQ(TcpSend(kRequest), 0);
  Bytes got;
  EXPECT_EQ(TcpReceive(got, 14), 0);
  EXPECT_EQ(got, kReply);
}

TEST(Lookup, WaitsForTheLookupAtMostItsLimit) {
  struct Case {
    const char* name;
    int lookup_ms;  // how long the lookup takes; -1: it fails by throwing
    std::vector<std::string> found;
  };
  const std::vector<Case> cases = {
      {"in time", 0, {"lookup result"}},
      {"too slow", 1000, {}},
      {"failing", -1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stopwatch watch;
    const auto found = transport::LookUpWithin(
        [c] {
          if (c.lookup_ms < 0) throw std::runtime_error("no");
          SleepMs(c.lookup_ms);
          return std::vector<std::string>{"lookup result"};
        },
        100);
    EXPECT_EQ(found, c.found);
    EXPECT_LT(watch.Ms(), 500);
  }
  // Lookups that never come back are not piled up without end: past the
  // bound, a new one fails at once.
  auto release = std::make_shared<std::promise<void>>();
  const std::shared_future<void> released = release->get_future().share();
  int started = 0;
  while (started < transport::kMaxPendingLookups + 2) {
    ++started;
    transport::LookUpWithin(
        [released] {
          released.wait();
          return std::vector<std::string>{};
        },
        1);
  }
  EXPECT_TRUE(LookupsPending());
  EXPECT_TRUE(
      transport::LookUpWithin([] { return std::vector<std::string>{"second result"}; }, 1000)
          .empty());
  release->set_value();
  for (int i = 0; i < 100 && LookupsPending(); ++i) SleepMs(10);
  EXPECT_FALSE(LookupsPending());
  EXPECT_EQ(transport::LookUpWithin([] { return std::vector<std::string>{"second result"}; }, 1000),
            std::vector<std::string>{"second result"});
}

TEST_F(TcpChannelTest, AddressWithPortIsTakenWholeAndFailsToResolve) {
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(2), [](PeerSocket&) {}));
  EXPECT_FALSE(TcpConnect(LoopbackAddress(2) + ":5001"));
  EXPECT_TRUE(TcpHasClient());
  EXPECT_FALSE(TcpConnected());
  EXPECT_TRUE(TcpConnect(LoopbackAddress(2)));  // lets the peer's accept finish
}

TEST_F(TcpChannelTest, ExchangeDeliversRequestAndReplyExactly) {
  const auto request = Promise<Bytes>();
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(3), [request](PeerSocket& peer) {
    request->set_value(peer.Receive(8, 2000));
    peer.SendAll(kReply);
    peer.SeesClose(5000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(3)));
  EXPECT_TRUE(TcpConnected());
  EXPECT_EQ(TcpSend(kRequest), 0);
  Bytes got;
  EXPECT_EQ(TcpReceive(got, 14), 0);
  EXPECT_EQ(got, kReply);
  EXPECT_EQ(request->get_future().get(), kRequest);
}

struct ReplyCase {
  const char* name;
  std::size_t expected;
  std::vector<Bytes> pieces;  // sent 50 ms apart
  Bytes reply;                // what TcpReceive gives, with code 0
};

TEST_F(TcpChannelTest, ReceiveGathersPiecesUpToTheExpectedCount) {
  const Bytes frame = Pattern(14, 0x30);
  const Bytes head(frame.begin(), frame.begin() + 10);
  const Bytes tail(frame.begin() + 10, frame.end());
  const Bytes longer = Pattern(15, 0x50);
  const std::vector<ReplyCase> cases = {
      {"whole reply", 14, {frame}, frame},
      {"reply split in two", 14, {head, tail}, frame},
      {"reply split in three",
       14,
       {Bytes(head.begin(), head.begin() + 3), Bytes(head.begin() + 3, head.end()), tail},
       frame},
      {"longer reply is returned whole", 14, {longer}, longer},
      {"any length takes the first piece", 0, {head, tail}, head},
  };
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(4), [this, cases](PeerSocket& peer) {
    bool replace = false;
    for (const ReplyCase& c : cases) {
      // After a reply of another length than expected, the request comes
      // over a fresh connection.
      if (replace) peer = NextConnection(3000);
      replace = c.expected != 0 && c.reply.size() != c.expected;
      if (peer.Receive(kRequest.size(), 3000) != kRequest) return;
      for (std::size_t i = 0; i < c.pieces.size(); ++i) {
        if (i > 0) SleepMs(50);
        peer.SendAll(c.pieces[i]);
      }
    }
    peer.SeesClose(5000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(4)));
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(TcpSend(kRequest), 0);
    Bytes got;
    EXPECT_EQ(TcpReceive(got, c.expected), 0);
    EXPECT_EQ(got, c.reply);
  }
}

TEST_F(TcpChannelTest, SendDiscardsLateRepliesOfEarlierExchanges) {
  const auto stale_sent = Promise<void>();
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(5), [stale_sent](PeerSocket& peer) {
    peer.SendAll(Pattern(40, 0xEE));  // a reply that came too late
    stale_sent->set_value();
    if (peer.Receive(kRequest.size(), 3000) == kRequest) peer.SendAll(kReply);
    peer.SeesClose(5000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(5)));
  stale_sent->get_future().wait();
  SleepMs(50);
  ASSERT_EQ(TcpSend(kRequest), 0);
  Bytes got;
  EXPECT_EQ(TcpReceive(got, 14), 0);
  EXPECT_EQ(got, kReply);
}

TEST_F(TcpChannelTest, PeerClosingInsteadOfAnsweringDisconnects) {
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(6), [](PeerSocket& peer) {
    peer.Receive(kRequest.size(), 3000);
    peer.Close();
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(6)));
  ASSERT_EQ(TcpSend(kRequest), 0);
  Stopwatch watch;
  Bytes got{1};
  EXPECT_EQ(TcpReceive(got, 14), 2);
  EXPECT_LT(watch.Ms(), 1000);
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(TcpConnected());
  EXPECT_TRUE(TcpHasClient());
  EXPECT_EQ(TcpSend(kRequest), 1);
}

TEST_F(TcpChannelTest, PeerGoneBeforeTheRequestIsNoticedBySend) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "closed");
    const auto gone = Promise<void>();
    const std::string address = LoopbackAddress(reset ? 8 : 7);
    ASSERT_NO_FATAL_FAILURE(StartPeer(address, [gone, reset](PeerSocket& peer) {
      if (reset) {
        peer.Reset();
      } else {
        peer.Close();
      }
      gone->set_value();
    }));
    ASSERT_TRUE(TcpConnect(address));
    gone->get_future().wait();
    SleepMs(50);
    EXPECT_EQ(TcpSend(kRequest), 1);
    EXPECT_FALSE(TcpConnected());
    TearDown();
  }
}

TEST_F(TcpChannelTest, ConnectDiscardsTheEarlierConnectionFirst) {
  const auto first_closed = Promise<bool>();
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(9), [first_closed](PeerSocket& peer) {
    first_closed->set_value(peer.SeesClose(3000));
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(9)));
  EXPECT_FALSE(TcpConnect(LoopbackAddress(10)));  // nothing listens there
  EXPECT_TRUE(first_closed->get_future().get());
  EXPECT_FALSE(TcpConnected());
}

TEST_F(TcpChannelTest, DisconnectClosesAndReleasesTheClient) {
  const auto closed = Promise<bool>();
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(11), [closed](PeerSocket& peer) {
    closed->set_value(peer.SeesClose(3000));
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(11)));
  CloseChannels();  // as TcpDisconnect, for a host releasing the library
  EXPECT_FALSE(TcpHasClient());
  EXPECT_FALSE(TcpConnected());
  EXPECT_TRUE(closed->get_future().get());
  TcpDisconnect();  // nothing to do twice
  EXPECT_FALSE(TcpHasClient());
}

TEST_F(TcpChannelTest, ReplyBudgetIsMeasuredAcrossTheTickWrap) {
  // The peer moves the clock before it answers: exactly 2000 ms is still in
  // time, 2001 ms is too late (the bytes are taken, the code is 2).
  struct Case {
    std::uint32_t delay_ms;
    std::int32_t code;
  };
  const std::vector<Case> cases = {{0, 0}, {2000, 0}, {2001, 2}, {0x7FFFFFFF, 2}};
  const auto clock = std::make_shared<test::ManualClock>(0xFFFFFC00u);
  SetTickSource(clock->Source());
  ASSERT_NO_FATAL_FAILURE(StartPeer(LoopbackAddress(12), [clock, cases](PeerSocket& peer) {
    for (const Case& c : cases) {
      if (peer.Receive(kRequest.size(), 3000) != kRequest) return;
      SleepMs(20);
      clock->Advance(c.delay_ms);
      peer.SendAll(kReply);
    }
    peer.SeesClose(5000);
  }));
  ASSERT_TRUE(TcpConnect(LoopbackAddress(12)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay_ms);
    ASSERT_EQ(TcpSend(kRequest), 0);
    Bytes got;
    EXPECT_EQ(TcpReceive(got, 14), c.code);
    EXPECT_EQ(got, kReply);
  }
}

TEST_F(TcpChannelTest, Ipv6LiteralConnects) {
  // An address beginning with a digit may be IPv6 too.
  auto listener = std::make_unique<test::PeerListener>("::1", kTcpPort);
  if (!listener->Valid()) GTEST_SKIP() << "no IPv6 loopback or [::1]:5001 in use";
  listener.reset();
  ASSERT_NO_FATAL_FAILURE(StartPeer("::1", [](PeerSocket& peer) {
    if (peer.Receive(kRequest.size(), 3000) == kRequest) peer.SendAll(kReply);
    peer.SeesClose(5000);
  }));
  ASSERT_TRUE(TcpConnect("0:0:0:0:0:0:0:1"));
  ASSERT_EQ(TcpSend(kRequest), 0);
  Bytes got;
  EXPECT_EQ(TcpReceive(got, 14), 0);
  EXPECT_EQ(got, kReply);
}

}  // namespace
}  // namespace rd
