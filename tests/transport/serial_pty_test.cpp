// The serial channel on Linux, against a pseudo-terminal whose master side
// plays the scale.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"
#include "transport/pty_pair.h"
#include "transport/transport_test_util.h"

namespace rd {
namespace {

using test::Pattern;
using test::PtyPair;
using test::SleepMs;
using test::Stopwatch;

constexpr std::uint16_t kPort = 7;

class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Valid());
    SetSerialDevice(kPort, pty_.SlavePath());
    SetComPortNumber(kPort);
    ASSERT_TRUE(ComOpen(100000, 100000, 57600));
  }
  void TearDown() override {
    if (peer_.joinable()) peer_.join();
    ComClose();
    SetSerialDevice(kPort, "");
  }
  // Runs the scale's side on its own thread.
  template <typename F>
  void Peer(F&& script) {
    peer_ = std::thread(std::forward<F>(script));
  }

  PtyPair pty_;
  std::thread peer_;
  test::SeamGuard seams_;
};

TEST(SerialDeviceMap, DefaultsOverridesAndRemoval) {
  EXPECT_EQ(SerialDevice(1), "/dev/ttyS0");
  EXPECT_EQ(SerialDevice(3), "/dev/ttyS2");
  EXPECT_EQ(SerialDevice(12), "/dev/ttyS11");
  EXPECT_EQ(SerialDevice(0), "");
  SetSerialDevice(3, "/dev/ttyUSB0");
  SetSerialDevice(0, "/dev/ttyACM0");
  EXPECT_EQ(SerialDevice(3), "/dev/ttyUSB0");
  EXPECT_EQ(SerialDevice(0), "/dev/ttyACM0");
  SetSerialDevice(3, "");
  SetSerialDevice(0, "");
  EXPECT_EQ(SerialDevice(3), "/dev/ttyS2");
  EXPECT_EQ(SerialDevice(0), "");
}

TEST(SerialOpen, PortWithoutDeviceOrMissingDeviceFails) {
  SetComPortNumber(0);
  EXPECT_FALSE(ComOpen(100000, 100000, 4800));
  EXPECT_FALSE(ComIsOpen());
  SetSerialDevice(9, "/nonexistent/tty");
  SetComPortNumber(9);
  EXPECT_FALSE(ComOpen(100000, 100000, 4800));
  EXPECT_FALSE(ComIsOpen());
  SetSerialDevice(9, "");
}

TEST(SerialOpen, NonTerminalIsRefused) {
  SetSerialDevice(9, "/dev/null");
  SetComPortNumber(9);
  EXPECT_FALSE(ComOpen(100000, 100000, 4800));
  EXPECT_FALSE(ComIsOpen());
  SetSerialDevice(9, "");
}

TEST_F(SerialPtyTest, LineIsRaw8N1WithoutFlowControl) {
  for (const auto& [baud, speed] : {std::pair{4800, B4800}, std::pair{57600, B57600}}) {
    SCOPED_TRACE(baud);
    ASSERT_TRUE(ComOpen(100000, 100000, baud));
    termios tio{};
    ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);  // a pty pair shares the slave's settings
    EXPECT_EQ(cfgetospeed(&tio), speed);
    EXPECT_EQ(cfgetispeed(&tio), speed);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  }
}

TEST_F(SerialPtyTest, OpenIsExclusive) {
  const int other = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other < 0) {
    EXPECT_EQ(errno, EBUSY);
    return;
  }
  // Privileged openers pass the tty's exclusive flag; it is still set, and
  // the lock keeps cooperating openers out.
  int exclusive = 0;
  EXPECT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
}

TEST_F(SerialPtyTest, RefusedSettingsLeaveThePortOpenUntilClosed) {
  EXPECT_FALSE(ComOpen(100000, 100000, 12345));
  EXPECT_TRUE(ComIsOpen());
  ComClose();
  EXPECT_FALSE(ComIsOpen());
  EXPECT_TRUE(pty_.SeesSlaveClosed(500));
}

TEST_F(SerialPtyTest, NegativeArgumentsRaiseAndKeepThePort) {
  for (const auto& [in, out, baud] : {std::tuple{-1, 100000, 4800}, std::tuple{100000, -1, 4800},
                                      std::tuple{100000, 100000, -4800}}) {
    EXPECT_THROW(ComOpen(in, out, baud), Fault);
    EXPECT_TRUE(ComIsOpen());
  }
}

TEST_F(SerialPtyTest, ReopenClosesTheOldPortEvenWhenTheNewOneFails) {
  SetSerialDevice(9, "/nonexistent/tty");
  SetComPortNumber(9);
  EXPECT_FALSE(ComOpen(100000, 100000, 57600));
  EXPECT_FALSE(ComIsOpen());
  EXPECT_TRUE(pty_.SeesSlaveClosed(500));
  SetSerialDevice(9, "");
}

TEST_F(SerialPtyTest, CloseTwiceIsHarmless) {
  // CloseChannels (for a host releasing the library) closes the port too.
  CloseChannels();
  EXPECT_TRUE(pty_.SeesSlaveClosed(1000));
  ComClose();
  EXPECT_FALSE(ComIsOpen());
  EXPECT_EQ(ComWrite(Bytes{'E'}), 0);
}

TEST_F(SerialPtyTest, WriteLimitIs2000Bytes) {
  const Bytes largest = Pattern(kComBufferSize, 7);
  EXPECT_EQ(ComWrite(largest), 2000);
  EXPECT_EQ(pty_.Read(2000, 1000), largest);
  EXPECT_THROW(ComWrite(Pattern(kComBufferSize + 1)), Fault);
  EXPECT_TRUE(pty_.Read(1, 100).empty());  // nothing of it went out
}

TEST_F(SerialPtyTest, WriteDiscardsLateBytesOfAnEarlierExchange) {
  pty_.Write(Bytes{'l', 'a', 't', 'e'});
  SleepMs(50);  // let the late bytes reach the library's input queue
  const Bytes reply = Pattern(14, 0x40);
  Peer([this, reply] {
    if (pty_.Read(1, 1000) == Bytes{'J'}) pty_.Write(reply);
  });
  ComWrite(Bytes{'J'});
  EXPECT_EQ(ComReceive(14), reply);
}

struct ReplyShape {
  const char* name;
  std::vector<Bytes> pieces;
  int gap_ms;  // between pieces
};

TEST_F(SerialPtyTest, ReceiveGathersAReplyHoweverItArrives) {
  const Bytes reply = Pattern(14, 0xA0);
  const std::vector<ReplyShape> shapes = {
      {"whole", {reply}, 0},
      {"10 then 4",
       {Bytes(reply.begin(), reply.begin() + 10), Bytes(reply.begin() + 10, reply.end())},
       50},
      {"10 then 4 after a read gap",
       {Bytes(reply.begin(), reply.begin() + 10), Bytes(reply.begin() + 10, reply.end())},
       250},
      {"byte by byte", {}, 5},
  };
  for (ReplyShape shape : shapes) {
    SCOPED_TRACE(shape.name);
    if (shape.pieces.empty()) {
      for (std::uint8_t byte : reply) shape.pieces.push_back(Bytes{byte});
    }
    std::thread peer([&] {
      for (std::size_t i = 0; i < shape.pieces.size(); ++i) {
        if (i > 0) SleepMs(shape.gap_ms);
        pty_.Write(shape.pieces[i]);
      }
    });
    const Bytes got = ComReceive(14);
    peer.join();
    EXPECT_EQ(got, reply);
  }
}

TEST_F(SerialPtyTest, LateAnswerAheadOfACutReplyIsNotJoinedToIt) {
  // An exchange that ends without its reply (here: part of one, the budget
  // spent); the scale then answers it late, just ahead of a later reply,
  // which comes cut so that the late answer and its head are 14 bytes.
  test::ManualClock clock(0);
  SetTickSource(clock.Source());
  SetMessagePump([&] { clock.Advance(kComReceiveBudgetMs + 1); });
  pty_.Write(Pattern(5));
  EXPECT_EQ(ComReceive(14).size(), 5u);
  SetMessagePump([] {});
  SetTickSource(test::RealTicksFrom(clock.Source()()));
  // A reply that overtook the late answer does not end the watch.
  const Bytes reply = Pattern(14, 0xA0);
  pty_.Write(reply);
  EXPECT_EQ(ComReceive(14), reply);
  Peer([this, reply] {
    pty_.Write(test::Concat(Pattern(8, 0x06), Bytes(reply.begin(), reply.begin() + 6)));
    SleepMs(60);
    pty_.Write(Bytes(reply.begin() + 6, reply.end()));
  });
  EXPECT_EQ(ComReceive(14).size(), 22u) << "over-long, not a spliced reply";
  peer_.join();
  // The next reply of the right length, followed by silence, is taken.
  pty_.Write(reply);
  EXPECT_EQ(ComReceive(14), reply);
}

TEST_F(SerialPtyTest, ExchangeCostsWireTimeNotTheReadGap) {
  // A complete reply ends the read at once instead of after a 100 ms gap.
  const Bytes reply = Pattern(14);
  long long best = 1000;
  for (int round = 0; round < 5; ++round) {
    std::thread peer([&] {
      if (pty_.Read(8, 1000).size() == 8) pty_.Write(reply);
    });
    Stopwatch watch;
    ComWrite(Pattern(8));
    const Bytes got = ComReceive(14);
    best = std::min(best, watch.Ms());
    peer.join();
    ASSERT_EQ(got, reply);
  }
  EXPECT_LT(best, 50);
}

TEST_F(SerialPtyTest, OvershootKeepsGatheringUntilTheBudgetIsSpent) {
  // The clock moves only when the pump runs: after the second read the
  // budget is spent.
  test::ManualClock clock(0xFFFFFFF0u);
  SetTickSource(clock.Source());
  int pumps = 0;
  SetMessagePump([&] {
    if (++pumps == 2) clock.Advance(kComReceiveBudgetMs + 1);
  });
  const Bytes first = Pattern(15);
  const Bytes more = Pattern(2, 0x80);
  Peer([this, first, more] {
    pty_.Write(first);
    SleepMs(250);
    pty_.Write(more);
  });
  const Bytes got = ComReceive(14);
  EXPECT_EQ(got, test::Concat(first, more));
  EXPECT_EQ(pumps, 2);
}

TEST_F(SerialPtyTest, BudgetCheckFollowsEachRead) {
  // Exactly at the budget the loop goes on; only more than 3000 ms ends it.
  test::ManualClock clock(0xFFFFFFFFu);
  SetTickSource(clock.Source());
  int pumps = 0;
  SetMessagePump([&] {
    ++pumps;
    clock.Advance(pumps == 1 ? kComReceiveBudgetMs : 1);
  });
  Peer([this] {
    for (int i = 0; i < 3; ++i) {
      pty_.Write(Bytes{static_cast<std::uint8_t>(i)});
      SleepMs(150);
    }
  });
  const Bytes got = ComReceive(14);
  EXPECT_EQ(got, (Bytes{0, 1}));
  // Two reads; then the third byte, still on its way, is waited out and
  // dropped (one more pump), so that no later exchange takes it.
  EXPECT_EQ(pumps, 3);
}

TEST_F(SerialPtyTest, PumpRunsAfterEveryReadAndMayCloseThePort) {
  int pumps = 0;
  SetMessagePump([&] {
    if (++pumps == 1) ComClose();  // host code run from the pump
  });
  pty_.Write(Pattern(5));
  Stopwatch watch;
  const Bytes got = ComReceive(14);
  EXPECT_EQ(got, Pattern(5));
  EXPECT_EQ(pumps, 2);
  EXPECT_LT(watch.Ms(), 500);
}

// Host code run by the pump during a weight query calls another object on
// the same thread. An exchange (or a probe) there would discard and steal
// the outer reply; it is refused without touching the line. CloseConnection
// still closes the port, and the outer call then ends at once.
TEST_F(SerialPtyTest, CallsFromInsideTheWaitLeaveTheOuterExchangeWhole) {
  struct Case {
    const char* method;
    std::int32_t (TScale::*call)();
    std::int32_t inner;  // its result
    std::int32_t outer;  // the weight query's
  };
  const std::vector<Case> cases = {
      {"ReadWeight", &TScale::ReadWeight, kResultNoReply, kResultDone},
      {"ReadTare", &TScale::ReadTare, kResultNoReply, kResultDone},
      {"SetGoods", &TScale::SetGoods, kResultNoReply, kResultDone},
      {"OpenConnection", &TScale::OpenConnection, kResultNoReply, kResultDone},
      {"CloseConnection", &TScale::CloseConnection, kResultDone, kResultNoReply},
  };
  // A weight reply of 1234, in two pieces so that the pump runs between them.
  Bytes reply = Pattern(14, 0x10);
  reply[6] = 0xD2;
  reply[7] = 0x04;
  reply[8] = reply[9] = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    ASSERT_TRUE(ComIsOpen() || ComOpen(100000, 100000, 57600));
    TScale outer;
    TScale inner;
    for (TScale* scale : {&outer, &inner}) {
      scale->Connection = u"COM7";
      scale->ProtocolKind = "New";
    }
    std::int32_t inner_result = -1;
    bool called = false;
    SetMessagePump([&] {
      if (!std::exchange(called, true)) inner_result = (inner.*c.call)();
    });
    Peer([this, reply] {
      if (pty_.Read(8, 1000).size() != 8) return;
      pty_.Write(Bytes(reply.begin(), reply.begin() + 5));
      SleepMs(150);  // past the read's gap: the pump runs in between
      pty_.Write(Bytes(reply.begin() + 5, reply.end()));
    });
    Stopwatch watch;
    EXPECT_EQ(outer.ReadWeight(), c.outer);
    peer_.join();
    SetMessagePump([] {});
    EXPECT_EQ(inner_result, c.inner);
    EXPECT_EQ(outer.Weight, c.outer == kResultDone ? 1234 : 0);
    EXPECT_LT(watch.Ms(), 1000);
    EXPECT_TRUE(pty_.Read(1, 200).empty()) << "the inner call sent nothing";
  }
}

TEST_F(SerialPtyTest, RequestThatCannotBeWrittenIsNotAnswered) {
  // Nobody reads the line: its output queue fills up until a request no
  // longer goes out whole. Input that arrives meanwhile answers nothing.
  const Bytes filler = Pattern(200);
  for (int i = 0; i < 10000 && ComWrite(filler) == 200; ++i) {
  }
  TScale s;
  s.Connection = u"COM7";
  s.ProtocolKind = "New";
  Peer([this] {
    SleepMs(5);
    pty_.Write(Pattern(14, 0x20));
  });
  Stopwatch watch;
  EXPECT_EQ(s.ReadWeight(), kResultNoReply);
  EXPECT_LT(watch.Ms(), 500) << "no reply is waited for";
  EXPECT_EQ(s.Weight, 0);
}

TEST_F(SerialPtyTest, PeerHangingUpEndsTheWaitAtOnce) {
  Peer([this] {
    SleepMs(50);
    pty_.CloseMaster();
  });
  Stopwatch watch;
  const Bytes got = ComReceive(14);
  EXPECT_TRUE(got.empty());
  EXPECT_LT(watch.Ms(), 500);
}

TEST_F(SerialPtyTest, ReadGathersABurstAndStopsAtAGap) {
  Peer([this] {
    for (int i = 0; i < 3; ++i) {
      pty_.Write(Pattern(4, static_cast<std::uint8_t>(4 * i)));
      SleepMs(30);
    }
    SleepMs(300);
    pty_.Write(Bytes{0xEE});
  });
  Bytes burst;
  EXPECT_EQ(ComRead(burst), 12);
  EXPECT_EQ(burst, Pattern(12));
  Bytes tail{1, 2, 3};
  EXPECT_EQ(ComRead(tail), 1);
  EXPECT_EQ(tail, Bytes{0xEE});
}

TEST_F(SerialPtyTest, ReadReturnsWithinTheGapAfterTheLastByte) {
  Peer([this] { pty_.Write(Pattern(3)); });
  Stopwatch watch;
  Bytes got;
  EXPECT_EQ(ComRead(got), 3);
  EXPECT_GE(watch.Ms(), 90);
  EXPECT_LT(watch.Ms(), 400);
}

}  // namespace
}  // namespace rd
