// The serial channel on Windows: its line settings, and under wine the
// whole channel against a pseudo-terminal that wine_serial_peer.py plays.
#include "transport/serial_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "raroredoziri/Transport.h"
#include "transport/message_window.h"
#include "transport/transport_test_util.h"

namespace rd {
namespace {

using test::Pattern;
using test::Stopwatch;

TEST(SerialLineSettings, RecordFieldByField) {
  for (const auto& [rts, flags] : {std::pair<DWORD, std::uint32_t>{RTS_CONTROL_TOGGLE, 0x3011},
                                   std::pair<DWORD, std::uint32_t>{RTS_CONTROL_ENABLE, 0x1011}}) {
    const DCB dcb = transport::SerialLineSettings(57600, 0, rts);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 57600u);
    // The flags word as the driver sees it: binary, DTR enabled, RTS
    // toggled (or enabled), no flow control.
    static_assert(offsetof(DCB, BaudRate) == 4);
    std::uint32_t word = 0;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + 8, sizeof word);
    EXPECT_EQ(word, flags);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.XonLim, 600);
    EXPECT_EQ(dcb.XoffLim, 150);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.wReserved1, 65);
  }
  EXPECT_EQ(transport::SerialLineSettings(4800, 0, RTS_CONTROL_TOGGLE).BaudRate, 4800u);
}

TEST(SerialDeviceName, IsComAndThePortNumber) {
  EXPECT_EQ(SerialDevice(3), "COM3");
  EXPECT_EQ(SerialDevice(12), "COM12");
  EXPECT_EQ(SerialDevice(0), "COM0");
  SetSerialDevice(3, "/dev/ttyUSB0");  // nothing to map on Windows
  EXPECT_EQ(SerialDevice(3), "COM3");
}

// What wine_serial_peer.py answers.
const Bytes kReply = Pattern(14, 0xA0);
const Bytes kOvershoot = Pattern(15, 0xB0);

std::uint16_t PeerPort() {
  const char* port = std::getenv("RD_TEST_COM_PORT");
  return port != nullptr ? static_cast<std::uint16_t>(std::atoi(port)) : 0;
}

class WineSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    if (PeerPort() == 0) GTEST_SKIP() << "runs under wine_serial_peer.py only";
    SetComPortNumber(PeerPort());
    // A port number above 9, and a driver that refuses to toggle RTS.
    ASSERT_TRUE(ComOpen(100000, 100000, 57600));
  }
  void TearDown() override { ComClose(); }

  static Bytes Exchange(char request, std::int32_t expected) {
    ComWrite(Bytes{static_cast<std::uint8_t>(request)});
    return ComReceive(expected);
  }

  test::SeamGuard seams_;
};

TEST_F(WineSerial, ExchangesAtBothRates) {
  for (const std::int32_t baud : {4800, 57600}) {
    SCOPED_TRACE(baud);
    ASSERT_TRUE(ComOpen(100000, 100000, baud));
    EXPECT_EQ(Exchange('A', 14), kReply);
  }
}

TEST_F(WineSerial, OpensAlthoughTheDriverRefusesToToggleRts) {
  ComClose();
  {
    const std::string name = "\\\\.\\" + SerialDevice(PeerPort());
    HANDLE raw = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    DCB toggle = transport::SerialLineSettings(57600, 0, RTS_CONTROL_TOGGLE);
    const BOOL toggled = SetCommState(raw, &toggle);
    CloseHandle(raw);
    if (toggled) GTEST_SKIP() << "this driver toggles RTS: no fallback needed";
  }
  EXPECT_TRUE(ComOpen(100000, 100000, 57600));
  EXPECT_EQ(Exchange('A', 14), kReply);
}

TEST_F(WineSerial, ReplyInPiecesIsGathered) { EXPECT_EQ(Exchange('P', 14), kReply); }

TEST_F(WineSerial, StaleBytesAreDiscardedBeforeTheNextRequest) {
  EXPECT_TRUE(Exchange('S', 0).empty());
  test::SleepMs(200);  // the stale bytes are in the port's queue now
  EXPECT_EQ(Exchange('A', 14), kReply);
}

TEST_F(WineSerial, TailOfAPartialReplyIsNotTakenByTheNextRequest) {
  test::ManualClock clock(0);
  SetTickSource(clock.Source());
  SetMessagePump([&] { clock.Advance(kComReceiveBudgetMs + 1); });
  const Bytes first = Exchange('T', 14);  // the budget ends after the first read
  ASSERT_FALSE(first.empty());
  EXPECT_TRUE(std::equal(first.begin(), first.end(), kReply.begin()));
  EXPECT_EQ(Exchange('A', 14), kReply);
}

TEST_F(WineSerial, OvershootIsReadWhole) {
  test::ManualClock clock(0);
  SetTickSource(clock.Source());
  SetMessagePump([&] { clock.Advance(kComReceiveBudgetMs + 1); });
  EXPECT_EQ(Exchange('O', 14), kOvershoot);
}

TEST_F(WineSerial, LargestWriteGoesOutWhole) {
  Bytes request = Pattern(kComBufferSize);
  request[0] = 'W';
  EXPECT_EQ(ComWrite(request), 2000);
  EXPECT_EQ(ComReceive(2), (Bytes{0xD0, 0x07}));
}

TEST_F(WineSerial, WindowMessagesAreDispatchedDuringTheWait) {
  test::MessageWindow window;
  PostMessageA(window.Handle(), WM_APP, 0, 0);
  EXPECT_EQ(Exchange('A', 14), kReply);
  EXPECT_EQ(window.Seen(), std::vector<UINT>{WM_APP});
}

TEST_F(WineSerial, ClosedPortEndsTheWaitAtOnce) {
  ComClose();
  Stopwatch watch;
  EXPECT_TRUE(Exchange('A', 14).empty());
  EXPECT_LT(watch.Ms(), 200);
}

class WineSerialSlow : public WineSerial {};

TEST_F(WineSerialSlow, SilentLineAcrossTheTickWrapCostsThreeToFourSeconds) {
  SetTickSource(test::RealTicksFrom(0xFFFFFF00u));
  Stopwatch watch;
  EXPECT_TRUE(Exchange('Q', 14).empty());
  EXPECT_GE(watch.Ms(), 2990);
  EXPECT_LT(watch.Ms(), 4500);
}

}  // namespace
}  // namespace rd
