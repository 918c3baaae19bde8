// The serial channel without a device: state and the closed port, on every
// platform.
#include <gtest/gtest.h>

#include "raroredoziri/Fault.h"
#include "raroredoziri/Transport.h"
#include "transport/transport_test_util.h"

namespace rd {
namespace {

using test::Pattern;
using test::Stopwatch;

TEST(SerialClosed, EveryOperationFailsAtOnce) {
  test::SeamGuard seams;
  ComClose();
  int pumps = 0;
  SetMessagePump([&] { ++pumps; });
  Stopwatch watch;
  EXPECT_EQ(ComWrite(Bytes{'E'}), 0);
  Bytes buffer{9, 9};
  EXPECT_EQ(ComRead(buffer), 0);
  EXPECT_TRUE(buffer.empty());
  EXPECT_TRUE(ComReceive(14).empty());  // no 3 s of retries on a closed port
  EXPECT_EQ(pumps, 1);
  EXPECT_LT(watch.Ms(), 200);
}

TEST(SerialClosed, OversizedWriteRaisesBeforeAnythingElse) {
  ComClose();
  EXPECT_THROW(ComWrite(Pattern(kComBufferSize + 1)), Fault);
  EXPECT_EQ(ComWrite(Pattern(kComBufferSize)), 0);
}

TEST(SerialClosed, NoExpectedBytesNeedsNoRead) {
  test::SeamGuard seams;
  int pumps = 0;
  SetMessagePump([&] { ++pumps; });
  EXPECT_TRUE(ComReceive(0).empty());
  EXPECT_EQ(pumps, 0);
}

TEST(SerialOpen, PortZeroDoesNotOpen) {
  SetComPortNumber(0);
  EXPECT_FALSE(ComOpen(100000, 100000, 4800));
  EXPECT_FALSE(ComIsOpen());
  EXPECT_THROW(ComOpen(-1, 100000, 4800), Fault);
  EXPECT_THROW(ComOpen(100000, 100000, -1), Fault);
}

TEST(Seams, EmptyTickSourceRestoresThePlatformCounter) {
  SetTickSource([] { return 42u; });
  EXPECT_EQ(TickCount(), 42u);
  SetTickSource({});
  const std::uint32_t before = TickCount();
  test::SleepMs(30);
  const auto passed = static_cast<std::uint32_t>(TickCount() - before);
  EXPECT_GE(passed, 20u);
  EXPECT_LT(passed, 1000u);
}

TEST(Seams, EmptyPumpRestoresTheDefault) {
  int calls = 0;
  SetMessagePump([&] { ++calls; });
  PumpMessages();
  SetMessagePump({});
  PumpMessages();
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace rd
