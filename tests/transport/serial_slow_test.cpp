// Serial waits of real seconds: a silent line and a silent read (in their own
// executable so that CTest overlaps them with the other slow cases).
#include <gtest/gtest.h>

#include "raroredoziri/Transport.h"
#include "transport/pty_pair.h"
#include "transport/transport_test_util.h"

namespace rd {
namespace {

using test::Stopwatch;

constexpr std::uint16_t kPort = 8;

class SerialSlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Valid());
    SetSerialDevice(kPort, pty_.SlavePath());
    SetComPortNumber(kPort);
    ASSERT_TRUE(ComOpen(100000, 100000, 4800));
  }
  void TearDown() override {
    ComClose();
    SetSerialDevice(kPort, "");
  }
  test::PtyPair pty_;
  test::SeamGuard seams_;
};

TEST_F(SerialSlowTest, SilentLineAcrossTheTickWrapCostsThreeToFourSeconds) {
  SetTickSource(test::RealTicksFrom(0xFFFFFF00u));
  int reads = 0;
  SetMessagePump([&] { ++reads; });
  Stopwatch watch;
  const Bytes got = ComReceive(2);
  const long long ms = watch.Ms();
  EXPECT_TRUE(got.empty());
  EXPECT_GE(ms, 2990);
  EXPECT_LT(ms, 4500);
  // Three or four silent reads of 1000 ms each, depending on whether three
  // of them came to more than 3000 ms.
  EXPECT_GE(reads, 3);
  EXPECT_LE(reads, 4);
}

TEST_F(SerialSlowTest, SilentReadEndsAfterOneSecond) {
  Stopwatch watch;
  Bytes got{1};
  EXPECT_EQ(ComRead(got), 0);
  EXPECT_TRUE(got.empty());
  EXPECT_GE(watch.Ms(), 950);
  EXPECT_LT(watch.Ms(), 1500);
}

}  // namespace
}  // namespace rd
